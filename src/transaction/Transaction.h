// Transaction.h - the exchange with the payment transaction server: message
// building and the one persistent, self-reconnecting server connection.
#pragma once

#include <cstddef>
#include <cstdint>

struct PlatformEvent;
struct PlatformMutex;

// Set up by the run sequence and the listener before the first transaction.
extern PlatformEvent* StopEvent;
extern PlatformMutex* TransactionLock;
extern char ServerAddress[32];
extern int ServerPort;

constexpr int TransactionFundsAvailable = 84;
constexpr int TransactionSale = 51;
constexpr int TransactionVoid = 52;

constexpr int ReplyAreaSize = 1024;
constexpr int MessageAreaSize = 256;

// Results of SendTransaction.
constexpr int TransactionFailed = 0;   // reply area holds the error text
constexpr int TransactionDone = 1;     // reply area holds the framed reply
constexpr int TransactionTooLong = -1; // items cannot fit in a message; nothing sent

// What became of a transaction, as far as the gateway can tell: NotSent when
// no byte of the message left, Replied when the framed reply came whole,
// InDoubt when the message went out but the reply did not come whole (the
// server may or may not have acted on it).
enum class TransactionOutcome { NotSent, Replied, InDoubt };

struct TransactionReport {
    TransactionOutcome outcome = TransactionOutcome::NotSent;
    int sequence = -1;      // the number sent; -1 when none was taken
    int64_t lockWaitUs = 0; // waiting for the transaction lock
    int64_t serverUs = -1;  // first byte sent to the end of the reply or the failure
    bool numbered = false;  // a number was taken (a counter file may hold -1 too)
    // Given by the caller and kept: the till's dotted address, for the journal.
    const char* clientAddress = nullptr;
};

// Carries one transaction. The items may lie inside replyArea (1024 bytes).
// thirdItem is ignored (may be null) for TransactionFundsAvailable. When
// report is given it is filled in before the call returns. Every transaction
// leaves a journal row, written before the lock is let go so that sale and
// void rows follow the sequence numbers.
int SendTransaction(char* replyArea, const char* firstItem, int code, int amount,
                    const char* thirdItem, int clientNumber, TransactionReport* report = nullptr);

// Formats the framed message into out (MessageAreaSize bytes): two length
// bytes, high first, then the text. Returns the total length, or 0 when it
// would not fit.
int BuildMessage(char* out, int code, int terminalAddress, int sequenceNumber, int clientNumber,
                 int amount, const char* firstItem, const char* thirdItem, int entryMode);

// Where a reply comes from. receive waits up to waitMs for data (not at all
// when waitMs is negative), then receives at most size bytes into buffer.
// Returns the byte count, 0 for an empty read, ReceiveTimedOut, or
// ReceiveFailed with *error set to the socket error code.
struct ReplyReceiver {
    long (*receive)(void* context, char* buffer, size_t size, int waitMs, int* error);
    void* context;
};
constexpr long ReceiveFailed = -1;
constexpr long ReceiveTimedOut = -2;

// Collects one framed reply into replyArea (ReplyAreaSize bytes), keeping it
// zero-terminated. Returns TransactionDone once L + 2 bytes are in; otherwise
// TransactionFailed with an error text, or with the part received after five
// empty reads in a row. replyTimeoutSeconds <= 0: no time limit.
int CollectReply(char* replyArea, int replyTimeoutSeconds, const ReplyReceiver& receiver);

// Drops the persistent connection; the next transaction connects anew.
void CloseServerConnection();
