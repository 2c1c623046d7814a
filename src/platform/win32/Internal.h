// Internal.h - what the Windows platform files share: the system headers in
// the order Windows Sockets needs, the structs behind the opaque handles of
// Platform.h, and two small helpers. Nothing outside src/platform/win32 sees it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "Platform.h"

#include <cstring>

struct PlatformFile {
    HANDLE handle;
};

struct PlatformEvent {
    HANDLE handle;
};

struct PlatformMutex {
    HANDLE handle;
};

struct PlatformServiceHandle {
    SC_HANDLE handle;
};

// Copies text into a caller's buffer, cut to size - 1 bytes. False when the
// buffer has no room at all or the text had to be cut.
inline bool WinCopyText(const char* text, char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    size_t length = std::strlen(text);
    bool whole = length < size;
    if (!whole)
        length = size - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
    return whole;
}

inline DWORD WinClampSize(size_t size) {
    return size > 0x7fffffff ? DWORD(0x7fffffff) : DWORD(size);
}
