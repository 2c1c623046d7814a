// Service.cpp - the Linux platform layer: no service control manager; the stop signals.
#ifndef _WIN32

#include "Internal.h"

#include <cerrno>
#include <csignal>
#include <mutex>
#include <pthread.h>

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

#endif // !_WIN32
