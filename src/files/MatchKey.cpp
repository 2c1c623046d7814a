// MatchKey.cpp - the duplicate window's key file: read at start, or made once.
#include "MatchKey.h"

#include "ErrorText.h"
#include "Files.h"
#include "Platform.h"
#include "Text.h"

#include <cstdio>

namespace {

void Explain(PlatformKeyFileResult result, int error, const char* path, char* reason, size_t size) {
    char text[256];
    switch (result) {
    case PlatformKeyFileResult::OpenToOthers:
        std::snprintf(reason, size, "the key file %s is open to other accounts (mode %04o)", path,
                      static_cast<unsigned>(error));
        break;
    case PlatformKeyFileResult::OtherOwner:
        std::snprintf(reason, size, "the key file %s belongs to another account (user %d)", path,
                      error);
        break;
    case PlatformKeyFileResult::Damaged:
        if (error != 0) {
            FormatErrorText(error, text, sizeof text);
            std::snprintf(reason, size, "the key file %s cannot be unsealed: %s", path, text);
        } else {
            std::snprintf(reason, size, "the key file %s does not hold a key of %u bytes", path,
                          static_cast<unsigned>(MatchKeySize));
        }
        break;
    default:
        FormatErrorText(error, text, sizeof text);
        std::snprintf(reason, size, "the key file %s cannot be read: %s", path, text);
        break;
    }
}

} // namespace

void MatchKeyPath(char* out, size_t size) {
    std::snprintf(out, size, "%s.key", JournalStem);
}

bool LoadMatchKey(unsigned char* key, char* reason, size_t reasonSize) {
    char path[GatewayPathSize + 8];
    MatchKeyPath(path, sizeof path);
    if (reasonSize > 0)
        reason[0] = '\0';
    PlatformKeyFileResult result = PlatformKeyFileResult::Failed;
    int error = 0;
    // A key being made by another process is there whole once its maker lets
    // go of it (Windows) or at once (Linux); a missing file is made here.
    for (int attempt = 0; attempt < 50; ++attempt) {
        result = PlatformReadKeyFile(path, key, MatchKeySize, &error);
        if (result == PlatformKeyFileResult::Ok)
            return true;
        if (result == PlatformKeyFileResult::Failed && error == PlatformSharingViolation) {
            PlatformSleepMs(20);
            continue;
        }
        if (result != PlatformKeyFileResult::Missing)
            break;
        if (!PlatformRandomBytes(key, MatchKeySize)) {
            WipeBytes(key, MatchKeySize);
            std::snprintf(reason, reasonSize, "no random bytes for a new key: %s",
                          GetLastErrorText());
            return false;
        }
        result = PlatformCreateKeyFile(path, key, MatchKeySize, &error);
        if (result == PlatformKeyFileResult::Ok)
            return true;
        WipeBytes(key, MatchKeySize);
        if (result != PlatformKeyFileResult::Exists) {
            char text[256];
            FormatErrorText(error, text, sizeof text);
            std::snprintf(reason, reasonSize, "the key file %s cannot be made: %s", path, text);
            return false;
        }
    }
    WipeBytes(key, MatchKeySize);
    Explain(result, error, path, reason, reasonSize);
    return false;
}
