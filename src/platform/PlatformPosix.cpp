// PlatformPosix.cpp - the platform layer on Linux: the same behaviour the
// gateway gets from Windows, built from POSIX calls.
#ifndef _WIN32

#include "platform/Platform.h"

#include <algorithm>
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
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <semaphore.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
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

void PlatformConsoleWrite(const char* text, size_t size) {
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, text, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        size -= static_cast<size_t>(n);
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
//
// Every request reads the settings file, often several times. Each file is
// parsed once and its values kept until a stat of the path shows a change of
// inode, size, modification or status-change time, so an operator's edit is
// seen by the next read without a restart. A file changed so recently that a
// further edit could still carry the same time stamps is parsed afresh on
// every read until that can no longer happen.

static bool PosixIsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static std::string PosixTrimmed(const char* begin, const char* end) {
    while (begin < end && PosixIsBlank(*begin))
        ++begin;
    while (end > begin && PosixIsBlank(end[-1]))
        --end;
    return std::string(begin, end);
}

// Section and key names match without regard to ASCII letter case.
static void PosixLowerAppend(std::string* out, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        out->push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
}

// The lookup key of a value: section and key, lowered, joined by a zero byte
// (which no name read from a line can hold).
static void PosixAppendProfileKey(std::string* out, const char* section, size_t sectionLength,
                                  const char* key, size_t keyLength) {
    out->reserve(out->size() + sectionLength + keyLength + 1);
    PosixLowerAppend(out, section, sectionLength);
    out->push_back('\0');
    PosixLowerAppend(out, key, keyLength);
}

// What identifies one version of a file's contents.
struct PosixFileStamp {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
};

static PosixFileStamp PosixStampOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

static bool PosixSameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

static bool PosixSameStamp(const PosixFileStamp& a, const PosixFileStamp& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           PosixSameTime(a.modified, b.modified) && PosixSameTime(a.changed, b.changed);
}

// One parsed settings file: the first value of each section and key.
struct PosixProfile {
    PosixFileStamp stamp;
    // False while a later edit might not change the stamp: read again.
    bool settled;
    std::unordered_map<std::string, std::string> values;
};

// Time stamps come from a clock that may lag the real time by a tick, and
// some file systems keep whole seconds only. Two whole-second steps (at least
// one second) cover both.
constexpr time_t PosixSettleSeconds = 2;

// Parses lines as fgets with a 4096-byte buffer delivers them: a longer line
// is taken in pieces, and a line ends at its first zero byte.
static void PosixParseProfile(const char* data, size_t size, PosixProfile* profile) {
    constexpr size_t LineMax = 4095;
    bool inSection = false;
    std::string section;
    size_t position = 0;
    while (position < size) {
        size_t limit = size - position < LineMax ? size - position : LineMax;
        const char* begin = data + position;
        const char* newline = static_cast<const char*>(memchr(begin, '\n', limit));
        size_t taken = newline != nullptr ? static_cast<size_t>(newline - begin) + 1 : limit;
        position += taken;
        const char* zero = static_cast<const char*>(memchr(begin, '\0', taken));
        std::string text = PosixTrimmed(begin, zero != nullptr ? zero : begin + taken);
        if (text.empty() || text[0] == ';')
            continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            section =
                PosixTrimmed(text.c_str() + 1,
                             text.c_str() + (close == std::string::npos ? text.size() : close));
            inSection = true;
            continue;
        }
        if (!inSection)
            continue;
        size_t equals = text.find('=');
        if (equals == std::string::npos)
            continue;
        std::string name = PosixTrimmed(text.c_str(), text.c_str() + equals);
        std::string value = PosixTrimmed(text.c_str() + equals + 1, text.c_str() + text.size());
        // A value in matching quotes is given without them, as on Windows.
        if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                                  (value.front() == '\'' && value.back() == '\'')))
            value = value.substr(1, value.size() - 2);
        // emplace keeps the first of duplicate keys.
        std::string joined;
        PosixAppendProfileKey(&joined, section.data(), section.size(), name.data(), name.size());
        profile->values.emplace(std::move(joined), std::move(value));
    }
}

