// TlsSettings.cpp - the server link's TLS settings read by their rows' rules.
#include "TlsSettings.h"

#include "Settings.h"

#include <cstdio>

void ReadServerTlsSettings(const char* serverAddress, ServerTlsSettings* out) {
    *out = ServerTlsSettings{};
    out->enabled = ReadSetting("ServerTls") != 0;
    ReadSettingPath("ServerCaFile", out->caFile, sizeof out->caFile);
    ReadSettingText("ServerTlsName", out->name, sizeof out->name);
    if (out->name[0] == '\0')
        std::snprintf(out->name, sizeof out->name, "%s", serverAddress);
    FingerprintSetting pin = ReadSettingFingerprint("ServerCertificateHash", out->pin);
    out->pinned = pin == FingerprintSetting::Valid;
    out->pinValid = pin != FingerprintSetting::Invalid;
}
