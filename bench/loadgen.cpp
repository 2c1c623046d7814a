// loadgen.cpp - the load generator and probes of the benchmark harness
// (bench/run.sh). One epoll thread keeps N close-per-request connections
// busy against an HTTP server or a framed transaction server, and records
// every latency; the other commands watch a running process from outside.
//
//   loadgen http   --port P [--source ADDR] [--path URL] [--concurrency N]
//                  [--seconds S | --requests R] [--samples FILE] [--cpu PID,PID...]
//                  [--unique TAG]        each request's path ends in "-TAG-<n>"
//   loadgen framed --port P [--concurrency N] [--seconds S | --requests R] [--persistent]
//                  [--durable DIR]           each exchange after a 6-byte pwrite+fdatasync
//   loadgen floor  --port P --dir DIR --requests R [--samples FILE]
//                  what any sale with a durable counter costs, one at a time
//   loadgen hold   --port P --count K --pid PID     silent connections (30 per
//                  address from 127.0.1.1 on), RSS
//   loadgen flood  --port P --crowd ADDR=N[,ADDR=N...] [--pid PID] [--requests R]
//                  silent crowds, then listed sales; threads and RSS until
//                  they are back after the crowds close
//   loadgen cpu    --pid PID --seconds S            CPU time used meanwhile
//   loadgen stop   --pid PID                        SIGINT, time to exit
//   loadgen freeport                                a port nobody listens on
//   loadgen waitport --port P                       until something listens
//
// Every command prints one line "RESULT key=value ..." for the script.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "loadgen: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void Usage() {
    std::fprintf(
        stderr, "usage: loadgen http|framed|floor|hold|flood|cpu|stop|freeport|waitport [--host A] "
                "[--port P] [--source A]\n"
                "       [--path URL] [--concurrency N] [--seconds S] [--requests R]\n"
                "       [--persistent] [--durable DIR] [--dir DIR] [--samples FILE]\n"
                "       [--cpu PID,...] [--count K] [--pid PID] [--crowd ADDR=N,...]\n"
                "       [--unique TAG]\n");
    std::exit(2);
}

struct Options {
    std::string command;
    std::string host = "127.0.0.1";
    std::string source;
    std::string path = "/Sale?4111111111111111+250+REF1";
    int port = 0;
    int concurrency = 1;
    double seconds = 0;
    long requests = 0;
    bool persistent = false;
    std::string samples; // file to append every latency to, in microseconds
    int count = 0;
    int pid = 0;
    std::vector<int> cpuPids; // processes whose CPU time a load run reports
    std::string dir;          // where the durable writes go (--durable, --dir)
    std::string crowd;        // flood: ADDR=N,...
    std::string unique;       // http: every path made different with this tag and a count
};

// A sale framed as the gateway frames it: terminal 03, sequence 17, client 5,
// code 51, amount 250, third item, card, entry mode.
std::string FramedSale() {
    std::string text = "0317\x1c"
                       "5\x1c"
                       "51\x1c"
                       "250\x1c\x1c"
                       "REF1\x1c\x1c"
                       "4111111111111111\x1c"
                       "2";
    std::string framed;
    framed.push_back(static_cast<char>(text.size() >> 8));
    framed.push_back(static_cast<char>(text.size() & 0xFF));
    return framed + text;
}

// A counter file of the gateway's kind in dir, written and flushed the way
// the gateway advances its counter: 6 bytes at offset 0, then fdatasync.
class DurableCounter {
  public:
    explicit DurableCounter(const std::string& dir) {
        std::string path = dir + "/durable-floor.seq";
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            Die("open the durable counter file");
    }
    ~DurableCounter() { close(fd_); }
    void Advance() {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06ld", value_++ % 1000000);
        if (pwrite(fd_, digits, 6, 0) != 6 || fdatasync(fd_) != 0)
            Die("durable write");
    }

  private:
    int fd_ = -1;
    long value_ = 100000;
};

long CpuTicks(int pid);

// --- load ------------------------------------------------------------------

// One client slot: a connection in flight and what has come back on it.
struct Slot {
    int fd = -1;
    int64_t started = 0;
    size_t sent = 0;
    std::string request;
    std::string reply;
};

