// Transaction.cpp - SendTransaction: one transaction at a time under the
// transaction lock, numbered in the order the lock is held, its journal row,
// its count, and the till's answer.
#include "Transaction.h"

#include "Duplicates.h"
#include "Journal.h"
#include "MatchKey.h"
#include "Message.h"
#include "Metrics.h"
#include "Platform.h"
#include "SaleRecord.h"
#include "ServerLink.h"
#include "Settings.h"
#include "Text.h"

#include <cstdio>
#include <cstring>

namespace {

// Set by StartTransactions before the listener starts.
PlatformMutex* TransactionLock = nullptr;

constexpr unsigned LockWaitMs = 10000;
// The widest sequence number below the wrap, for the size check made before
// a number is taken.
constexpr int WidestSequenceNumber = 999999;

MetricKind MetricKindOf(int code) {
    return code == TransactionFundsAvailable ? MetricKind::Funds
           : code == TransactionSale         ? MetricKind::Sale
                                             : MetricKind::Void;
}

MetricOutcome MetricOutcomeOf(TransactionOutcome outcome) {
    return outcome == TransactionOutcome::Replied   ? MetricOutcome::Replied
           : outcome == TransactionOutcome::InDoubt ? MetricOutcome::InDoubt
                                                    : MetricOutcome::NotSent;
}

// What a transaction needs from the settings, and whether a sale or void
// fits a message with the widest number, found before the lock wait: the
// serial section holds none of these reads.
struct Prepared {
    int terminalAddress;
    int entryMode;
    int replyTimeout;
    bool numbered; // a sale or void that fits: it takes a number once it holds the lock
};

// A sale's or void's write-ahead record: what it is made from, and its ticket.
struct SaleRun {
    const PlatformLocalTime* started;
    const DuplicateClaim* claim;
    RecordTicket ticket;
};

Prepared Prepare(const TransactionRequest& request) {
    Prepared prepared{ReadSetting("TerminalAddress"), ReadSetting("EntryMode"),
                      ReadSetting("ReplyTimeout"), false};
    prepared.numbered = request.code != TransactionFundsAvailable &&
                        SaleMessageLength(prepared.terminalAddress, WidestSequenceNumber,
                                          request.clientNumber, request.amount, request.card,
                                          request.reference, prepared.entryMode) < MessageAreaSize;
    return prepared;
}

// The message of a transaction, built from its items and numbered when it
// needs a number. Items that could not fit are refused before a number is
// taken. The items are copied into the message before anything is written
// to the reply area, since they may lie inside it.
TransactionResult BuildNumberedMessage(char* message, int* length, char* replyArea,
                                       const TransactionRequest& request, const Prepared& prepared,
                                       SaleRun* run, TransactionReport* report) {
    int code = request.code;
    if (code == TransactionFundsAvailable) {
        *length = BuildMessage(message, code, prepared.terminalAddress, 0, request.clientNumber,
                               request.amount, request.card, request.reference, prepared.entryMode);
        return *length == 0 ? TransactionResult::TooLong : TransactionResult::Done;
    }
    if (!prepared.numbered)
        return TransactionResult::TooLong;
    // Numbers are taken in the order the lock is held, so they reach the
    // server in order, each with its record on stable storage first: what
    // cannot be recorded is not sent.
    if (!StartSaleRecord(request, *run->started, *run->claim, &run->ticket, replyArea))
        return TransactionResult::Failed;
    report->sequence = run->ticket.sequence;
    report->numbered = true;
    *length = BuildMessage(message, code, prepared.terminalAddress, report->sequence,
                           request.clientNumber, request.amount, request.card, request.reference,
                           prepared.entryMode);
    // Only a hand-edited counter of many digits makes a fitting sale too long.
    return *length == 0 ? TransactionResult::TooLong : TransactionResult::Done;
}

// Everything after the lock is taken; the caller releases it.
TransactionResult ExchangeUnderLock(char* replyArea, const TransactionRequest& request,
                                    const Prepared& prepared, SaleRun* run,
                                    TransactionReport* report) {
    char message[MessageAreaSize];
    int length = 0;
    TransactionResult result =
        BuildNumberedMessage(message, &length, replyArea, request, prepared, run, report);
    if (result == TransactionResult::Done && ReadyServerLink(replyArea)) {
        // Once a send has started, a failure is reported, never retried: the
        // server may already hold the message. A failed send took no byte.
        int64_t sendStarted = PlatformMonotonicUs();
        if (SendToServer(message, length, replyArea)) {
            result = CollectServerReply(replyArea, prepared.replyTimeout);
            report->serverUs = PlatformMonotonicUs() - sendStarted;
            report->outcome = result == TransactionResult::Done ? TransactionOutcome::Replied
                                                                : TransactionOutcome::InDoubt;
        } else {
            result = TransactionResult::Failed;
        }
    } else if (result == TransactionResult::Done) {
        result = TransactionResult::Failed;
    }
    // The message held the card item.
    WipeBytes(message, sizeof message);
    return result;
}

// A journal row begun when the transaction starts, before anything is written
// to the reply area where the items may lie. A reference too long to copy
// cannot fit in a message: its transaction ends without touching the reply
// area, or with the row written first, so the item itself is still there.
struct PendingRow {
    JournalRow row;
    char reference[MessageAreaSize];
};

void BeginRow(PendingRow* pending, const TransactionRequest& request) {
    JournalRow& row = pending->row;
    row = JournalRow{};
    PlatformLocalNow(&row.started);
    row.client = request.clientAddress;
    row.clientNumber = request.clientNumber;
    row.kind = request.code == TransactionFundsAvailable ? "funds"
               : request.code == TransactionVoid         ? "void"
                                                         : "sale";
    row.amount = request.amount;
    SetJournalCard(&row, request.card);
    if (request.code != TransactionFundsAvailable && request.reference != nullptr) {
        size_t length = strlen(request.reference);
        row.reference = request.reference;
        if (length < sizeof pending->reference) {
            memcpy(pending->reference, request.reference, length + 1);
            row.reference = pending->reference;
        }
    }
}

// Completes and writes the row: the outcome, and the status and body the
// till gets.
void FinishRow(PendingRow* pending, const TransactionReport& report, const TillAnswer& answer) {
    JournalRow& row = pending->row;
    row.sequence = report.numbered ? report.sequence : JournalNoSequence;
    switch (report.outcome) {
    case TransactionOutcome::NotSent:
        row.outcome = "not-sent";
        break;
    case TransactionOutcome::Replied:
        row.outcome = "replied";
        break;
    case TransactionOutcome::InDoubt:
        row.outcome = "in-doubt";
        break;
    case TransactionOutcome::Duplicate:
        row.outcome = "duplicate";
        break;
    }
    row.serverUs = report.outcome == TransactionOutcome::NotSent ? -1 : report.serverUs;
    row.httpStatus = answer.code;
    row.reply = answer.body;
    WriteJournalRow(row);
}

// A transaction that never got the lock: its row, then the till's text.
TillAnswer EndWithoutLock(char* replyArea, const char* text, PendingRow* pending,
                          const TransactionReport& report) {
    FinishRow(pending, report, AnswerTransaction(TransactionResult::Failed, text));
    snprintf(replyArea, ReplyAreaSize, "%s", text);
    return AnswerTransaction(TransactionResult::Failed, replyArea);
}

// A request the duplicate window answered before the lock: a repeat, or one
// it could not check. Its row, with no number and nothing sent, and its count.
TillAnswer EndBeforeTheLock(DuplicateVerdict verdict, MetricOriginal original,
                            const char* replyArea, const TransactionRequest& request,
                            PendingRow* pending, TransactionReport* report) {
    bool repeat = verdict == DuplicateVerdict::Repeat;
    TillAnswer answer = AnswerTransaction(
        repeat ? TransactionResult::Duplicate : TransactionResult::Unchecked, replyArea);
    report->outcome = repeat ? TransactionOutcome::Duplicate : TransactionOutcome::NotSent;
    report->lockWaitUs = -1;
    FinishRow(pending, *report, answer);
    if (repeat)
        CountDuplicate(original);
    else
        CountTransaction(MetricKindOf(request.code), MetricOutcome::NotSent, -1, -1);
    return answer;
}

} // namespace

