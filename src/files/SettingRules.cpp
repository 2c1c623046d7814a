// SettingRules.cpp - the rules of setting kinds and of single keys.
#include "SettingRules.h"

#include "ErrorText.h"
#include "Files.h"
#include "Fingerprint.h"
#include "Platform.h"
#include "Text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

unsigned short PortFrom(int configured) {
    return static_cast<unsigned short>(configured & 0xFFFF);
}

bool ResolveSettingFile(const char* value, char* out, size_t size) {
    bool full = value[0] == '/' || value[0] == '\\' || (value[0] != '\0' && value[1] == ':');
    if (value[0] == '\0' || full)
        return static_cast<size_t>(std::snprintf(out, size, "%s", value)) < size;
    // The settings file lies beside the executable.
    int directory = static_cast<int>(FileNameOf(SettingsPath) - SettingsPath);
    return static_cast<size_t>(std::snprintf(out, size, "%.*s%s", directory, SettingsPath, value)) <
           size;
}

FingerprintSetting ReadFingerprintValue(const char* value, unsigned char* out) {
    if (value[0] == '\0')
        return FingerprintSetting::Unset;
    return ParseFingerprint(value, out) ? FingerprintSetting::Valid : FingerprintSetting::Invalid;
}

bool CheckCaFile(const char* path, char* why, size_t size) {
    int error = 0;
    if (PlatformTlsCountCaFile(path, &error) > 0)
        return true;
    if (error == PlatformFileNotFound) {
        std::snprintf(why, size, "does not exist");
    } else {
        char words[256];
        FormatErrorText(error, words, sizeof words);
        std::snprintf(why, size, "holds no PEM certificate it can read: %s", words);
    }
    return false;
}

bool CheckClientKeyFile(const char* path, char* why, size_t size) {
    int error = 0;
    char words[256];
    switch (PlatformTlsCheckKeyFile(path, &error)) {
    case PlatformTlsResult::Ok:
        return true;
    case PlatformTlsResult::ClientCertificateNotFound:
        std::snprintf(why, size, "does not exist");
        break;
    case PlatformTlsResult::ClientKeyExposed:
        std::snprintf(why, size,
                      "is readable by group or others: give it to the gateway's account alone "
                      "(chmod 600)");
        break;
    case PlatformTlsResult::ClientKeyEncrypted:
        std::snprintf(why, size,
                      "is encrypted: export the key without a passphrase "
                      "(openssl pkey -in key.pem -out key-plain.pem)");
        break;
    default:
        FormatErrorText(error, words, sizeof words);
        std::snprintf(why, size, "holds no PEM private key it can read: %s", words);
        break;
    }
    return false;
}

bool ParseTerminalAddresses(const char* text, int* out, int* count, char* why, size_t size) {
    *count = 0;
    bool usable = true;
    auto refuse = [&](const char* format, long long value) {
        // The first problem is the one told.
        if (usable)
            std::snprintf(why, size, format, value);
        usable = false;
    };
    const char* p = text;
    while (*p == ' ')
        ++p;
    if (*p == '\0')
        return true;
    for (int item = 1;; ++item) {
        while (*p == ' ')
            ++p;
        long long value = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9' && digits <= 10; ++p, ++digits)
            value = value * 10 + (*p - '0');
        while (*p == ' ')
            ++p;
        if (digits == 0 || value > MaxTerminalAddress || (*p != ',' && *p != '\0')) {
            refuse("item %lld is not a terminal address from 0 to 999999999", item);
            p += std::strcspn(p, ",");
        } else if (std::find(out, out + *count, static_cast<int>(value)) != out + *count) {
            refuse("repeats the address %lld", value);
        } else if (*count == MaxTerminalAddresses) {
            refuse("holds more than %lld addresses", MaxTerminalAddresses);
        } else {
            out[(*count)++] = static_cast<int>(value);
        }
        if (*p == '\0')
            return usable;
        ++p; // the comma
    }
}

bool CheckTerminalAddresses(const char* value, char* why, size_t size) {
    int addresses[MaxTerminalAddresses];
    int count = 0;
    return ParseTerminalAddresses(value, addresses, &count, why, size);
}