struct Totals {
    long done = 0;
    long errors = 0;
    long timeoutText = 0;  // bodies carrying "Timeout error."
    long statuses[6] = {}; // [0] unparsed, [1..5] 1xx..5xx
    long byCode[600] = {};
    std::vector<int64_t> latencyNs;
};

class Load {
  public:
    explicit Load(const Options& options) : options_(options) {
        sockaddr_in& to = target_;
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(options.port));
        if (inet_pton(AF_INET, options.host.c_str(), &to.sin_addr) != 1)
            Die("bad --host");
        if (!options.source.empty()) {
            from_.sin_family = AF_INET;
            if (inet_pton(AF_INET, options.source.c_str(), &from_.sin_addr) != 1)
                Die("bad --source");
        }
        if (options.command == "http") {
            request_ = "GET " + options.path + " HTTP/1.1\r\nHost: " + options.host +
                       "\r\nConnection: close\r\n\r\n";
        } else {
            request_ = FramedSale();
        }
        if (!options.dir.empty())
            durable_ = std::make_unique<DurableCounter>(options.dir);
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0)
            Die("epoll_create1");
    }

    void Run() {
        cpuTicks_ = TotalCpuTicks();
        slots_.resize(static_cast<size_t>(options_.concurrency));
        int64_t begin = NowNs();
        deadline_ = options_.seconds > 0 ? begin + int64_t(options_.seconds * 1e9) : 0;
        for (size_t i = 0; i < slots_.size(); ++i)
            Start(i);
        std::vector<epoll_event> events(slots_.size());
        while (active_ > 0) {
            int n = epoll_wait(epoll_, events.data(), int(events.size()), 1000);
            if (n < 0 && errno != EINTR)
                Die("epoll_wait");
            for (int i = 0; i < n; ++i)
                Serve(events[size_t(i)].data.u64, events[size_t(i)].events);
            // Connections still open well after the end are abandoned.
            if (deadline_ != 0 && NowNs() > deadline_ + 2000000000LL)
                break;
        }
        elapsedNs_ = lastDone_ > begin ? lastDone_ - begin : NowNs() - begin;
        cpuTicks_ = TotalCpuTicks() - cpuTicks_;
    }

    void Report() {
        std::vector<int64_t>& lat = totals_.latencyNs;
        std::sort(lat.begin(), lat.end());
        auto pick = [&](double q) -> double {
            if (lat.empty())
                return 0;
            size_t at = size_t(q * double(lat.size() - 1) + 0.5);
            return double(lat[at]) / 1000.0;
        };
        double seconds = double(elapsedNs_) / 1e9;
        std::printf("RESULT done=%ld errors=%ld seconds=%.3f rate=%.1f p50_us=%.1f p90_us=%.1f "
                    "p99_us=%.1f max_us=%.1f timeout_text=%ld",
                    totals_.done, totals_.errors, seconds,
                    seconds > 0 ? double(totals_.done) / seconds : 0.0, pick(0.5), pick(0.9),
                    pick(0.99), pick(1.0), totals_.timeoutText);
        for (int code = 100; code < 600; ++code) {
            if (totals_.byCode[code] != 0)
                std::printf(" status_%d=%ld", code, totals_.byCode[code]);
        }
        std::printf(" status_other=%ld", totals_.statuses[0]);
        // CPU time the watched processes spent per answer, in microseconds.
        if (!options_.cpuPids.empty() && totals_.done > 0)
            std::printf(" cpu_us_per_request=%.1f", double(cpuTicks_) * 1e6 /
                                                        double(sysconf(_SC_CLK_TCK)) /
                                                        double(totals_.done));
        std::printf("\n");
        if (!options_.samples.empty()) {
            FILE* file = std::fopen(options_.samples.c_str(), "a");
            if (file == nullptr)
                Die("open --samples file");
            for (int64_t ns : lat)
                std::fprintf(file, "%.1f\n", double(ns) / 1000.0);
            std::fclose(file);
        }
        // A coarse latency histogram, powers of two in microseconds.
        long buckets[40] = {};
        for (int64_t ns : lat) {
            int b = 0;
            for (int64_t us = ns / 1000; us > 1 && b < 39; us >>= 1)
                ++b;
            ++buckets[b];
        }
        std::printf("HISTOGRAM");
        for (int b = 0; b < 40; ++b) {
            if (buckets[b] != 0)
                std::printf(" <%lldus:%ld", 2LL << b, buckets[b]);
        }
        std::printf("\n");
    }

  private:
    long TotalCpuTicks() const {
        long total = 0;
        for (int pid : options_.cpuPids)
            total += CpuTicks(pid);
        return total;
    }

    bool MoreWanted() const {
        if (deadline_ != 0)
            return NowNs() < deadline_;
        return started_ < options_.requests;
    }

    void Start(size_t index) {
        Slot& slot = slots_[index];
        if (!MoreWanted())
            return;
        ++started_;
        ++active_;
        slot.started = NowNs();
        slot.sent = 0;
        slot.reply.clear();
        slot.request = request_;
        if (!options_.unique.empty())
            slot.request = "GET " + options_.path + "-" + options_.unique + "-" +
                           std::to_string(started_) + " HTTP/1.1\r\nHost: " + options_.host +
                           "\r\nConnection: close\r\n\r\n";
        if (durable_)
            durable_->Advance();
        if (options_.persistent && slot.fd >= 0) {
            Send(index);
            return;
        }
        slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (slot.fd < 0)
            Die("socket");
        int on = 1;
        setsockopt(slot.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (from_.sin_family == AF_INET) {
            setsockopt(slot.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            if (bind(slot.fd, reinterpret_cast<sockaddr*>(&from_), sizeof from_) != 0)
                Die("bind --source");
        }
        epoll_event event{};
        event.events = EPOLLOUT;
        event.data.u64 = index;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, slot.fd, &event) != 0)
            Die("epoll_ctl");
        if (connect(slot.fd, reinterpret_cast<sockaddr*>(&target_), sizeof target_) != 0 &&
            errno != EINPROGRESS)
            Fail(index);
    }

    void Send(size_t index) {
        Slot& slot = slots_[index];
        ssize_t n =
            send(slot.fd, slot.request.data() + slot.sent, slot.request.size() - slot.sent,
                 MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN)
            return;
        if (n < 0) {
            Fail(index);
            return;
        }
        slot.sent += size_t(n);
        epoll_event event{};
        event.events = slot.sent < slot.request.size() ? EPOLLOUT : EPOLLIN;
        event.data.u64 = index;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, slot.fd, &event);
    }

    void Serve(size_t index, uint32_t events) {
        Slot& slot = slots_[index];
        if (slot.fd < 0)
            return;
        if (slot.sent < slot.request.size()) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0 || (events & EPOLLERR)) {
                Fail(index);
                return;
            }
            Send(index);
            return;
        }
        char buffer[4096];
        for (;;) {
            ssize_t n = recv(slot.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                slot.reply.append(buffer, size_t(n));
                if (options_.command == "framed" && Complete(slot.reply)) {
                    Finish(index);
                    return;
                }
                continue;
            }
            if (n < 0 && errno == EAGAIN)
                return;
            if (n < 0 || options_.command == "framed") {
                Fail(index); // a framed reply must be complete before the close
                return;
            }
            Finish(index); // the HTTP answer ends with the server's close
            return;
        }
    }

    static bool Complete(const std::string& reply) {
        if (reply.size() < 2)
            return false;
        size_t expected = (size_t(uint8_t(reply[0])) << 8) | uint8_t(reply[1]);
        return reply.size() >= expected + 2;
    }

    void Close(size_t index) {
        Slot& slot = slots_[index];
        epoll_ctl(epoll_, EPOLL_CTL_DEL, slot.fd, nullptr);
        close(slot.fd);
        slot.fd = -1;
    }

    void Finish(size_t index) {
        Slot& slot = slots_[index];
        int64_t now = NowNs();
        lastDone_ = now;
        ++totals_.done;
        totals_.latencyNs.push_back(now - slot.started);
        if (options_.command == "http") {
            int code = 0;
            if (slot.reply.compare(0, 5, "HTTP/") == 0) {
                size_t space = slot.reply.find(' ');
                if (space != std::string::npos)
                    code = std::atoi(slot.reply.c_str() + space + 1);
            }
            if (code >= 100 && code < 600) {
                ++totals_.statuses[code / 100];
                ++totals_.byCode[code];
            } else {
                ++totals_.statuses[0];
            }
            if (slot.reply.find("Timeout error.") != std::string::npos)
                ++totals_.timeoutText;
        }
        --active_;
        if (!options_.persistent)
            Close(index);
        else if (!MoreWanted())
            Close(index);
        Start(index);
    }

    void Fail(size_t index) {
        ++totals_.errors;
        --active_;
        Close(index);
        Start(index);
    }

    Options options_;
    sockaddr_in target_{};
    sockaddr_in from_{};
    std::string request_;
    std::unique_ptr<DurableCounter> durable_;
    int epoll_ = -1;
    std::vector<Slot> slots_;
    Totals totals_;
    int64_t deadline_ = 0;
    int64_t lastDone_ = 0;
    int64_t elapsedNs_ = 0;
    long started_ = 0;
    long active_ = 0;
    long cpuTicks_ = 0;
};

