// PlatformPosix.cpp - the platform layer on Linux: the same behaviour the
// gateway gets from Windows, built from POSIX calls.
#ifndef _WIN32

#include "platform/Platform.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// ---------------------------------------------------------------------------
// Errors

int PlatformLastError() {
    return errno;
}

void PlatformSetLastError(int code) {
    errno = code;
}

bool PlatformErrorSentence(int code, char* out, size_t size) {
    if (size == 0)
        return false;
    // GNU strerror_r returns the text, which may or may not be out itself.
    char buffer[256];
    const char* text = strerror_r(code, buffer, sizeof buffer);
    if (text == nullptr || *text == '\0')
        return false;
    snprintf(out, size, "%s", text);
    return true;
}

// ---------------------------------------------------------------------------
// Console, time, process

void PlatformSleepMs(unsigned ms) {
    timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void PlatformLocalDateTime(char* date, size_t dateSize, char* time, size_t timeSize) {
    time_t now = ::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    if (dateSize > 0 && strftime(date, dateSize, "%x", &local) == 0)
        date[0] = '\0';
    if (timeSize > 0 && strftime(time, timeSize, "%H:%M:%S", &local) == 0)
        time[0] = '\0';
}

int64_t PlatformUtcMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t PlatformMonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool PlatformExecutablePath(char* out, size_t size) {
    if (size == 0)
        return false;
    // readlink cuts silently; a result that fills the buffer may have been cut.
    ssize_t length = readlink("/proc/self/exe", out, size);
    if (length <= 0 || static_cast<size_t>(length) >= size) {
        out[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    out[length] = '\0';
    return true;
}

bool PlatformUserName(char* out, size_t size) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return false;
    if (strlen(found->pw_name) >= size)
        return false;
    snprintf(out, size, "%s", found->pw_name);
    return true;
}

bool PlatformIsSupportedSystem() {
    return true;
}

// ---------------------------------------------------------------------------
// Settings files, read the way GetPrivateProfileStringA reads them.

static bool PosixIsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Trims [begin, end) of blanks in place; returns the new length.
static std::string PosixTrimmed(const char* begin, const char* end) {
    while (begin < end && PosixIsBlank(*begin))
        ++begin;
    while (end > begin && PosixIsBlank(end[-1]))
        --end;
    return std::string(begin, end);
}

static bool PosixSameText(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// Finds the value of key in section; false if the file, section or key is missing.
static bool PosixProfileLookup(const char* section, const char* key, const char* path,
                               std::string* value) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return false;
    bool inSection = false;
    bool found = false;
    char line[4096];
    while (!found && fgets(line, sizeof line, file) != nullptr) {
        const char* end = line + strlen(line);
        std::string text = PosixTrimmed(line, end);
        if (text.empty() || text[0] == ';')
            continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            std::string name =
                PosixTrimmed(text.c_str() + 1,
                             text.c_str() + (close == std::string::npos ? text.size() : close));
            inSection = PosixSameText(name, section);
            continue;
        }
        if (!inSection)
            continue;
        size_t equals = text.find('=');
        if (equals == std::string::npos)
            continue;
        std::string name = PosixTrimmed(text.c_str(), text.c_str() + equals);
        if (!PosixSameText(name, key))
            continue;
        *value = PosixTrimmed(text.c_str() + equals + 1, text.c_str() + text.size());
        // A value in matching quotes is given without them, as on Windows.
        if (value->size() >= 2 && ((value->front() == '"' && value->back() == '"') ||
                                   (value->front() == '\'' && value->back() == '\'')))
            *value = value->substr(1, value->size() - 2);
        found = true;
    }
    fclose(file);
    return found;
}

int PlatformProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    std::string value;
    if (!PosixProfileLookup(section, key, path, &value) || value.empty())
        return defaultValue;
    // Sign and leading digits; anything after them is ignored, wrapping at 32 bits.
    const char* p = value.c_str();
    bool negative = false;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    uint32_t result = 0;
    while (*p >= '0' && *p <= '9')
        result = result * 10u + static_cast<uint32_t>(*p++ - '0');
    if (negative)
        result = 0u - result;
    return static_cast<int>(result);
}