// Reads and parses the file; null if it cannot be read.
static std::shared_ptr<const PosixProfile> PosixLoadProfile(const char* path) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return nullptr;
    }
    std::string data;
    data.resize(info.st_size > 0 ? static_cast<size_t>(info.st_size) : 0);
    size_t used = 0;
    for (;;) {
        if (used == data.size())
            data.resize(data.size() + 4096); // the file grew since fstat
        ssize_t n = read(fd, &data[used], data.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return nullptr;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    close(fd);

    auto profile = std::make_shared<PosixProfile>();
    profile->stamp = PosixStampOf(info);
    time_t newest =
        info.st_mtim.tv_sec > info.st_ctim.tv_sec ? info.st_mtim.tv_sec : info.st_ctim.tv_sec;
    profile->settled = newest + PosixSettleSeconds <= now.tv_sec;
    PosixParseProfile(data.data(), used, profile.get());
    return profile;
}

namespace {
struct PosixCachedProfile {
    std::string path;
    std::shared_ptr<const PosixProfile> profile;
};
} // namespace

// A few paths at most: the gateway has one settings file; tests use more.
constexpr size_t PosixProfileCacheSize = 8;
static std::mutex PosixProfileGuard;
// Never destroyed: connection threads may still read settings while static
// objects are torn down at exit.
static std::vector<PosixCachedProfile>& PosixProfileCache = *new std::vector<PosixCachedProfile>;
static size_t PosixProfileNextSlot = 0;

// The current contents of the settings file at path; null if it cannot be read.
static std::shared_ptr<const PosixProfile> PosixCurrentProfile(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0)
        return nullptr;
    PosixFileStamp stamp = PosixStampOf(info);
    {
        std::lock_guard lock(PosixProfileGuard);
        for (const PosixCachedProfile& cached : PosixProfileCache) {
            if (cached.path == path && cached.profile->settled &&
                PosixSameStamp(cached.profile->stamp, stamp))
                return cached.profile;
        }
    }
    std::shared_ptr<const PosixProfile> profile = PosixLoadProfile(path);
    if (profile == nullptr)
        return nullptr;
    std::lock_guard lock(PosixProfileGuard);
    for (PosixCachedProfile& cached : PosixProfileCache) {
        if (cached.path == path) {
            cached.profile = profile;
            return profile;
        }
    }
    if (PosixProfileCache.size() < PosixProfileCacheSize) {
        PosixProfileCache.push_back({path, profile});
    } else {
        PosixProfileCache[PosixProfileNextSlot] = {path, profile};
        PosixProfileNextSlot = (PosixProfileNextSlot + 1) % PosixProfileCacheSize;
    }
    return profile;
}

// Finds the value of key in section; false if the file, section or key is missing.
static bool PosixProfileLookup(const char* section, const char* key, const char* path,
                               std::string* value) {
    std::shared_ptr<const PosixProfile> profile = PosixCurrentProfile(path);
    if (profile == nullptr)
        return false;
    // Kept per thread so that a lookup allocates nothing once it has run.
    thread_local std::string wanted;
    wanted.clear();
    PosixAppendProfileKey(&wanted, section, strlen(section), key, strlen(key));
    auto found = profile->values.find(wanted);
    if (found == profile->values.end())
        return false;
    *value = found->second;
    return true;
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

// Every lock, so that setting an event can wake the waiters of each. Never
// destroyed: a stop signal's thread may still walk it while main returns.
static std::mutex PosixRegistryGuard;
static std::vector<PlatformMutex*>& PosixMutexes = *new std::vector<PlatformMutex*>;

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

// A connection thread per connection means thousands of short threads. One
// whose work is done waits a little while for the next start with the same
// stack size and signal mask instead of ending, which spares creating and
// tearing down a thread per connection; an idle gateway has none left after
// the wait.
namespace {
struct PosixWorker {
    // Posted once per start handed over. A semaphore, not a condition
    // variable: the starter posts after letting go of the registry lock, so
    // the woken thread does not at once block on that lock again.
    sem_t ready;
    PlatformThreadProc proc;
    void* parameter;
    size_t stackSize;
    sigset_t signalMask; // inherited from the thread that created it
};
} // namespace

// The calling thread's blocked signals.
static sigset_t PosixBlockedSignals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    return blocked;
}

// Compares the part of the sets the kernel fills: one bit for each of the
// NSIG - 1 signals, signal 1 first. The C library leaves the rest as it was.
static bool PosixSameSignals(const sigset_t& a, const sigset_t& b) {
    static_assert((NSIG - 1) / 8 <= sizeof(sigset_t));
    return memcmp(&a, &b, (NSIG - 1) / 8) == 0;
}

constexpr size_t PosixMaxIdleWorkers = 64;
constexpr time_t PosixWorkerLingerSeconds = 2;
static std::mutex PosixWorkerGuard;
// Most recently idle last: it is taken first, while its stack is still warm.
// Never destroyed: threads still lingering or finishing a connection when the
// process exits keep using it while static objects are torn down.
static std::vector<PosixWorker*>& PosixIdleWorkers = *new std::vector<PosixWorker*>;

static void PosixDeleteWorker(PosixWorker* worker) {
    sem_destroy(&worker->ready);
    delete worker;
}