// --- the durable-counter floor ---------------------------------------------

int ConnectTo(const Options& options) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Die("socket");
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(options.port));
    inet_pton(AF_INET, options.host.c_str(), &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        Die("connect");
    return fd;
}

// Sends the framed sale and reads its whole framed reply.
void FramedExchange(int fd, const std::string& request) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        Die("send");
    char reply[4096];
    size_t got = 0;
    while (got < 2 || got < 2 + ((size_t(uint8_t(reply[0])) << 8) | uint8_t(reply[1]))) {
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0)
            Die("recv");
        got += size_t(n);
    }
}

double Percentile(std::vector<int64_t> ns, double q) {
    if (ns.empty())
        return 0;
    std::sort(ns.begin(), ns.end());
    return double(ns[size_t(q * double(ns.size() - 1) + 0.5)]) / 1000.0;
}

// One at a time, what a sale through any gateway with a durable counter
// must take at least: the till's exchange on a fresh connection (here with
// the transaction server itself), one exchange on a persistent connection and
// one durable counter write. Each sample is the sum of the three, measured
// back to back.
int FloorCommand(const Options& options) {
    if (options.dir.empty() || options.requests <= 0)
        Usage();
    std::string request = FramedSale();
    DurableCounter counter(options.dir);
    int persistent = ConnectTo(options);
    std::vector<int64_t> total, fresh, kept, durable;
    for (long i = 0; i < options.requests; ++i) {
        int64_t t0 = NowNs();
        int fd = ConnectTo(options);
        FramedExchange(fd, request);
        close(fd);
        int64_t t1 = NowNs();
        FramedExchange(persistent, request);
        int64_t t2 = NowNs();
        counter.Advance();
        int64_t t3 = NowNs();
        fresh.push_back(t1 - t0);
        kept.push_back(t2 - t1);
        durable.push_back(t3 - t2);
        total.push_back(t3 - t0);
    }
    close(persistent);
    std::printf("RESULT done=%zu p50_us=%.1f p99_us=%.1f fresh_p50_us=%.1f fresh_p99_us=%.1f "
                "persistent_p50_us=%.1f persistent_p99_us=%.1f durable_p50_us=%.1f "
                "durable_p99_us=%.1f\n",
                total.size(), Percentile(total, 0.5), Percentile(total, 0.99),
                Percentile(fresh, 0.5), Percentile(fresh, 0.99), Percentile(kept, 0.5),
                Percentile(kept, 0.99), Percentile(durable, 0.5), Percentile(durable, 0.99));
    // The sums in the samples file, each part in a file of its own beside it.
    if (!options.samples.empty()) {
        const std::pair<const char*, const std::vector<int64_t>*> parts[] = {
            {"", &total}, {".fresh", &fresh}, {".persistent", &kept}, {".durable", &durable}};
        for (const auto& [suffix, values] : parts) {
            FILE* file = std::fopen((options.samples + suffix).c_str(), "a");
            if (file == nullptr)
                Die("open --samples file");
            for (int64_t ns : *values)
                std::fprintf(file, "%.1f\n", double(ns) / 1000.0);
            std::fclose(file);
        }
    }
    return 0;
}

