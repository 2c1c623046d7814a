// SettingRules.cpp - the rules of setting kinds and of single keys.
#include "SettingRules.h"

#include "ErrorText.h"
#include "Files.h"
#include "Fingerprint.h"
#include "Platform.h"
#include "Text.h"

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
