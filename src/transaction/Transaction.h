// Transaction.h - the transaction layer's face to the layers above: one
// transaction carried to the payment transaction server and the till's
// answer, and the start that comes before any.
#pragma once

#include "TillAnswer.h"

#include <cstdint>

struct PlatformEvent;
struct PlatformMutex;

constexpr int TransactionFundsAvailable = 84;
constexpr int TransactionSale = 51;
constexpr int TransactionVoid = 52;

// The caller's reply area: the server's reply, or an error text, is kept
// zero-terminated in it.
constexpr int ReplyAreaSize = 1024;

// One transaction a till asked for. The items may lie inside the reply area.
struct TransactionRequest {
    int code = 0; // TransactionFundsAvailable, TransactionSale or TransactionVoid
    const char* card = nullptr;
    int amount = 0;
    const char* reference = nullptr; // null for funds available
    int clientNumber = 0;
    const char* clientAddress = nullptr; // the till's dotted address, for the journal
};

// What became of a transaction, as far as the gateway can tell: NotSent when
// no byte of the message left, Replied when the framed reply came whole,
// InDoubt when the message went out but the reply did not come whole (the
// server may or may not have acted on it), Duplicate when it repeated a
// recent one and was not sent.
enum class TransactionOutcome { NotSent, Replied, InDoubt, Duplicate };

struct TransactionReport {
    TransactionOutcome outcome = TransactionOutcome::NotSent;
    int sequence = -1;      // the number sent; -1 when none was taken
    int64_t lockWaitUs = 0; // waiting for a link (and lock); -1: it never waited
    int64_t serverUs = -1;  // first byte sent to the end of the reply or the failure
    bool numbered = false;  // a number was taken (a counter file may hold -1 too)
};

// What StartTransactions found, for the run sequence's log lines.
struct TransactionsStarted {
    const char* serverAddress; // dotted, or the name as written when it did not resolve
    unsigned short serverPort;
    bool serverResolved;
    // False when the duplicate window's key could not be made: while
    // DuplicateWindow is on, sales and voids are then refused unchecked.
    bool duplicateKeyMade;
    // Why the key file could not be used, as a clause ("the key file ...
    // is open to other accounts (mode 0644)"); null when it was. The window
    // then starts empty under a key of this run alone.
    const char* keyProblem;
};

// Reads the servers' addresses and ports (host names resolved here, once)
// and TerminalAddresses, keeps the lock every transaction takes when there
// is a single server link, starts with no server connection and the
// duplicate window empty under the key file's key (made when there is none).
// Called by the run sequence before the listener starts, and followed by
// RecoverTransactions (Recovery.h) once the journal is open.
TransactionsStarted StartTransactions(PlatformMutex* lock);
// Logs what StartTransactions found beyond the server's address: the backup
// server, settings that would refuse every connection, the terminal
// addresses.
void LogTransactionSettings();

// Carries one transaction, waiting at most 10 s for a server link (granted
// in arrival order; with a single link, then the transaction lock too)
// unless stopEvent is set first. While the server is known unreachable and
// another transaction is trying it, or a try failed while this one waited,
// it is answered at once with the last connect error, nothing sent. A sale
// or void is recorded with its number (Records.h) as it takes its place for
// a link, numbers in the order of the places, and is sent only once its
// record is on stable storage; one that cannot be recorded is not sent.
// With DuplicateWindow on, a sale or void is looked up in the duplicate
// window before that wait: a repeat is answered from the first one and one
// the window cannot take is refused, neither waiting nor sending. When
// report is given it is filled in before the call returns. Every transaction
// leaves a journal row, written before its link is let go (with a single
// link, sale and void rows then follow the sequence numbers; with several
// they may not), and is counted for the status port.
TillAnswer SendTransaction(char* replyArea, const TransactionRequest& request,
                           PlatformEvent* stopEvent, TransactionReport* report = nullptr);
