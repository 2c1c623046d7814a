// Metrics.h - what the status port reports: answers sent to tills, their
// connections, transactions by kind and outcome with their times, and the
// state of the transaction server connection. Counting takes no lock: a
// relaxed atomic add or two. Only a change in the server's health locks.
#pragma once

#include <cstddef>
#include <cstdint>

enum class MetricKind { Funds, Sale, Void };
enum class MetricOutcome { Replied, InDoubt, NotSent };
// What the first of a repeated sale or void was doing or became.
enum class MetricOriginal { InProgress, Replied, InDoubt };

// One answer sent to a till; status is its status line ("403 Forbidden").
void CountAnswer(const char* status);
// An accepted till connection, from its accept to its close.
void CountConnectionOpened();
void CountConnectionClosed();
// One transaction: its kind and outcome, the time it waited for the
// transaction lock (negative: it did not wait), and its time at the server
// (negative: nothing was sent).
void CountTransaction(MetricKind kind, MetricOutcome outcome, int64_t lockWaitUs, int64_t serverUs);
// A repeat answered from the duplicate window, by what its first one was.
void CountDuplicate(MetricOriginal original);
// A sale or void in flight when the gateway last stopped, found at start
// and journaled in doubt: counted in doubt among the transactions too.
void CountRecoveredInDoubt(MetricKind kind);

// Noted by the exchanges: a connection made; an exchange that went to the
// server, reached when its reply came whole, else failed with the error text
// in failure, which the caller has cleared of card numbers.
void NoteServerConnected();
void NoteServerExchange(bool reached, const char* failure);

// The server connections ("links"): one, or one per terminal address. Each
// link notes its state whenever it changes; readers get a copy.
constexpr int MaxServerLinks = 16;
struct ServerLinkState {
    int terminal;   // the link's terminal address; -1: TerminalAddress, read per transaction
    bool connected; // open and in step
    bool backup;    // host is the backup server
    char host[64];  // "address:port" of the host it is (or was last) connected to; empty: none yet
    bool tls;
    int64_t certificateNotAfter; // of the host's certificate, seconds since 1970 UTC; 0: none seen
};
// At start: count links, none connected.
void ResetServerLinks(int count);
void NoteServerLink(int index, const ServerLinkState& state);
// The links in use into out (at most max), their count.
int ReadServerLinks(ServerLinkState* out, int max);
// Whether new connections go to the backup server, and its "address:port".
void NoteBackupInUse(bool inUse, const char* host);
bool BackupInUse(char* host, size_t size);

// A TLS handshake with the server: made, refused (certificate, name,
// fingerprint or protocol) or failed (closed, reset, time-out...).
enum class MetricHandshake { Ok, Refused, Failed };
void CountServerHandshake(MetricHandshake result);
// The notAfter of the server's certificate last seen in a handshake, in
// seconds since 1970 UTC.
void NoteServerCertificate(int64_t notAfterUtcSeconds);
// The notAfter of the client certificate the gateway presents, read at start
// and with each new connection.
void NoteClientCertificate(int64_t notAfterUtcSeconds);
// False until NoteClientCertificate was called.
bool ClientCertificateEnd(int64_t* notAfterUtcSeconds);

// True while no exchange has failed since the last one that reached the
// server. Otherwise false with the failure as one printable line in reason.
bool ServerHealthy(char* reason, size_t size);

// The exchange times of /metrics' histogram, for the status page: each
// bucket's upper bound and the exchanges in it (not added up); the last
// bucket has no bound.
constexpr int TimeBucketCount = 18;
struct TimeBuckets {
    int64_t upperUs[TimeBucketCount]; // the last: -1
    uint64_t count[TimeBucketCount];
};
void ReadExchangeTimes(TimeBuckets* out);
// The time under which share (0.5 for the median) of the counted exchanges
// lie, interpolated within its bucket as Prometheus' histogram_quantile
// does: -1 with none counted, BeyondLastBound when it lies in the last one.
constexpr int64_t BeyondLastBound = INT64_MAX;
int64_t BucketQuantileUs(const TimeBuckets& buckets, double share);

// Transactions counted since start, of every kind and outcome, and whether
// a server connection is up now: for the service manager's status line.
uint64_t CountedTransactions();
bool ServerConnected();
// The Prometheus text exposition (version 0.0.4) of every count, with the
// next sequence number when it is known. Returns the length, cut to
// size - 1 and zero-terminated.
size_t FormatMetrics(char* out, size_t size, bool sequenceKnown, int sequenceNext);
