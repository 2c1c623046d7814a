// Transaction.cpp - SendTransaction: one transaction at a time over the one
// persistent connection to the payment transaction server.
#include "transaction/Transaction.h"

#include "files/Files.h"
#include "files/Journal.h"
#include "frontend/Metrics.h"
#include "platform/Platform.h"

#include <climits>
#include <cstdio>
#include <cstring>

PlatformEvent* StopEvent = nullptr;
PlatformMutex* TransactionLock = nullptr;
char ServerAddress[32] = "127.0.0.1";
int ServerPort = 3770;

// Touched only while TransactionLock is held.
static PlatformSocket ServerSocket = PlatformNoSocket;
static bool ReconnectNeeded = true;

static const unsigned LockWaitMs = 10000;
static const int DefaultReplyTimeoutSeconds = 30;
// The widest sequence number below the wrap, for the size check made before
// a number is taken.
static const int WidestSequenceNumber = 999999;
// More than this waiting on an idle connection is not a stray reply.
static const long MaxStrayBytes = 64 * 1024;

int BuildMessage(char* out, int code, int terminalAddress, int sequenceNumber, int clientNumber,
                 int amount, const char* firstItem, const char* thirdItem, int entryMode) {
    // "xx" holds the place of the two length bytes.
    int length;
    if (code == TransactionFundsAvailable) {
        length = snprintf(out, MessageAreaSize, "xx%02d\x1c\x1c%d\x1c%d\x1c\x1c\x1c\x1c%s\x1c%d",
                          terminalAddress, code, amount, firstItem, entryMode);
    } else {
        length =
            snprintf(out, MessageAreaSize, "xx%02d%d\x1c%d\x1c%d\x1c%d\x1c\x1c%s\x1c\x1c%s\x1c%d",
                     terminalAddress, sequenceNumber, clientNumber, code, amount,
                     thirdItem != nullptr ? thirdItem : "", firstItem, entryMode);
    }
    if (length < 2 || length >= MessageAreaSize)
        return 0;
    int textLength = length - 2;
    out[0] = static_cast<char>((textLength >> 8) & 0xFF);
    out[1] = static_cast<char>(textLength & 0xFF);
    return length;
}

// Characters "%d" prints for value, at least minDigits of them ("%02d").
static int DecimalWidth(int value, int minDigits) {
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    int digits = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++digits;
    }
    if (value < 0)
        ++digits;
    return digits < minDigits ? minDigits : digits;
}

// The length BuildMessage gives a sale or void, counted without formatting
// it: the size check before a number is taken costs no second format.
static int SaleMessageLength(int terminalAddress, int sequenceNumber, int clientNumber, int amount,
                             const char* firstItem, const char* thirdItem, int entryMode) {
    size_t items = strlen(firstItem) + (thirdItem != nullptr ? strlen(thirdItem) : 0);
    if (items > static_cast<size_t>(MessageAreaSize))
        return MessageAreaSize;
    // "xx", 8 separators and the two-digit code.
    return 2 + 8 + 2 + DecimalWidth(terminalAddress, 2) + DecimalWidth(sequenceNumber, 1) +
           DecimalWidth(clientNumber, 1) + DecimalWidth(amount, 1) + DecimalWidth(entryMode, 1) +
           static_cast<int>(items);
}

void CloseServerConnection() {
    PlatformCloseSocket(ServerSocket);
    ServerSocket = PlatformNoSocket;
    ReconnectNeeded = true;
    NoteServerClosed();
}

// Discards bytes waiting on the idle connection: they are a late or surplus
// reply to an earlier transaction and must not be taken for this one's.
// Returns false when the server has closed or reset the connection.
static bool DrainIdleConnection() {
    char scratch[1024];
    long discarded = 0;
    for (;;) {
        int ready = PlatformWaitReadable(ServerSocket, 0);
        if (ready == 0)
            return true;
        if (ready < 0)
            return false;
        long got = PlatformRecv(ServerSocket, scratch, sizeof scratch);
        if (got <= 0)
            return false;
        discarded += got;
        if (discarded > MaxStrayBytes)
            return false;
    }
}

