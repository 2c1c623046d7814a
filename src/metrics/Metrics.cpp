// Metrics.cpp - the counts behind /metrics and /health, and their text.
#include "Metrics.h"

#include "TextArea.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

using Counter = std::atomic<uint64_t>;
constexpr auto Relaxed = std::memory_order_relaxed;

const int64_t ProcessStartMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();

// The statuses the gateway answers tills with, in the order of their counters.
const char* const AnswerCodes[] = {"200", "400", "403", "404", "405", "409", "503", "504"};
constexpr int AnswerKinds = sizeof AnswerCodes / sizeof AnswerCodes[0];
Counter Answers[AnswerKinds];

Counter ConnectionsOpen;

const char* const Kinds[] = {"funds", "sale", "void"};
const char* const Outcomes[] = {"replied", "in_doubt", "not_sent"};
Counter Transactions[3][3];

const char* const Originals[] = {"in_progress", "replied", "in_doubt"};
Counter Duplicates[3];
Counter RecoveredInDoubt;

// Fixed bucket bounds in microseconds, with their text in seconds. A
// loopback exchange takes about 100 us; a server at its reply time-out, 30 s.
struct Bound {
    int64_t us;
    const char* seconds;
};
constexpr Bound Bounds[] = {
    {100, "0.0001"},  {250, "0.00025"}, {500, "0.0005"},  {1000, "0.001"},  {2500, "0.0025"},
    {5000, "0.005"},  {10000, "0.01"},  {25000, "0.025"}, {50000, "0.05"},  {100000, "0.1"},
    {250000, "0.25"}, {500000, "0.5"},  {1000000, "1"},   {2500000, "2.5"}, {5000000, "5"},
    {10000000, "10"}, {30000000, "30"},
};
constexpr int BoundCount = sizeof Bounds / sizeof Bounds[0];

// Each observation lands in one bucket (the last one is +Inf); the text
// adds them up, so the cumulative counts and the total always agree.
struct Histogram {
    Counter buckets[BoundCount + 1];
    Counter sumUs;

    void Observe(int64_t us) {
        if (us < 0)
            us = 0;
        int bucket = 0;
        while (bucket < BoundCount && us > Bounds[bucket].us)
            ++bucket;
        buckets[bucket].fetch_add(1, Relaxed);
        sumUs.fetch_add(static_cast<uint64_t>(us), Relaxed);
    }
};
Histogram ExchangeTime;
Histogram LockWait;
static_assert(TimeBucketCount == BoundCount + 1);

Counter ServerConnects;

// The links' states: written on a connect, a failure or a start, read by
// the status port.
std::mutex LinkGuard;
ServerLinkState Links[MaxServerLinks];
int LinkCount = 0;
std::atomic<int> LinksConnected{0};
std::atomic<bool> OnBackup{false};
char BackupHost[64];

const char* const HandshakeResults[] = {"ok", "refused", "failed"};
Counter Handshakes[3];
std::atomic<bool> CertificateSeen{false};
std::atomic<int64_t> CertificateNotAfter{0};
std::atomic<bool> ClientCertificateSeen{false};
std::atomic<int64_t> ClientCertificateNotAfter{0};

// The last exchange that went to the server: none yet, reached, failed.
enum Health { NoExchange, Reached, Failed };
std::atomic<int> ServerHealth{NoExchange};
std::mutex HealthGuard; // the failure text, and changes of ServerHealth
char FailureText[160];

