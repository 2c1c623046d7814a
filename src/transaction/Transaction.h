// Transaction.h - the exchange with the payment transaction server: message
// building, the one persistent, self-reconnecting server connection, and
// the answer a till gets for what became of its transaction.
#pragma once

#include <cstddef>
#include <cstdint>

struct PlatformEvent;
struct PlatformMutex;

constexpr int TransactionFundsAvailable = 84;
constexpr int TransactionSale = 51;
constexpr int TransactionVoid = 52;

constexpr int ReplyAreaSize = 1024;
constexpr int MessageAreaSize = 256;

// Results of SendTransaction.
constexpr int TransactionFailed = 0;   // reply area holds the error text
constexpr int TransactionDone = 1;     // reply area holds the framed reply
constexpr int TransactionTooLong = -1; // items cannot fit in a message; nothing sent
// A repeat of a recent sale or void (DuplicateWindow); the reply area holds
// the till's text about the first one. Nothing sent, no number taken.
constexpr int TransactionDuplicate = 2;
// The duplicate window could not check the request (every entry live, or no
// key); the reply area holds the text. Nothing sent, no number taken.
constexpr int TransactionUnchecked = -2;

// What became of a transaction, as far as the gateway can tell: NotSent when
// no byte of the message left, Replied when the framed reply came whole,
// InDoubt when the message went out but the reply did not come whole (the
// server may or may not have acted on it), Duplicate when it repeated a
// recent one and was not sent.
enum class TransactionOutcome { NotSent, Replied, InDoubt, Duplicate };

// One transaction a till asked for. The items may lie inside the reply area.
struct TransactionRequest {
    int code = 0; // TransactionFundsAvailable, TransactionSale or TransactionVoid
    const char* card = nullptr;
    int amount = 0;
    const char* reference = nullptr; // null for funds available
    int clientNumber = 0;
    const char* clientAddress = nullptr; // the till's dotted address, for the journal
};

struct TransactionReport {
    TransactionOutcome outcome = TransactionOutcome::NotSent;
    int sequence = -1;      // the number sent; -1 when none was taken
    int64_t lockWaitUs = 0; // waiting for the transaction lock; -1: it never waited
    int64_t serverUs = -1;  // first byte sent to the end of the reply or the failure
    bool numbered = false;  // a number was taken (a counter file may hold -1 too)
};

// Reads the server's address and port (a host name resolved here, once),
// keeps the lock every transaction takes, and starts the duplicate window
// empty with a key of its own. Called by the run sequence before the
// listener starts. False when the name did not resolve; it is then used as
// written.
bool StartTransactions(PlatformMutex* lock);
// False when StartTransactions could not make the duplicate window's key:
// while DuplicateWindow is on, sales and voids are then refused unchecked.
bool DuplicateWindowReady();
// The server's address as StartTransactions left it.
const char* ServerAddressInUse();
unsigned short ServerPortInUse();

// Carries one transaction, waiting at most 10 s for the transaction lock
// unless stopEvent is set first. With DuplicateWindow on, a sale or void is
// looked up in the duplicate window before that wait: a repeat is answered
// from the first one (TransactionDuplicate) and one the window cannot take
// is refused (TransactionUnchecked), neither waiting nor sending. When report
// is given it is filled in before the call returns. Every transaction leaves
// a journal row, written before the lock is let go so that sale and void rows
// follow the sequence numbers, and is counted for the status port.
int SendTransaction(char* replyArea, const TransactionRequest& request, PlatformEvent* stopEvent,
                    TransactionReport* report = nullptr);

// The answers the exchange gives tills, by status line and body.
extern const char StatusOk[];
extern const char StatusBadRequest[];
extern const char StatusGatewayTimeout[];
extern const char StatusConflict[];
extern const char StatusServiceUnavailable[];
extern const char BodySyntaxError[];

// What the till gets for a SendTransaction result and the reply area it
// filled; the journal records the same.
struct TillAnswer {
    int code;           // the HTTP status code
    const char* status; // its status line text, e.g. "200 OK"
    const char* body;   // may point into the reply area
};
TillAnswer AnswerTransaction(int result, const char* replyArea);

// Formats the framed message into out (MessageAreaSize bytes): two length
// bytes, high first, then the text. Returns the total length, or 0 when it
// would not fit.
int BuildMessage(char* out, int code, int terminalAddress, int sequenceNumber, int clientNumber,
                 int amount, const char* card, const char* reference, int entryMode);

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

// TLS on the server link, as the gateway takes it from the settings.
struct ServerTlsSettings {
    bool enabled = false;
    // Full path: the settings file's directory and ServerCaFile, each less
    // than GatewayPathSize. Empty: the system's trust store.
    char caFile[512] = {};
    char name[256] = {}; // what the server's certificate must carry
    unsigned char pin[32] = {};
    bool pinned = false;
    bool pinValid = true; // false: ServerCertificateHash is not 64 hex digits
};

// Reads ServerTls, ServerCaFile (a relative path is taken beside the
// executable), ServerTlsName (empty: serverAddress, the dotted address in
// use) and ServerCertificateHash.
void ReadServerTlsSettings(const char* serverAddress, ServerTlsSettings* out);
// A fingerprint as hex, colons and blanks between the digits allowed: false
// unless it is exactly 32 bytes.
bool ParseFingerprint(const char* text, unsigned char* out);

// Why a handshake did not succeed, as the till reads it after "Unable to
// connect to server: ", e.g. "certificate not trusted". error is what
// PlatformTlsConnect gave; a failure with an unusable caFile says so.
enum class PlatformTlsResult;
void DescribeHandshake(PlatformTlsResult result, int error, const char* caFile, char* out,
                       size_t size);
