// Transaction.cpp - SendTransaction: a transaction on a server link granted
// in arrival order (with a single link, under the transaction lock too), a
// sale or void recorded with its number in that order before it is sent, its
// journal row, its count, and the till's answer.
#include "Transaction.h"

#include "Duplicates.h"
#include "Journal.h"
#include "LinkPool.h"
#include "Log.h"
#include "MatchKey.h"
#include "Message.h"
#include "Metrics.h"
#include "Platform.h"
#include "SaleRecord.h"
#include "ServerHosts.h"
#include "Settings.h"
#include "Text.h"

#include <cstdio>
#include <cstring>

namespace {

// Set by StartTransactions before the listener starts.
PlatformMutex* TransactionLock = nullptr;
// With TerminalAddresses: one link per address, no transaction lock, and
// the widest address for the size check made before a number is taken.
bool Pooled = false;
int WidestTerminal = 0;
char TerminalProblem[160];

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
    bool numbered; // a sale or void that fits: it is recorded with a number before the wait
};

// A sale's or void's write-ahead record: what it is made from, and its ticket.
struct SaleRun {
    const PlatformLocalTime* started;
    const DuplicateClaim* claim;
    RecordTicket ticket;
};

Prepared Prepare(const TransactionRequest& request) {
    Prepared prepared{Pooled ? WidestTerminal : ReadSetting("TerminalAddress"),
                      ReadSetting("EntryMode"), ReadSetting("ReplyTimeout"), false};
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
TransactionResult BuildNumberedMessage(char* message, int* length,
                                       const TransactionRequest& request, const Prepared& prepared,
                                       const LinkTurn& turn, const TransactionReport* report) {
    int code = request.code;
    int terminal = turn.link->terminal >= 0 ? turn.link->terminal : prepared.terminalAddress;
    if (code == TransactionFundsAvailable) {
        *length = BuildMessage(message, code, terminal, 0, request.clientNumber, request.amount,
                               request.card, request.reference, prepared.entryMode);
        return *length == 0 ? TransactionResult::TooLong : TransactionResult::Done;
    }
    if (!prepared.numbered || !report->numbered)
        return TransactionResult::TooLong;
    // The number its record was stored with.
    *length = BuildMessage(message, code, terminal, report->sequence, request.clientNumber,
                           request.amount, request.card, request.reference, prepared.entryMode);
    // Only a hand-edited counter of many digits makes a fitting sale too long.
    return *length == 0 ? TransactionResult::TooLong : TransactionResult::Done;
}

// Everything after the link (and lock) is taken; the caller gives them back.
TransactionResult ExchangeOnLink(char* replyArea, const TransactionRequest& request,
                                 const Prepared& prepared, LinkTurn* turn,
                                 TransactionReport* report) {
    char message[MessageAreaSize];
    int length = 0;
    TransactionResult result =
        BuildNumberedMessage(message, &length, request, prepared, *turn, report);
    if (result == TransactionResult::Done && ReadyTurnLink(turn, replyArea)) {
        // Once a send has started, a failure is reported, never retried, to
        // either host: the server may already hold the message. A failed
        // send took no byte.
        int64_t sendStarted = PlatformMonotonicUs();
        if (SendToServer(turn->link, message, length, replyArea)) {
            result = CollectServerReply(turn->link, replyArea, prepared.replyTimeout);
            report->serverUs = PlatformMonotonicUs() - sendStarted;
            report->outcome = result == TransactionResult::Done ? TransactionOutcome::Replied
                              : result == TransactionResult::Refused
                                  ? TransactionOutcome::NotSent // the server took nothing
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

// A transaction that never got a link (or the lock): its row, then the
// till's text.
TillAnswer EndWithoutLock(char* replyArea, const char* text, PendingRow* pending,
                          const TransactionReport& report) {
    FinishRow(pending, report, AnswerTransaction(TransactionResult::Failed, text));
    snprintf(replyArea, ReplyAreaSize, "%s", text);
    return AnswerTransaction(TransactionResult::Failed, replyArea);
}

// A sale's or void's place for a link, taken as its record takes its place
// in the record queue: numbers follow the order of the places, so each link
// sends its numbers in order.
struct Joining {
    PlatformEvent* stopEvent;
    LinkTurn* turn;
    char* downText;
    TurnResult taken;
    bool called;
};

bool JoinLinkQueue(void* context) {
    Joining* joining = static_cast<Joining*>(context);
    joining->called = true;
    joining->taken = RequestLink(joining->stopEvent, joining->turn, joining->downText);
    return joining->taken == TurnResult::Granted || joining->taken == TurnResult::Queued;
}

// A link for the transaction, and for a sale or void that fits, its record
// with its number on stable storage first. Waits at most LockWaitMs in all.
// Failed: the record could not be stored, the reason in replyArea; the turn
// is given back.
enum class Taken { Granted, ServerDown, Timeout, Stopped, Failed };

Taken TakeRecordAndLink(char* replyArea, const TransactionRequest& request,
                        const Prepared& prepared, PlatformEvent* stopEvent, SaleRun* run,
                        LinkTurn* turn, char* downText, TransactionReport* report) {
    TurnResult taken;
    if (prepared.numbered) {
        int64_t recordStarted = PlatformMonotonicUs();
        Joining joining{stopEvent, turn, downText, TurnResult::Stopped, false};
        if (StartSaleRecord(request, *run->started, *run->claim, &run->ticket, replyArea,
                            JoinLinkQueue, &joining)) {
            report->sequence = run->ticket.sequence;
            report->numbered = true;
        } else if (!joining.called || joining.taken == TurnResult::Granted ||
                   joining.taken == TurnResult::Queued) {
            GiveBackLink(turn);
            return Taken::Failed;
        }
        taken = joining.taken;
        if (taken == TurnResult::Queued) {
            int64_t spentMs = (PlatformMonotonicUs() - recordStarted) / 1000;
            unsigned left = spentMs < LockWaitMs ? LockWaitMs - static_cast<unsigned>(spentMs) : 0;
            taken = AwaitLink(stopEvent, left, turn, downText);
        }
    } else {
        taken = TakeLink(stopEvent, LockWaitMs, turn, downText);
    }
    switch (taken) {
    case TurnResult::Granted:
        return Taken::Granted;
    case TurnResult::ServerDown:
        return Taken::ServerDown;
    case TurnResult::Timeout:
        return Taken::Timeout;
    case TurnResult::Queued:
    case TurnResult::Stopped:
        break;
    }
    return Taken::Stopped;
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
    started.serverResolved = StartServerHosts();
    started.serverAddress = GetServerHost(PrimaryHost).address;
    started.serverPort = GetServerHost(PrimaryHost).port;
    TerminalProblem[0] = '\0';
    StartLinkPool(TerminalProblem, sizeof TerminalProblem);
    int terminals[MaxTerminalAddresses];
    int count = PoolTerminals(terminals, MaxTerminalAddresses);
    Pooled = count > 0;
    WidestTerminal = 0;
    for (int i = 0; i < count; ++i)
        WidestTerminal = terminals[i] > WidestTerminal ? terminals[i] : WidestTerminal;
    return started;
}

void LogTransactionSettings() {
    char line[512];
    if (ServerHostCount() == 2) {
        std::snprintf(line, sizeof line, "Backup transaction server address is %s.",
                      GetServerHost(BackupHost).where);
        WriteLogLine(line);
    }
    LogServerHostSettings();
    if (TerminalProblem[0] != '\0') {
        std::snprintf(line, sizeof line, "TerminalAddresses %s; the addresses before it are used.",
                      TerminalProblem);
        WriteLogLine(line, LogEvent::Error);
    }
    int terminals[MaxTerminalAddresses];
    int count = PoolTerminals(terminals, MaxTerminalAddresses);
    if (count == 0)
        return;
    int used =
        std::snprintf(line, sizeof line, "%d server connections, one per terminal address:", count);
    for (int i = 0; i < count && used > 0 && static_cast<size_t>(used) < sizeof line; ++i)
        used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), "%s %d",
                              i == 0 ? "" : ",", terminals[i]);
    WriteLogLine(line);
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
    LinkTurn turn;
    // The record and a link first, in arrival order; with a single link, the
    // transaction lock then, with what is left of the wait.
    char downText[ReplyAreaSize];
    int64_t waitStarted = PlatformMonotonicUs();
    Taken taken =
        TakeRecordAndLink(replyArea, request, prepared, stopEvent, &run, &turn, downText, report);
    PlatformWaitResult waited = taken == Taken::Granted   ? PlatformWaitResult::Mutex
                                : taken == Taken::Timeout ? PlatformWaitResult::Timeout
                                                          : PlatformWaitResult::Event;
    if (taken == Taken::Granted && !Pooled) {
        int64_t spentMs = (PlatformMonotonicUs() - waitStarted) / 1000;
        unsigned left = spentMs < LockWaitMs ? LockWaitMs - static_cast<unsigned>(spentMs) : 0;
        waited = PlatformWaitEventOrMutex(stopEvent, TransactionLock, left);
        if (waited != PlatformWaitResult::Mutex)
            GiveBackLink(&turn);
    }
    report->lockWaitUs = PlatformMonotonicUs() - waitStarted;
    TillAnswer answer{};
    if (taken == Taken::Failed) {
        // Not recorded, so not sent: the reason is in the reply area.
        answer = AnswerTransaction(TransactionResult::Failed, replyArea);
        FinishRow(&pending, *report, answer);
    } else if (taken == Taken::ServerDown) {
        // Known down, and tried by another: answered at once, nothing sent.
        answer = EndWithoutLock(replyArea, downText, &pending, *report);
    } else if (waited == PlatformWaitResult::Mutex) {
        answer = AnswerTransaction(ExchangeOnLink(replyArea, request, prepared, &turn, report),
                                   replyArea);
        FinishRow(&pending, *report, answer);
        if (!Pooled)
            PlatformReleaseMutex(TransactionLock);
        GiveBackLink(&turn);
    } else if (waited == PlatformWaitResult::Timeout) {
        answer = EndWithoutLock(replyArea, "Timeout error.", &pending, *report);
    } else {
        // A failed wait never leads to an exchange without the lock.
        answer = EndWithoutLock(replyArea, "Service shutdown.", &pending, *report);
    }
    // A record whose message never left gets its outcome too: not sent.
    SettleSale(claim, run.ticket, *report, answer);
    CountTransaction(MetricKindOf(request.code), MetricOutcomeOf(report->outcome),
                     report->lockWaitUs, report->serverUs);
    return answer;
}