// ThreadSanitizer knows sem_post and sem_wait but not sem_clockwait: after a
// successful clockwait it is told that the waiter now sees what the poster
// wrote before posting (the work handed over), as the semaphore guarantees.
#if defined(__SANITIZE_THREAD__)
#define POSIX_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define POSIX_THREAD_SANITIZER 1
#endif
#endif
#ifdef POSIX_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
static void PosixSawPost(sem_t* semaphore) {
    __tsan_acquire(semaphore);
}
#else
static void PosixSawPost(sem_t*) {}
#endif

// Waits for the next start, at most the linger time. False: none came, and
// the worker is no longer listed as idle, so none can come.
static bool PosixAwaitStart(PosixWorker* worker) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += PosixWorkerLingerSeconds;
    for (;;) {
        if (sem_clockwait(&worker->ready, CLOCK_MONOTONIC, &deadline) == 0) {
            PosixSawPost(&worker->ready);
            return true;
        }
        if (errno != EINTR)
            break;
    }
    std::unique_lock lock(PosixWorkerGuard);
    auto listed = std::find(PosixIdleWorkers.begin(), PosixIdleWorkers.end(), worker);
    if (listed != PosixIdleWorkers.end()) {
        PosixIdleWorkers.erase(listed);
        return false;
    }
    // A starter took this worker as the wait ended; its post is on the way.
    lock.unlock();
    while (sem_wait(&worker->ready) != 0 && errno == EINTR) {
    }
    return true;
}

static void* PosixWorkerMain(void* raw) {
    auto* worker = static_cast<PosixWorker*>(raw);
    for (;;) {
        worker->proc(worker->parameter);
        {
            std::lock_guard lock(PosixWorkerGuard);
            if (PosixIdleWorkers.size() >= PosixMaxIdleWorkers)
                break;
            PosixIdleWorkers.push_back(worker);
        }
        if (!PosixAwaitStart(worker))
            break;
    }
    PosixDeleteWorker(worker);
    return nullptr;
}

// Hands the work to an idle thread with the same stack size, if there is one.
// The mask must match: a thread that could take SIGINT would end the process
// instead of letting the handler's thread stop it.
static bool PosixReuseWorker(PlatformThreadProc proc, void* parameter, size_t stackSize,
                             const sigset_t& signalMask) {
    PosixWorker* chosen = nullptr;
    {
        std::lock_guard lock(PosixWorkerGuard);
        for (auto it = PosixIdleWorkers.rbegin(); it != PosixIdleWorkers.rend(); ++it) {
            PosixWorker* worker = *it;
            if (worker->stackSize != stackSize || !PosixSameSignals(worker->signalMask, signalMask))
                continue;
            PosixIdleWorkers.erase(std::next(it).base());
            worker->proc = proc;
            worker->parameter = parameter;
            chosen = worker;
            break;
        }
    }
    // Once taken off the list the worker cannot end before this post.
    if (chosen != nullptr)
        sem_post(&chosen->ready);
    return chosen != nullptr;
}

bool PlatformStartThread(PlatformThreadProc proc, void* parameter, size_t stackSize) {
    sigset_t signalMask = PosixBlockedSignals();
    if (PosixReuseWorker(proc, parameter, stackSize, signalMask))
        return true;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize > 0) {
        size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, stackSize < minimum ? minimum : stackSize);
    }
    auto* worker = new PosixWorker{{}, proc, parameter, stackSize, signalMask};
    sem_init(&worker->ready, 0, 0);
    pthread_t thread;
    int result = pthread_create(&thread, &attributes, PosixWorkerMain, worker);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        PosixDeleteWorker(worker);
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

// Like inet_ntop() for IPv4, without its general machinery; every accepted
// connection needs one. An area too small gets an empty text.
static void PosixDottedAddress(in_addr address, char* out, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
    char text[16];
    size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned value = bytes[i];
        if (value >= 100)
            text[length++] = static_cast<char>('0' + value / 100);
        if (value >= 10)
            text[length++] = static_cast<char>('0' + value / 10 % 10);
        text[length++] = static_cast<char>('0' + value % 10);
        text[length++] = i < 3 ? '.' : '\0';
    }
    if (length > size) {
        out[0] = '\0';
        return;
    }
    memcpy(out, text, length);
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
    if (peer != nullptr && peerSize > 0)
        PosixDottedAddress(address.sin_addr, peer, peerSize);
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

long PlatformRecvWithin(PlatformSocket socket, void* buffer, size_t size, int timeoutMs) {
    // A request usually arrives with its connection: try before waiting.
    ssize_t n;
    do {
        n = recv(PosixFd(socket), buffer, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        return static_cast<long>(n);
    int ready = PlatformWaitReadable(socket, timeoutMs);
    if (ready == 0)
        return PlatformTimedOut;
    if (ready < 0)
        return -1;
    return PlatformRecv(socket, buffer, size);
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
