// Service.cpp - the Linux platform layer: no service control manager or Event
// Log; the stop signals and systemd's notify protocol.
#ifndef _WIN32

#include "Internal.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

bool PlatformServiceHasRecovery(PlatformServiceHandle*) {
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

// Event Log: Windows only; on Linux the journal takes the console instead.

int PlatformAddEventSource(const char*, const char*) {
    return 0;
}

int PlatformRemoveEventSource(const char*) {
    return 0;
}

bool PlatformReportEvent(const char*, PlatformEventType, const char*) {
    return true;
}

// systemd's notify protocol, as its self-contained example sends it: a socket
// per call, so nothing is held between calls and nothing leaks into children.
bool PlatformNotifyServiceManager(const char* state) {
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0')
        return true;
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    size_t length = std::strlen(name);
    if (name[0] != '/' && name[0] != '@') {
        errno = EAFNOSUPPORT;
        return false;
    }
    if (length >= sizeof address.sun_path) {
        errno = EINVAL;
        return false;
    }
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@')
        address.sun_path[0] = '\0'; // abstract: the name is the bytes after the NUL
    socklen_t addressSize = socklen_t(offsetof(sockaddr_un, sun_path) + length);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    size_t size = std::strlen(state);
    ssize_t sent = sendto(fd, state, size, MSG_NOSIGNAL | MSG_DONTWAIT,
                          reinterpret_cast<sockaddr*>(&address), addressSize);
    int error = errno;
    close(fd);
    if (sent == ssize_t(size))
        return true;
    errno = sent < 0 ? error : EMSGSIZE;
    return false;
}

// A whole decimal number above 0, or 0.
static uint64_t PosixPositiveNumber(const char* text) {
    if (text == nullptr || text[0] < '0' || text[0] > '9')
        return 0;
    char* end = nullptr;
    errno = 0;
    uint64_t value = strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' ? value : 0;
}

int64_t PlatformWatchdogPingIntervalMs() {
    uint64_t usec = PosixPositiveNumber(getenv("WATCHDOG_USEC"));
    if (usec == 0)
        return 0;
    // A WATCHDOG_PID of another process (a parent's, inherited) is not ours.
    const char* pid = getenv("WATCHDOG_PID");
    if (pid != nullptr && pid[0] != '\0' && PosixPositiveNumber(pid) != uint64_t(getpid()))
        return 0;
    // Half the interval, at least 1 ms so that 0 keeps meaning "none".
    int64_t half = int64_t(usec / 2000);
    return half > 0 ? half : 1;
}

#endif // !_WIN32