static bool ConnectToServer(char* replyArea) {
    PlatformCloseSocket(ServerSocket);
    ServerSocket = PlatformTcpSocket();
    // A socket that could not be made, or keep-alive that could not be set,
    // shows up as the connect's failure below.
    if (ServerSocket != PlatformNoSocket)
        PlatformSetKeepAlive(ServerSocket);
    int error = PlatformConnect(ServerSocket, ServerAddress,
                                static_cast<unsigned short>(ServerPort & 0xFFFF));
    if (error != 0) {
        snprintf(replyArea, ReplyAreaSize, "Unable to connect to server: Error %d", error);
        NoteServerExchange(false, replyArea);
        return false;
    }
    NoteServerConnected();
    return true;
}

int CollectReply(char* replyArea, int replyTimeoutSeconds, const ReplyReceiver& receiver) {
    int received = 0;
    int emptyReads = 0;
    replyArea[0] = '\0';
    int64_t deadline = 0;
    if (replyTimeoutSeconds > 0)
        deadline = PlatformMonotonicMs() + static_cast<int64_t>(replyTimeoutSeconds) * 1000;

    while (emptyReads < 5) {
        int room = ReplyAreaSize - 1 - received;
        // A full area asks for 0 bytes, which counts as an empty read at once.
        int waitMs = -1;
        if (room > 0 && deadline != 0) {
            int64_t left = deadline - PlatformMonotonicMs();
            if (left <= 0) {
                snprintf(replyArea, ReplyAreaSize, "Timeout error.");
                return TransactionFailed;
            }
            waitMs = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        int error = 0;
        long got = receiver.receive(receiver.context, replyArea + received,
                                    static_cast<size_t>(room), waitMs, &error);
        if (got == ReceiveTimedOut) {
            snprintf(replyArea, ReplyAreaSize, "Timeout error.");
            return TransactionFailed;
        }
        if (got < 0) {
            snprintf(replyArea, ReplyAreaSize, "Socket error %d.", error);
            return TransactionFailed;
        }
        if (got == 0) {
            ++emptyReads;
            continue;
        }
        received += static_cast<int>(got);
        replyArea[received] = '\0';
        emptyReads = 0;
        if (received >= 2) {
            // The length is unsigned: 0x00 0x80 means 128 bytes, not -128.
            int expected = (static_cast<unsigned char>(replyArea[0]) << 8) |
                           static_cast<unsigned char>(replyArea[1]);
            if (received >= expected + 2)
                return TransactionDone;
        }
    }
    return TransactionFailed;
}

// The reply source of a real exchange: the persistent server connection.
static long ReceiveFromServer(void*, char* buffer, size_t size, int waitMs, int* error) {
    if (waitMs >= 0 && PlatformWaitReadable(ServerSocket, waitMs) == 0)
        return ReceiveTimedOut;
    long got = PlatformRecv(ServerSocket, buffer, size);
    if (got < 0) {
        *error = PlatformSocketError();
        return ReceiveFailed;
    }
    return got;
}

// Everything after the lock is taken; the caller releases it.
static int ExchangeUnderLock(char* replyArea, const char* firstItem, int code, int amount,
                             const char* thirdItem, int clientNumber, TransactionReport* report) {
    int terminalAddress = ReadSetting("TerminalAddress", 0);
    int entryMode = ReadSetting("EntryMode", 2);
    int replyTimeout = ReadSetting("ReplyTimeout", DefaultReplyTimeoutSeconds);

    // Items that could not fit are refused before a number is taken or a
    // byte is sent. The items are copied into the message before anything is
    // written to the reply area, since they may lie inside it.
    char message[MessageAreaSize];
    int length;
    if (code == TransactionFundsAvailable) {
        length = BuildMessage(message, code, terminalAddress, 0, clientNumber, amount, firstItem,
                              thirdItem, entryMode);
        if (length == 0)
            return TransactionTooLong;
    } else {
        if (SaleMessageLength(terminalAddress, WidestSequenceNumber, clientNumber, amount,
                              firstItem, thirdItem, entryMode) >= MessageAreaSize)
            return TransactionTooLong;
        report->sequence = NextSequenceNumber();
        report->numbered = true;
        length = BuildMessage(message, code, terminalAddress, report->sequence, clientNumber,
                              amount, firstItem, thirdItem, entryMode);
        if (length == 0)
            return TransactionTooLong; // only a hand-edited counter of many digits gets here
    }

    if (!ReconnectNeeded && !DrainIdleConnection())
        ReconnectNeeded = true;
    if (ReconnectNeeded && !ConnectToServer(replyArea))
        return TransactionFailed;
    ReconnectNeeded = false;

    // Once a send has started, a failure is reported, never retried: the
    // server may already hold the message. A failed send took no byte.
    int64_t sendStarted = PlatformMonotonicUs();
    if (PlatformSend(ServerSocket, message, static_cast<size_t>(length)) < 0) {
        ReconnectNeeded = true;
        snprintf(replyArea, ReplyAreaSize, "Unable to send data: Error %d", PlatformSocketError());
        NoteServerExchange(false, replyArea);
        return TransactionFailed;
    }
    int result = CollectReply(replyArea, replyTimeout, ReplyReceiver{ReceiveFromServer, nullptr});
    report->serverUs = PlatformMonotonicUs() - sendStarted;
    NoteServerExchange(result == TransactionDone, replyArea);
    report->outcome =
        result == TransactionDone ? TransactionOutcome::Replied : TransactionOutcome::InDoubt;
    // A reply that failed or stopped short leaves the connection out of step.
    if (result != TransactionDone)
        ReconnectNeeded = true;
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

static void BeginRow(PendingRow* pending, const char* firstItem, int code, int amount,
                     const char* thirdItem, int clientNumber, const char* clientAddress) {
    JournalRow& row = pending->row;
    row = JournalRow{};
    PlatformLocalNow(&row.started);
    row.client = clientAddress;
    row.clientNumber = clientNumber;
    row.kind = code == TransactionFundsAvailable ? "funds"
               : code == TransactionVoid         ? "void"
                                                 : "sale";
    row.amount = amount;
    SetJournalCard(&row, firstItem);
    if (code != TransactionFundsAvailable && thirdItem != nullptr) {
        size_t length = strlen(thirdItem);
        row.reference = thirdItem;
        if (length < sizeof pending->reference) {
            memcpy(pending->reference, thirdItem, length + 1);
            row.reference = pending->reference;
        }
    }
}

// Completes and writes the row: the outcome, and the status and body the
// till gets for the result, as AnswerTransaction gives them. body is the
// reply area, or the text about to be put there.
static void FinishRow(PendingRow* pending, const TransactionReport& report, int result,
                      const char* body) {
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
    }
    row.serverUs = report.outcome == TransactionOutcome::NotSent ? -1 : report.serverUs;
    if (result == TransactionDone) {
        row.httpStatus = 200;
        row.reply = body + 2;
    } else if (result == TransactionTooLong) {
        row.httpStatus = 400;
        row.reply = "Syntax error.";
    } else {
        row.httpStatus = 504;
        row.reply = body;
    }
    WriteJournalRow(row);
}

// A transaction that never got the lock: its row, then the till's text.
static int EndWithoutLock(char* replyArea, const char* text, PendingRow* pending,
                          const TransactionReport& report) {
    FinishRow(pending, report, TransactionFailed, text);
    snprintf(replyArea, ReplyAreaSize, "%s", text);
    return TransactionFailed;
}

int SendTransaction(char* replyArea, const char* firstItem, int code, int amount,
                    const char* thirdItem, int clientNumber, TransactionReport* report) {
    TransactionReport scratch;
    if (report == nullptr)
        report = &scratch;
    const char* clientAddress = report->clientAddress;
    *report = TransactionReport{};
    report->clientAddress = clientAddress;
    PendingRow pending;
    BeginRow(&pending, firstItem, code, amount, thirdItem, clientNumber, clientAddress);

    int64_t waitStarted = PlatformMonotonicUs();
    PlatformWaitResult waited = PlatformWaitEventOrMutex(StopEvent, TransactionLock, LockWaitMs);
    report->lockWaitUs = PlatformMonotonicUs() - waitStarted;
    switch (waited) {
    case PlatformWaitResult::Mutex:
        break;
    case PlatformWaitResult::Timeout:
        return EndWithoutLock(replyArea, "Timeout error.", &pending, *report);
    case PlatformWaitResult::Event:
    case PlatformWaitResult::Failed:
        // A failed wait never leads to an exchange without the lock.
        return EndWithoutLock(replyArea, "Service shutdown.", &pending, *report);
    }
    int result =
        ExchangeUnderLock(replyArea, firstItem, code, amount, thirdItem, clientNumber, report);
    FinishRow(&pending, *report, result, replyArea);
    PlatformReleaseMutex(TransactionLock);
    return result;
}
