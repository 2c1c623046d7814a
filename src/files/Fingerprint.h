// Fingerprint.h - a certificate's SHA-256 fingerprint as text: read from a
// setting, and shown in the log and by `check`.
#pragma once

#include <cstddef>

constexpr size_t FingerprintSize = 32;
// "AB:CD:..." with its terminating zero.
constexpr size_t FingerprintTextSize = 3 * FingerprintSize;

// Hex digits, colons and blanks between them allowed, after openssl's
// "sha256 Fingerprint=" when the line was pasted whole: false unless exactly
// 32 bytes.
bool ParseFingerprint(const char* text, unsigned char* out);
// Upper-case hex pairs joined by colons, as openssl prints them.
void FormatFingerprint(const unsigned char* sha256, char* out, size_t size);