// --- probes ----------------------------------------------------------------

// Reads "Key:   value kB" from /proc/<pid>/status; -1 if absent.
long StatusField(int pid, const char* key) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return -1;
    char line[256];
    long value = -1;
    size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = std::atol(line + keyLength + 1);
            break;
        }
    }
    std::fclose(file);
    return value;
}

// utime + stime from /proc/<pid>/stat, in clock ticks.
long CpuTicks(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        Die("open /proc/<pid>/stat");
    char text[1024];
    size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[n] = '\0';
    // The command name is in parentheses and may hold spaces: count from ')'.
    const char* p = std::strrchr(text, ')');
    if (p == nullptr)
        return -1;
    long fields[16] = {};
    int field = 2; // the ')' ends field 2
    for (++p; *p != '\0' && field < 15;) {
        while (*p == ' ')
            ++p;
        ++field;
        char* end = nullptr;
        long value = std::strtol(p, &end, 10);
        if (field == 14 || field == 15)
            fields[field] = value;
        p = end != p ? end : p + 1;
        while (*p != ' ' && *p != '\0')
            ++p;
    }
    return fields[14] + fields[15];
}

// Sum over the process's threads of the nanoseconds spent on a CPU, and how
// many threads there are (a thread that ends takes its time with it).
int64_t CpuNs(int pid, int* threads) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return -1;
    int64_t total = 0;
    *threads = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        ++*threads;
        char file[320];
        std::snprintf(file, sizeof file, "/proc/%d/task/%s/schedstat", pid, entry->d_name);
        FILE* f = std::fopen(file, "r");
        if (f == nullptr)
            continue;
        long long ns = 0;
        if (std::fscanf(f, "%lld", &ns) == 1)
            total += ns;
        std::fclose(f);
    }
    closedir(dir);
    return total;
}

