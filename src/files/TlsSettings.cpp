// TlsSettings.cpp - the server link's TLS settings read by their rows' rules.
#include "TlsSettings.h"

#include "Platform.h"
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
    if constexpr (ThisPlatform == SettingPlatform::Windows) {
        FingerprintSetting client =
            ReadSettingFingerprint("ServerClientCertificateHash", out->clientSha256);
        out->clientHashSet = client == FingerprintSetting::Valid;
        out->clientHashValid = client != FingerprintSetting::Invalid;
    } else {
        ReadSettingPath("ServerClientCertificateFile", out->clientCertificateFile,
                        sizeof out->clientCertificateFile);
        ReadSettingPath("ServerClientKeyFile", out->clientKeyFile, sizeof out->clientKeyFile);
    }
}

const char* UnusableTlsSetting(const ServerTlsSettings& tls, bool backup) {
    if (!tls.pinValid)
        return FingerprintKeyName(backup);
    if (!tls.clientHashValid)
        return "ServerClientCertificateHash";
    return nullptr;
}

bool HasClientCertificate(const ServerTlsSettings& tls) {
    return tls.clientCertificateFile[0] != '\0' || tls.clientHashSet;
}

void MakeTlsConfig(const ServerTlsSettings& tls, int timeoutMs, PlatformTlsConfig* out) {
    *out = PlatformTlsConfig{tls.caFile, tls.name, tls.pinned ? tls.pin : nullptr, timeoutMs};
    out->clientCertificateFile = tls.clientCertificateFile;
    out->clientKeyFile = tls.clientKeyFile;
    out->clientCertificateSha256 = tls.clientHashSet ? tls.clientSha256 : nullptr;
}

bool ReadClientCertificateEnd(const ServerTlsSettings& tls, int64_t* notAfterUtcSeconds) {
    if (!tls.enabled || !HasClientCertificate(tls))
        return false;
    PlatformTlsConfig config;
    MakeTlsConfig(tls, 0, &config);
    PlatformTlsClientCertificate facts;
    int error = 0;
    PlatformTlsLoadClientCertificate(config, &facts, &error);
    *notAfterUtcSeconds = facts.notAfterUtcSeconds;
    return facts.haveCertificate;
}

const char* FingerprintKeyName(bool backup) {
    return backup ? "BackupServerCertificateHash" : "ServerCertificateHash";
}