TransactionsStarted StartTransactions(PlatformMutex* lock) {
    TransactionLock = lock;
    TransactionsStarted started{};
    // The key file's key, so that the records' entries match after a
    // restart; without it the window keeps this run's entries alone.
    static char keyProblem[512];
    unsigned char key[MatchKeySize];
    bool stored = LoadMatchKey(key, keyProblem, sizeof keyProblem);
    started.duplicateKeyMade = StartDuplicates(stored ? key : nullptr);
    WipeBytes(key, sizeof key);
    started.keyProblem = stored ? nullptr : keyProblem;
    started.serverResolved = StartServerLink();
    started.serverAddress = ServerLinkAddress();
    started.serverPort = ServerLinkPort();
    return started;
}

TillAnswer SendTransaction(char* replyArea, const TransactionRequest& request,
                           PlatformEvent* stopEvent, TransactionReport* report) {
    TransactionReport scratch;
    if (report == nullptr)
        report = &scratch;
    *report = TransactionReport{};
    PendingRow pending;
    BeginRow(&pending, request);
    DuplicateClaim claim;
    MetricOriginal original = MetricOriginal::InProgress;
    DuplicateVerdict verdict = CheckDuplicate(replyArea, request, &claim, &original);
    if (verdict != DuplicateVerdict::Proceed)
        return EndBeforeTheLock(verdict, original, replyArea, request, &pending, report);

    Prepared prepared = Prepare(request);
    SaleRun run{&pending.row.started, &claim, RecordTicket{}};
    int64_t waitStarted = PlatformMonotonicUs();
    PlatformWaitResult waited = PlatformWaitEventOrMutex(stopEvent, TransactionLock, LockWaitMs);
    report->lockWaitUs = PlatformMonotonicUs() - waitStarted;
    TillAnswer answer{};
    switch (waited) {
    case PlatformWaitResult::Mutex:
        answer = AnswerTransaction(ExchangeUnderLock(replyArea, request, prepared, &run, report),
                                   replyArea);
        FinishRow(&pending, *report, answer);
        PlatformReleaseMutex(TransactionLock);
        break;
    case PlatformWaitResult::Timeout:
        answer = EndWithoutLock(replyArea, "Timeout error.", &pending, *report);
        break;
    case PlatformWaitResult::Event:
    case PlatformWaitResult::Failed:
        // A failed wait never leads to an exchange without the lock.
        answer = EndWithoutLock(replyArea, "Service shutdown.", &pending, *report);
        break;
    }
    SettleSale(claim, run.ticket, *report, answer);
    CountTransaction(MetricKindOf(request.code), MetricOutcomeOf(report->outcome),
                     report->lockWaitUs, report->serverUs);
    return answer;
}