int CpuCommand(const Options& options) {
    long ticks0 = CpuTicks(options.pid);
    int threads0 = 0;
    int64_t ns0 = CpuNs(options.pid, &threads0);
    timespec pause{time_t(options.seconds),
                   long((options.seconds - double(time_t(options.seconds))) * 1e9)};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    long ticks1 = CpuTicks(options.pid);
    int threads1 = 0;
    int64_t ns1 = CpuNs(options.pid, &threads1);
    long hz = sysconf(_SC_CLK_TCK);
    char schedstat[32] = "-"; // not comparable when threads came or went
    if (threads0 == threads1)
        std::snprintf(schedstat, sizeof schedstat, "%.3f", double(ns1 - ns0) / 1e6);
    std::printf("RESULT stat_ms=%.1f schedstat_ms=%s clk_tck=%ld threads=%d/%d\n",
                double(ticks1 - ticks0) * 1000.0 / double(hz), schedstat, hz, threads0, threads1);
    return 0;
}

int StopCommand(const Options& options) {
    int pidfd = int(syscall(SYS_pidfd_open, options.pid, 0));
    if (pidfd < 0)
        Die("pidfd_open");
    int64_t begin = NowNs();
    if (kill(options.pid, SIGINT) != 0)
        Die("kill");
    pollfd entry{pidfd, POLLIN, 0};
    int ready = poll(&entry, 1, 10000);
    int64_t end = NowNs();
    close(pidfd);
    std::printf("RESULT exited=%d stop_ms=%.3f\n", ready == 1 ? 1 : 0, double(end - begin) / 1e6);
    return ready == 1 ? 0 : 1;
}