size_t PlatformProfileString(const char* section, const char* key, const char* defaultValue,
                             char* out, size_t size, const char* path) {
    if (size == 0)
        return 0;
    std::string value;
    if (!PosixProfileLookup(section, key, path, &value) || value.empty())
        value = defaultValue != nullptr ? defaultValue : "";
    size_t length = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(out, value.data(), length);
    out[length] = '\0';
    return length;
}

// ---------------------------------------------------------------------------
// One-writer files: an exclusive flock stands for Windows' deny-write sharing.
// Readers take no lock, so they still get in.

struct PlatformFile {
    int fd;
};

static int PosixOpenOneWriter(const char* path, int flags, int* error) {
    int fd = open(path, flags | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? PlatformSharingViolation : errno;
        close(fd);
        errno = *error;
        return -1;
    }
    return fd;
}

PlatformFile* PlatformOpenForUpdate(const char* path, int* error) {
    int fd = PosixOpenOneWriter(path, O_RDWR, error);
    if (fd < 0)
        return nullptr;
    return new PlatformFile{fd};
}

long PlatformFileReadAt(PlatformFile* file, long offset, void* buffer, size_t size) {
    ssize_t n;
    do {
        n = pread(file->fd, buffer, size, offset);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long PlatformFileWriteAt(PlatformFile* file, long offset, const void* data, size_t size) {
    ssize_t n;
    do {
        n = pwrite(file->fd, data, size, offset);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool PlatformFileSetSize(PlatformFile* file, long size) {
    return ftruncate(file->fd, size) == 0;
}

bool PlatformFileClose(PlatformFile* file) {
    bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

int PlatformAppendText(const char* path, const char* text, size_t size) {
    int error = 0;
    int fd = PosixOpenOneWriter(path, O_WRONLY | O_APPEND, &error);
    if (fd < 0)
        return error;
    while (size > 0) {
        ssize_t n = write(fd, text, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = errno;
            break;
        }
        text += n;
        size -= static_cast<size_t>(n);
    }
    if (close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

// ---------------------------------------------------------------------------
// Events and the transaction lock. The lock hands itself to the longest
// waiter, as Windows mutexes do, so no waiter starves behind newcomers.

struct PlatformEvent {
    std::atomic<bool> set{false};
    int fd = -1; // eventfd, readable once set, for waits that also watch a socket
};

namespace {
struct PosixLockWaiter {
    std::condition_variable wake;
    bool granted = false;
};
} // namespace

struct PlatformMutex {
    std::mutex guard;
    bool owned = false;
    std::list<PosixLockWaiter*> waiters;
};

// Every lock, so that setting an event can wake the waiters of each.
static std::mutex PosixRegistryGuard;
static std::vector<PlatformMutex*> PosixMutexes;

PlatformEvent* PlatformCreateEvent() {
    auto* event = new PlatformEvent;
    event->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event->fd < 0) {
        delete event;
        return nullptr;
    }
    return event;
}

void PlatformSetEvent(PlatformEvent* event) {
    event->set.store(true);
    uint64_t one = 1;
    ssize_t ignored = write(event->fd, &one, sizeof one);
    (void)ignored;
    std::lock_guard registry(PosixRegistryGuard);
    for (PlatformMutex* mutex : PosixMutexes) {
        std::lock_guard lock(mutex->guard);
        for (PosixLockWaiter* waiter : mutex->waiters)
            waiter->wake.notify_one();
    }
}

bool PlatformEventIsSet(PlatformEvent* event) {
    return event->set.load();
}

PlatformMutex* PlatformCreateMutex(const char* /*name*/) {
    auto* mutex = new PlatformMutex;
    std::lock_guard registry(PosixRegistryGuard);
    PosixMutexes.push_back(mutex);
    return mutex;
}

// Hands the lock to the first waiter, or frees it. Caller holds mutex->guard.
static void PosixPassLock(PlatformMutex* mutex) {
    if (mutex->waiters.empty()) {
        mutex->owned = false;
        return;
    }
    PosixLockWaiter* next = mutex->waiters.front();
    mutex->waiters.pop_front();
    next->granted = true;
    next->wake.notify_one();
}

void PlatformReleaseMutex(PlatformMutex* mutex) {
    std::lock_guard lock(mutex->guard);
    PosixPassLock(mutex);
}

PlatformWaitResult PlatformWaitEventOrMutex(PlatformEvent* event, PlatformMutex* mutex,
                                            unsigned timeoutMs) {
    if (event == nullptr || mutex == nullptr)
        return PlatformWaitResult::Failed;
    std::unique_lock lock(mutex->guard);
    if (event->set.load())
        return PlatformWaitResult::Event;
    if (!mutex->owned && mutex->waiters.empty()) {
        mutex->owned = true;
        return PlatformWaitResult::Mutex;
    }
    PosixLockWaiter self;
    mutex->waiters.push_back(&self);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!self.granted && !event->set.load()) {
        if (self.wake.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    }
    if (event->set.load()) {
        if (self.granted)
            PosixPassLock(mutex); // the stop wins; the lock goes on to the next waiter
        else
            mutex->waiters.remove(&self);
        return PlatformWaitResult::Event;
    }
    if (self.granted)
        return PlatformWaitResult::Mutex;
    mutex->waiters.remove(&self);
    return PlatformWaitResult::Timeout;
}

namespace {
struct PosixThreadStart {
    PlatformThreadProc proc;
    void* parameter;
};
} // namespace

static void* PosixThreadMain(void* raw) {
    PosixThreadStart start = *static_cast<PosixThreadStart*>(raw);
    delete static_cast<PosixThreadStart*>(raw);
    start.proc(start.parameter);
    return nullptr;
}

bool PlatformStartThread(PlatformThreadProc proc, void* parameter, size_t stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize > 0) {
        size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, stackSize < minimum ? minimum : stackSize);
    }
    auto* start = new PosixThreadStart{proc, parameter};
    pthread_t thread;
    int result = pthread_create(&thread, &attributes, PosixThreadMain, start);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete start;
        errno = result;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Sockets

const int PlatformErrorAddressInUse = EADDRINUSE;

bool PlatformSocketStartup() {
    return true;
}

void PlatformSocketCleanup() {}

int PlatformSocketError() {
    return errno;
}

static int PosixFd(PlatformSocket socket) {
    return static_cast<int>(socket);
}

PlatformSocket PlatformTcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? PlatformNoSocket : static_cast<PlatformSocket>(fd);
}

void PlatformCloseSocket(PlatformSocket socket) {
    if (socket != PlatformNoSocket)
        close(PosixFd(socket));
}

bool PlatformSetKeepAlive(PlatformSocket socket) {
    int on = 1;
    return setsockopt(PosixFd(socket), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
}

static bool PosixAddress(const char* dotted, unsigned short port, sockaddr_in* address) {
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    if (dotted == nullptr) {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, dotted, &address->sin_addr) == 1;
}

int PlatformConnect(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    if (socket == PlatformNoSocket)
        return errno != 0 ? errno : EBADF;
    sockaddr_in address;
    if (!PosixAddress(dottedAddress, port, &address)) {
        errno = EINVAL;
        return errno;
    }
    int result;
    do {
        result = connect(PosixFd(socket), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int PlatformBind(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    sockaddr_in address;
    if (!PosixAddress(dottedAddress, port, &address)) {
        errno = EINVAL;
        return errno;
    }
    // On Linux this only permits binding over connections that have closed
    // and linger; a second live listener still fails with EADDRINUSE.
    int on = 1;
    setsockopt(PosixFd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(PosixFd(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return errno;
    return 0;
}

int PlatformListen(PlatformSocket socket, int backlog) {
    if (listen(PosixFd(socket), backlog) != 0)
        return errno;
    // Non-blocking, so an accept after a connection vanished cannot hang the listener.
    int flags = fcntl(PosixFd(socket), F_GETFL);
    fcntl(PosixFd(socket), F_SETFL, flags | O_NONBLOCK);
    return 0;
}

unsigned short PlatformLocalPort(PlatformSocket socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(PosixFd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

PlatformSocket PlatformAccept(PlatformSocket listener, char* peer, size_t peerSize) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int fd;
    do {
        // accept4 does not pass the listener's O_NONBLOCK on: the socket blocks.
        fd = accept4(PosixFd(listener), reinterpret_cast<sockaddr*>(&address), &length,
                     SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return PlatformNoSocket;
    if (peer != nullptr && peerSize > 0 &&
        inet_ntop(AF_INET, &address.sin_addr, peer, static_cast<socklen_t>(peerSize)) == nullptr)
        peer[0] = '\0';
    return static_cast<PlatformSocket>(fd);
}

long PlatformSend(PlatformSocket socket, const void* data, size_t size) {
    ssize_t n;
    do {
        n = send(PosixFd(socket), data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long PlatformRecv(PlatformSocket socket, void* buffer, size_t size) {
    ssize_t n;
    do {
        n = recv(PosixFd(socket), buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

void PlatformShutdownSend(PlatformSocket socket) {
    shutdown(PosixFd(socket), SHUT_WR);
}

int PlatformWaitReadable(PlatformSocket socket, int timeoutMs) {
    // poll, not select: a busy gateway holds descriptors above FD_SETSIZE.
    pollfd entry{PosixFd(socket), POLLIN, 0};
    int64_t deadline = timeoutMs < 0 ? 0 : PlatformMonotonicMs() + timeoutMs;
    for (;;) {
        int wait = timeoutMs < 0 ? -1 : static_cast<int>(deadline - PlatformMonotonicMs());
        if (timeoutMs >= 0 && wait < 0)
            wait = 0;
        int result = poll(&entry, 1, wait);
        if (result > 0)
            return 1;
        if (result == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int PlatformWaitAcceptOrEvent(PlatformSocket listener, PlatformEvent* event) {
    pollfd entries[2] = {{event->fd, POLLIN, 0}, {PosixFd(listener), POLLIN, 0}};
    for (;;) {
        if (event->set.load())
            return 0;
        int result = poll(entries, 2, -1);
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return -1;
        if (event->set.load() || (entries[0].revents & POLLIN))
            return 0;
        if (entries[1].revents & (POLLERR | POLLNVAL))
            return -1;
        if (entries[1].revents & POLLIN)
            return 1;
    }
}

bool PlatformResolveIPv4(const char* host, char* out, size_t size) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    bool ok = inet_ntop(AF_INET, &address->sin_addr, out, static_cast<socklen_t>(size)) != nullptr;
    freeaddrinfo(found);
    return ok;
}

// ---------------------------------------------------------------------------
// Service control manager: Linux has none; systemd runs the gateway instead.

bool PlatformStartServiceDispatcher(const char*, PlatformServiceMainProc) {
    errno = ENOTSUP;
    return false;
}

bool PlatformRegisterServiceCtrlHandler(const char*, PlatformServiceCtrlProc) {
    errno = ENOTSUP;
    return false;
}

bool PlatformSetServiceStatus(unsigned, unsigned, unsigned, unsigned, unsigned) {
    errno = ENOTSUP;
    return false;
}

PlatformServiceHandle* PlatformOpenServiceManager() {
    errno = ENOTSUP;
    return nullptr;
}

PlatformServiceHandle* PlatformCreateService(PlatformServiceHandle*, const char*, const char*,
                                             const char*) {
    errno = ENOTSUP;
    return nullptr;
}

PlatformServiceHandle* PlatformOpenService(PlatformServiceHandle*, const char*) {
    errno = ENOTSUP;
    return nullptr;
}

bool PlatformDeleteService(PlatformServiceHandle*) {
    errno = ENOTSUP;
    return false;
}

bool PlatformConfigureServiceRecovery(PlatformServiceHandle*, const char*, unsigned) {
    errno = ENOTSUP;
    return false;
}

void PlatformCloseServiceHandle(PlatformServiceHandle*) {}

// SIGINT and SIGTERM are blocked in every thread and taken by sigwait on a
// thread of their own, so the handler may do anything, not just what is
// async-signal-safe.
static PlatformConsoleCtrlProc PosixConsoleProc = nullptr;

static unsigned PosixSignalThread(void* raw) {
    sigset_t* signals = static_cast<sigset_t*>(raw);
    for (;;) {
        int received = 0;
        if (sigwait(signals, &received) != 0)
            continue;
        PlatformConsoleCtrlProc proc = PosixConsoleProc;
        if (proc != nullptr && proc(0))
            continue;
        // Not handled: the default action, as Windows would apply it.
        signal(received, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, signals, nullptr);
        raise(received);
    }
    return 0;
}

bool PlatformSetConsoleCtrlHandler(PlatformConsoleCtrlProc proc) {
    static sigset_t signals;
    static std::once_flag started;
    static bool running = false;
    PosixConsoleProc = proc;
    std::call_once(started, [] {
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        // Block in this thread first; threads started later inherit the mask.
        if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0)
            running = PlatformStartThread(PosixSignalThread, &signals, 0);
    });
    return running;
}

#endif // !_WIN32
