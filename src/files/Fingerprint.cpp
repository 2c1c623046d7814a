// Fingerprint.cpp - fingerprints read and written as hex.
#include "Fingerprint.h"

#include <cstdio>

bool ParseFingerprint(const char* text, unsigned char* out) {
    size_t digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        char c = *p;
        if (c == ':' || c == ' ')
            continue;
        int value = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (value < 0 || digits == 2 * FingerprintSize)
            return false;
        if (digits % 2 == 0)
            out[digits / 2] = static_cast<unsigned char>(value << 4);
        else
            out[digits / 2] = static_cast<unsigned char>(out[digits / 2] | value);
        ++digits;
    }
    return digits == 2 * FingerprintSize;
}

void FormatFingerprint(const unsigned char* sha256, char* out, size_t size) {
    size_t used = 0;
    for (size_t i = 0; i < FingerprintSize && used + 4 <= size; ++i)
        used += static_cast<size_t>(
            std::snprintf(out + used, size - used, i == 0 ? "%02X" : ":%02X", sha256[i]));
    if (size > 0)
        out[used < size ? used : size - 1] = '\0';
}
