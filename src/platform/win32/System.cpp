// System.cpp - the Windows platform layer: errors, the console, clocks and the process.
#ifdef _WIN32

#include "Internal.h"

#include <cstdio>
#include <cstring>

// Errors

int PlatformLastError() {
    return int(GetLastError());
}

bool PlatformErrorSentence(int code, char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    out[0] = '\0';
    char text[1024];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, DWORD(code), 0, text, sizeof text, nullptr);
    if (length == 0)
        return false;
    // The system text ends with CR LF; callers want the sentence alone.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    text[length] = '\0';
    WinCopyText(text, out, size);
    return true;
}

// ---------------------------------------------------------------------------
// Console, time, process

void PlatformSleepMs(unsigned ms) {
    Sleep(ms);
}

void PlatformConsoleWrite(const char* text, size_t size) {
    // The console's own stream keeps the CR LF translation of text mode.
    fwrite(text, 1, size, stdout);
    fflush(stdout);
}

void PlatformLocalDateTime(char* date, size_t dateSize, char* time, size_t timeSize) {
    const LCID systemDefault = 0x0800; // LOCALE_SYSTEM_DEFAULT
    if (date != nullptr && dateSize > 0 &&
        GetDateFormatA(systemDefault, DATE_SHORTDATE, nullptr, nullptr, date,
                       int(WinClampSize(dateSize))) == 0)
        date[0] = '\0';
    if (time != nullptr && timeSize > 0 &&
        GetTimeFormatA(systemDefault, TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, nullptr, nullptr,
                       time, int(WinClampSize(timeSize))) == 0)
        time[0] = '\0';
}

static int64_t WinTicks(const SYSTEMTIME& time) {
    FILETIME file;
    if (!SystemTimeToFileTime(&time, &file))
        return 0;
    ULARGE_INTEGER ticks;
    ticks.LowPart = file.dwLowDateTime;
    ticks.HighPart = file.dwHighDateTime;
    return int64_t(ticks.QuadPart);
}

void PlatformLocalNow(PlatformLocalTime* out) {
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    SYSTEMTIME local;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        local = utc;
    // Both carry the same milliseconds, so the difference is whole minutes.
    int64_t offsetTicks = WinTicks(local) - WinTicks(utc);
    *out = PlatformLocalTime{
        local.wYear,   local.wMonth,  local.wDay,          local.wHour,
        local.wMinute, local.wSecond, local.wMilliseconds, int(offsetTicks / 600000000)};
}

int64_t PlatformUtcMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    // FILETIME counts 100 ns steps from 1601-01-01; 1970 is this many later.
    const uint64_t unixEpoch = 116444736000000000ULL;
    return int64_t((ticks.QuadPart - unixEpoch) / 10000);
}

// The performance counter rather than GetTickCount64, whose 10-16 ms steps
// are too coarse for the short waits measured with this clock.
static int64_t WinMonotonic(int64_t unitsPerSecond) {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return int64_t(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    int64_t ticks = int64_t(now.QuadPart);
    return ticks / frequency * unitsPerSecond + ticks % frequency * unitsPerSecond / frequency;
}

int64_t PlatformMonotonicMs() {
    return WinMonotonic(1000);
}

int64_t PlatformMonotonicUs() {
    return WinMonotonic(1000000);
}

bool PlatformExecutablePath(char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    DWORD length = GetModuleFileNameA(nullptr, out, WinClampSize(size));
    // A full buffer means the path was cut (and, on old systems, not ended).
    if (length == 0 || length >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool PlatformUserName(char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    DWORD length = WinClampSize(size);
    if (!GetUserNameA(out, &length)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool PlatformIsSupportedSystem() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version; // 148
    // A failed query leaves the fields zero, which counts as too old.
    GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return false;
    return version.dwMajorVersion >= 4;
}

// Windows has no per-process descriptor limit to raise.
long PlatformRaiseDescriptorLimit() {
    return -1;
}

#endif // _WIN32