// Copies text as one printable line: other bytes become "?".
void CopyPrintable(const char* text, char* out, size_t size) {
    size_t used = 0;
    for (const char* p = text; *p != '\0' && used + 1 < size; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        out[used++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    out[used] = '\0';
}

// The exposition format's lines.
struct Text : TextArea {
    void Head(const char* name, const char* type, const char* help) {
        Add("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    }
    // A counter family with one label: a line for each of its values.
    void AddCounters(const char* name, const char* label, const char* const* values,
                     const Counter* counters, int count) {
        for (int i = 0; i < count; ++i)
            Add("%s{%s=\"%s\"} %llu\n", name, label, values[i],
                static_cast<unsigned long long>(counters[i].load(Relaxed)));
    }
    void AddHistogram(const char* name, const char* help, const Histogram& histogram) {
        Head(name, "histogram", help);
        uint64_t cumulative = 0;
        for (int i = 0; i <= BoundCount; ++i) {
            cumulative += histogram.buckets[i].load(Relaxed);
            Add("%s_bucket{le=\"%s\"} %llu\n", name, i < BoundCount ? Bounds[i].seconds : "+Inf",
                static_cast<unsigned long long>(cumulative));
        }
        uint64_t sumUs = histogram.sumUs.load(Relaxed);
        Add("%s_sum %llu.%06llu\n%s_count %llu\n", name,
            static_cast<unsigned long long>(sumUs / 1000000),
            static_cast<unsigned long long>(sumUs % 1000000), name,
            static_cast<unsigned long long>(cumulative));
    }
};

// One line per server connection: open and in step or not, by its terminal
// address ("" when TerminalAddress is read per transaction).
void AddLinks(Text& text) {
    ServerLinkState links[MaxServerLinks];
    int count = ReadServerLinks(links, MaxServerLinks);
    text.Head("qhg_server_link_connected", "gauge",
              "1 while this connection to the transaction server is open and in step.");
    for (int i = 0; i < count; ++i) {
        char terminal[16] = "";
        if (links[i].terminal >= 0)
            std::snprintf(terminal, sizeof terminal, "%d", links[i].terminal);
        text.Add("qhg_server_link_connected{link=\"%d\",terminal=\"%s\"} %d\n", i, terminal,
                 links[i].connected ? 1 : 0);
    }
}

} // namespace

void CountAnswer(const char* status) {
    // The three digits of the status line, without a string compare each.
    int code = (status[0] - '0') * 100 + (status[1] - '0') * 10 + (status[2] - '0');
    int index = code == 200   ? 0
                : code == 400 ? 1
                : code == 403 ? 2
                : code == 404 ? 3
                : code == 405 ? 4
                : code == 409 ? 5
                : code == 503 ? 6
                : code == 504 ? 7
                              : -1;
    if (index >= 0)
        Answers[index].fetch_add(1, Relaxed);
}

void CountConnectionOpened() {
    ConnectionsOpen.fetch_add(1, Relaxed);
}

void CountConnectionClosed() {
    ConnectionsOpen.fetch_sub(1, Relaxed);
}

void CountTransaction(MetricKind kind, MetricOutcome outcome, int64_t lockWaitUs,
                      int64_t serverUs) {
    Transactions[static_cast<int>(kind)][static_cast<int>(outcome)].fetch_add(1, Relaxed);
    if (lockWaitUs >= 0)
        LockWait.Observe(lockWaitUs);
    if (serverUs >= 0)
        ExchangeTime.Observe(serverUs);
}

uint64_t CountedTransactions() {
    uint64_t total = 0;
    for (const auto& kind : Transactions)
        for (const Counter& outcome : kind)
            total += outcome.load(Relaxed);
    return total;
}

bool ServerConnected() {
    return LinksConnected.load(Relaxed) > 0;
}

void CountDuplicate(MetricOriginal original) {
    Duplicates[static_cast<int>(original)].fetch_add(1, Relaxed);
}

void CountRecoveredInDoubt(MetricKind kind) {
    Transactions[static_cast<int>(kind)][static_cast<int>(MetricOutcome::InDoubt)].fetch_add(
        1, Relaxed);
    RecoveredInDoubt.fetch_add(1, Relaxed);
}

void NoteServerConnected() {
    ServerConnects.fetch_add(1, Relaxed);
}

void ResetServerLinks(int count) {
    std::lock_guard<std::mutex> hold(LinkGuard);
    LinkCount = count < 0 ? 0 : count > MaxServerLinks ? MaxServerLinks : count;
    for (ServerLinkState& link : Links)
        link = ServerLinkState{};
    LinksConnected.store(0, Relaxed);
}

void NoteServerLink(int index, const ServerLinkState& state) {
    if (index < 0 || index >= MaxServerLinks)
        return;
    std::lock_guard<std::mutex> hold(LinkGuard);
    Links[index] = state;
    int connected = 0;
    for (int i = 0; i < LinkCount; ++i)
        connected += Links[i].connected ? 1 : 0;
    LinksConnected.store(connected, Relaxed);
}

int ReadServerLinks(ServerLinkState* out, int max) {
    std::lock_guard<std::mutex> hold(LinkGuard);
    int count = LinkCount < max ? LinkCount : max;
    for (int i = 0; i < count; ++i)
        out[i] = Links[i];
    return count;
}

void NoteBackupInUse(bool inUse, const char* host) {
    std::lock_guard<std::mutex> hold(LinkGuard);
    CopyPrintable(host, BackupHost, sizeof BackupHost);
    OnBackup.store(inUse, Relaxed);
}

bool BackupInUse(char* host, size_t size) {
    std::lock_guard<std::mutex> hold(LinkGuard);
    if (!OnBackup.load(Relaxed))
        return false;
    CopyPrintable(BackupHost, host, size);
    return true;
}

void NoteServerExchange(bool reached, const char* failure) {
    if (reached) {
        // The steady state: nothing changes, nothing is locked.
        if (ServerHealth.load(std::memory_order_acquire) == Reached)
            return;
        std::lock_guard<std::mutex> hold(HealthGuard);
        ServerHealth.store(Reached, std::memory_order_release);
        return;
    }
    std::lock_guard<std::mutex> hold(HealthGuard);
    // A server that closes without a byte leaves no text of its own.
    CopyPrintable(failure[0] != '\0' ? failure : "No whole reply from the transaction server.",
                  FailureText, sizeof FailureText);
    ServerHealth.store(Failed, std::memory_order_release);
}

void CountServerHandshake(MetricHandshake result) {
    Handshakes[static_cast<int>(result)].fetch_add(1, Relaxed);
}

void NoteServerCertificate(int64_t notAfterUtcSeconds) {
    CertificateNotAfter.store(notAfterUtcSeconds, Relaxed);
    CertificateSeen.store(true, std::memory_order_release);
}

void ReadExchangeTimes(TimeBuckets* out) {
    for (int i = 0; i < TimeBucketCount; ++i) {
        out->upperUs[i] = i < BoundCount ? Bounds[i].us : -1;
        out->count[i] = ExchangeTime.buckets[i].load(Relaxed);
    }
}

int64_t BucketQuantileUs(const TimeBuckets& buckets, double share) {
    uint64_t total = 0;
    for (uint64_t count : buckets.count)
        total += count;
    if (total == 0)
        return -1;
    double rank = share * static_cast<double>(total);
    uint64_t below = 0;
    for (int i = 0; i < TimeBucketCount; ++i) {
        uint64_t count = buckets.count[i];
        if (count == 0 || static_cast<double>(below + count) < rank) {
            below += count;
            continue;
        }
        if (i == TimeBucketCount - 1)
            return BeyondLastBound;
        double lower = i == 0 ? 0 : static_cast<double>(buckets.upperUs[i - 1]);
        double upper = static_cast<double>(buckets.upperUs[i]);
        double within = (rank - static_cast<double>(below)) / static_cast<double>(count);
        return static_cast<int64_t>(lower + (upper - lower) * within + 0.5);
    }
    return BeyondLastBound;
}

void NoteClientCertificate(int64_t notAfterUtcSeconds) {
    ClientCertificateNotAfter.store(notAfterUtcSeconds, Relaxed);
    ClientCertificateSeen.store(true, std::memory_order_release);
}

bool ClientCertificateEnd(int64_t* notAfterUtcSeconds) {
    if (!ClientCertificateSeen.load(std::memory_order_acquire))
        return false;
    *notAfterUtcSeconds = ClientCertificateNotAfter.load(Relaxed);
    return true;
}

bool ServerHealthy(char* reason, size_t size) {
    std::lock_guard<std::mutex> hold(HealthGuard);
    if (ServerHealth.load(Relaxed) != Failed)
        return true;
    CopyPrintable(FailureText, reason, size);
    return false;
}

size_t FormatMetrics(char* out, size_t size, bool sequenceKnown, int sequenceNext) {
    if (size == 0)
        return 0;
    Text text{{out, size}};
    out[0] = '\0';
    text.Head("qhg_requests_total", "counter", "Answers sent to tills, by HTTP status.");
    text.AddCounters("qhg_requests_total", "status", AnswerCodes, Answers, AnswerKinds);

    text.Head("qhg_transactions_total", "counter",
              "Transactions by kind and outcome: replied, in doubt (sent, no whole reply) or "
              "not sent.");
    for (int kind = 0; kind < 3; ++kind)
        for (int outcome = 0; outcome < 3; ++outcome)
            text.Add("qhg_transactions_total{kind=\"%s\",outcome=\"%s\"} %llu\n", Kinds[kind],
                     Outcomes[outcome],
                     static_cast<unsigned long long>(Transactions[kind][outcome].load(Relaxed)));

    text.Head("qhg_duplicates_total", "counter",
              "Repeated sales and voids answered 409 without reaching the server, by what the "
              "first one was: in progress, replied or in doubt.");
    text.AddCounters("qhg_duplicates_total", "original", Originals, Duplicates, 3);

    text.Head("qhg_recovered_in_doubt_total", "counter",
              "Sales and voids in flight when the gateway last stopped, journaled in doubt at "
              "this start.");
    text.Add("qhg_recovered_in_doubt_total %llu\n",
             static_cast<unsigned long long>(RecoveredInDoubt.load(Relaxed)));

    text.Head("qhg_server_connected", "gauge",
              "Connections to the transaction server open and in step.");
    text.Add("qhg_server_connected %d\n", LinksConnected.load(Relaxed));
    text.Head("qhg_server_up", "gauge",
              "1 unless the last connect or exchange with the transaction server failed, as "
              "/health tells.");
    text.Add("qhg_server_up %d\n", ServerHealth.load(std::memory_order_acquire) == Failed ? 0 : 1);
    text.Head("qhg_server_backup_in_use", "gauge",
              "1 while new connections go to the backup transaction server.");
    text.Add("qhg_server_backup_in_use %d\n", OnBackup.load(Relaxed) ? 1 : 0);
    AddLinks(text);
    text.Head("qhg_server_connects_total", "counter",
              "Connections made to the transaction server.");
    text.Add("qhg_server_connects_total %llu\n",
             static_cast<unsigned long long>(ServerConnects.load(Relaxed)));

    text.Head("qhg_server_tls_handshakes_total", "counter",
              "TLS handshakes with the transaction server: ok, refused (certificate, name, "
              "fingerprint or protocol) or failed.");
    text.AddCounters("qhg_server_tls_handshakes_total", "result", HandshakeResults, Handshakes, 3);
    text.Head("qhg_server_certificate_expiry_timestamp_seconds", "gauge",
              "The notAfter of the transaction server's certificate last seen, since unix epoch.");
    if (CertificateSeen.load(std::memory_order_acquire))
        text.Add("qhg_server_certificate_expiry_timestamp_seconds %lld\n",
                 static_cast<long long>(CertificateNotAfter.load(Relaxed)));
    text.Head("qhg_client_certificate_expiry_timestamp_seconds", "gauge",
              "The notAfter of the client certificate the gateway presents, since unix epoch.");
    if (ClientCertificateSeen.load(std::memory_order_acquire))
        text.Add("qhg_client_certificate_expiry_timestamp_seconds %lld\n",
                 static_cast<long long>(ClientCertificateNotAfter.load(Relaxed)));

    text.AddHistogram("qhg_exchange_seconds",
                      "Time from sending a message to the end of its reply or its failure.",
                      ExchangeTime);
    text.AddHistogram("qhg_lock_wait_seconds",
                      "Time a transaction waited for the transaction lock.", LockWait);

    text.Head("qhg_connections_open", "gauge", "Accepted till connections not yet closed.");
    long long open = static_cast<long long>(ConnectionsOpen.load(Relaxed));
    text.Add("qhg_connections_open %lld\n", open);

    text.Head("qhg_sequence_next", "gauge", "The sequence number of the next sale or void.");
    if (sequenceKnown)
        text.Add("qhg_sequence_next %d\n", sequenceNext);

    text.Head("process_start_time_seconds", "gauge",
              "Start time of the process since unix epoch in seconds.");
    text.Add("process_start_time_seconds %lld.%03lld\n",
             static_cast<long long>(ProcessStartMs / 1000),
             static_cast<long long>(ProcessStartMs % 1000));
    return text.used;
}
