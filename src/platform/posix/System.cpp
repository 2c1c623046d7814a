// System.cpp - the Linux platform layer: errors, the console, clocks and the process.
#ifndef _WIN32

#include "Internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

// Errors

int PlatformLastError() {
    return errno;
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

void PlatformLocalNow(PlatformLocalTime* out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    *out = PlatformLocalTime{local.tm_year + 1900,
                             local.tm_mon + 1,
                             local.tm_mday,
                             local.tm_hour,
                             local.tm_min,
                             local.tm_sec,
                             static_cast<int>(now.tv_nsec / 1000000),
                             static_cast<int>(local.tm_gmtoff / 60)};
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

int64_t PlatformMonotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
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

// setrlimit only when there is something to raise: a unit that filters the
// resource calls (systemd's @resources) and already gives the hard limit as
// the soft one never sees the call.
long PlatformRaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    constexpr rlim_t Largest = 0x7fffffff;
    return static_cast<long>(limit.rlim_cur > Largest ? Largest : limit.rlim_cur);
}

#endif // !_WIN32
