// TlsSettings.cpp - the server link's TLS settings read by their rows' rules.
#include "TlsSettings.h"

#include "Settings.h"

#include <cstdio>

void ReadServerTlsSettings(const char* serverAddress, ServerTlsSettings* out, bool backup) {
    *out = ServerTlsSettings{};
    out->enabled = ReadSetting("ServerTls") != 0;
    ReadSettingPath("ServerCaFile", out->caFile, sizeof out->caFile);
    if (backup)
        ReadSettingText("BackupServerTlsName", out->name, sizeof out->name);
    else
        ReadSettingText("ServerTlsName", out->name, sizeof out->name);
    if (out->name[0] == '\0')
        std::snprintf(out->name, sizeof out->name, "%s", serverAddress);
    FingerprintSetting pin = backup
                                 ? ReadSettingFingerprint("BackupServerCertificateHash", out->pin)
                                 : ReadSettingFingerprint("ServerCertificateHash", out->pin);
    out->pinned = pin == FingerprintSetting::Valid;
    out->pinValid = pin != FingerprintSetting::Invalid;
}

const char* FingerprintKeyName(bool backup) {
    return backup ? "BackupServerCertificateHash" : "ServerCertificateHash";
}