// How many descriptors a process has open; -1 if it cannot be read.
long OpenDescriptors(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return -1;
    long count = 0;
    while (dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

int HoldCommand(const Options& options) {
    long threads0 = StatusField(options.pid, "Threads");
    long fds0 = OpenDescriptors(options.pid);
    long rss0 = StatusField(options.pid, "VmRSS");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(options.port));
    inet_pton(AF_INET, options.host.c_str(), &to.sin_addr);
    std::vector<int> held;
    for (int i = 0; i < options.count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            Die("socket");
        // 30 from each of 127.0.1.1, 127.0.1.2, ...: within the gateway's
        // default cap of 32 waiting connections per address.
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl((127u << 24) | (1u << 8) | unsigned(1 + i / 30));
        int on = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
            Die("bind");
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            Die("connect");
        held.push_back(fd);
    }
    // Wait until the gateway has taken each in (a descriptor each; they wait
    // 5 s for a request: stay well inside that).
    int64_t limit = NowNs() + 3000000000LL;
    while (NowNs() < limit && OpenDescriptors(options.pid) < fds0 + options.count)
        usleep(10000);
    usleep(100000);
    long rss1 = StatusField(options.pid, "VmRSS");
    long threads = StatusField(options.pid, "Threads");
    for (int fd : held)
        close(fd);
    std::printf("RESULT held=%d threads_before=%ld threads_during=%ld rss_idle_kb=%ld "
                "rss_held_kb=%ld per_connection_kb=%.2f\n",
                options.count, threads0, threads, rss0, rss1,
                options.count > 0 ? double(rss1 - rss0) / options.count : 0.0);
    return 0;
}

// One sale from 127.0.0.1, blocking: microseconds to the end of the answer,
// or -1 unless it was "200 OK" within 30 s.
double ListedSale(const Options& options) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(options.port));
    inet_pton(AF_INET, options.host.c_str(), &to.sin_addr);
    int64_t begin = NowNs();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Die("socket");
    // A gateway that never answers fails the sale instead of stopping the run.
    timeval limit{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request = "GET " + options.path + " HTTP/1.1\r\nHost: gateway\r\n\r\n";
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, size_t(n));
    }
    close(fd);
    double us = double(NowNs() - begin) / 1000.0;
    return reply.compare(0, 15, "HTTP/1.1 200 OK") == 0 ? us : -1;
}

// Silent crowds from the given addresses, a listed sale right behind them and
// a few more while they are held; the process's threads and RSS meanwhile,
// and how long after the crowds close both are back (RSS within 1 MB).
int FloodCommand(const Options& options) {
    std::vector<std::pair<std::string, int>> crowds;
    for (size_t at = 0; at < options.crowd.size();) {
        size_t comma = options.crowd.find(',', at);
        std::string item = options.crowd.substr(at, comma - at);
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
            errno = EINVAL;
            Die("--crowd wants ADDR=N,...");
        }
        crowds.emplace_back(item.substr(0, equals), std::atoi(item.c_str() + equals + 1));
        at = comma == std::string::npos ? options.crowd.size() : comma + 1;
    }
    bool watched = options.pid > 0;
    long threads0 = watched ? StatusField(options.pid, "Threads") : -1;
    long rss0 = watched ? StatusField(options.pid, "VmRSS") : -1;

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(options.port));
    inet_pton(AF_INET, options.host.c_str(), &to.sin_addr);
    std::vector<int> held;
    int64_t begin = NowNs();
    long refused = 0;
    for (const auto& [address, count] : crowds) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, address.c_str(), &from.sin_addr) != 1)
            Die("bad --crowd address");
        for (int i = 0; i < count; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0)
                Die("socket");
            int on = 1;
            setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
                Die("bind crowd address");
            if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                ++refused;
                close(fd);
                continue;
            }
            held.push_back(fd);
        }
    }
    double openMs = double(NowNs() - begin) / 1e6;
    // The first sale queues behind whatever of the crowd is not taken in yet.
    double first = ListedSale(options);
    long threadsPeak = watched ? StatusField(options.pid, "Threads") : -1;
    double worst = first;
    long requests = options.requests > 0 ? options.requests : 20;
    for (long i = 1; i < requests; ++i) {
        double us = ListedSale(options);
        worst = us < 0 || worst < 0 ? -1 : std::max(worst, us);
        if (watched)
            threadsPeak = std::max(threadsPeak, StatusField(options.pid, "Threads"));
    }
    long rssHeld = watched ? StatusField(options.pid, "VmRSS") : -1;
    long gatewayFds = watched ? OpenDescriptors(options.pid) : -1;
    for (int fd : held)
        close(fd);

    // Back when threads are no more than at the start and RSS within 1 MB.
    double backS = -1;
    long threadsEnd = -1, rssEnd = -1;
    if (watched) {
        int64_t closed = NowNs();
        while (NowNs() - closed < 15000000000LL) {
            threadsEnd = StatusField(options.pid, "Threads");
            rssEnd = StatusField(options.pid, "VmRSS");
            if (threadsEnd <= threads0 && rssEnd <= rss0 + 1024) {
                backS = double(NowNs() - closed) / 1e9;
                break;
            }
            usleep(50000);
        }
    }
    std::printf("RESULT crowd=%zu refused=%ld open_ms=%.0f first_sale_ms=%.2f worst_sale_ms=%.2f "
                "sales=%ld threads_idle=%ld threads_peak=%ld fds_held=%ld rss_idle_kb=%ld "
                "rss_held_kb=%ld threads_end=%ld rss_end_kb=%ld back_s=%.2f\n",
                held.size(), refused, openMs, first < 0 ? -1 : first / 1000,
                worst < 0 ? -1 : worst / 1000, requests, threads0, threadsPeak, gatewayFds, rss0,
                rssHeld, threadsEnd, rssEnd, backS);
    return first < 0 || worst < 0 ? 1 : 0;
}

