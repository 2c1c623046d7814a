// Fingerprint.cpp - fingerprints read and written as hex.
#include "Fingerprint.h"

#include "Platform.h"

#include <cstdio>
#include <cstring>

namespace {

// What `openssl x509 -noout -fingerprint -sha256` prints before the digits
// ("SHA256 Fingerprint=" before OpenSSL 3): a line pasted whole is taken.
constexpr char OpensslPrefix[] = "sha256 Fingerprint=";
constexpr size_t OpensslPrefixLength = sizeof OpensslPrefix - 1;

} // namespace

bool ParseFingerprint(const char* text, unsigned char* out) {
    while (*text == ' ')
        ++text;
    if (std::strlen(text) > OpensslPrefixLength &&
        PlatformEqualIgnoringCase(text, OpensslPrefixLength, OpensslPrefix, OpensslPrefixLength))
        text += OpensslPrefixLength;
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
