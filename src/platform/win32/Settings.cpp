// Settings.cpp - the Windows platform layer: settings (INI) files through the profile functions.
#ifdef _WIN32

#include "Internal.h"

#include <cstring>

// Settings (INI) files

// Settings are read on every request so that edits apply at once. Some
// implementations of the profile functions keep a parsed copy and trust the
// file's modification time, which misses an edit that keeps the old time
// (a copy that preserves dates, a file renamed over the old one). The
// documented flush (all three names null) drops that copy; it writes nothing.
static void WinForgetParsedProfile(const char* path) {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path);
}

int PlatformProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    WinForgetParsedProfile(path);
    return int(GetPrivateProfileIntA(section, key, defaultValue, path));
}

size_t PlatformProfileString(const char* section, const char* key, const char* defaultValue,
                             char* out, size_t size, const char* path) {
    if (out == nullptr || size == 0)
        return 0;
    const char* fallback = defaultValue != nullptr ? defaultValue : "";
    WinForgetParsedProfile(path);
    size_t length = GetPrivateProfileStringA(section, key, fallback, out, WinClampSize(size), path);
    // The system hands back a present but empty value as it is; the gateway
    // treats it like a missing key.
    if (length == 0 && fallback[0] != '\0') {
        WinCopyText(fallback, out, size);
        length = std::strlen(out);
    }
    return length;
}

#endif // _WIN32