int FreePortCommand() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        Die("free port");
    close(fd);
    std::printf("%d\n", ntohs(address.sin_port));
    return 0;
}

// Connects (and closes at once) until the port answers, for at most 10 s.
int WaitPortCommand(const Options& options) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(options.port));
    inet_pton(AF_INET, options.host.c_str(), &to.sin_addr);
    int64_t limit = NowNs() + 10000000000LL;
    while (NowNs() < limit) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        close(fd);
        if (up)
            return 0;
        usleep(20000);
    }
    std::fprintf(stderr, "loadgen: nothing listens on port %d\n", options.port);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        Usage();
    Options options;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--persistent") {
            options.persistent = true;
            continue;
        }
        if (i + 1 >= argc)
            Usage();
        const char* value = argv[++i];
        if (name == "--host")
            options.host = value;
        else if (name == "--source")
            options.source = value;
        else if (name == "--samples")
            options.samples = value;
        else if (name == "--path")
            options.path = value;
        else if (name == "--unique")
            options.unique = value;
        else if (name == "--durable" || name == "--dir")
            options.dir = value;
        else if (name == "--port")
            options.port = std::atoi(value);
        else if (name == "--concurrency")
            options.concurrency = std::atoi(value);
        else if (name == "--seconds")
            options.seconds = std::atof(value);
        else if (name == "--requests")
            options.requests = std::atol(value);
        else if (name == "--count")
            options.count = std::atoi(value);
        else if (name == "--pid")
            options.pid = std::atoi(value);
        else if (name == "--crowd")
            options.crowd = value;
        else if (name == "--cpu") {
            for (const char* p = value; *p != '\0';) {
                options.cpuPids.push_back(std::atoi(p));
                while (*p != '\0' && *p != ',')
                    ++p;
                if (*p == ',')
                    ++p;
            }
        } else
            Usage();
    }
    signal(SIGPIPE, SIG_IGN);
    if (options.command == "http" || options.command == "framed") {
        if (options.port <= 0 || options.concurrency <= 0 ||
            (options.seconds <= 0 && options.requests <= 0))
            Usage();
        Load load(options);
        load.Run();
        load.Report();
        return 0;
    }
    if (options.command == "floor") {
        if (options.port <= 0)
            Usage();
        return FloorCommand(options);
    }
    if (options.command == "hold")
        return HoldCommand(options);
    if (options.command == "flood")
        return FloodCommand(options);
    if (options.command == "cpu")
        return CpuCommand(options);
    if (options.command == "stop")
        return StopCommand(options);
    if (options.command == "freeport")
        return FreePortCommand();
    if (options.command == "waitport")
        return WaitPortCommand(options);
    Usage();
}
