// TlsSettings.cpp - the server link's TLS settings read by their rows' rules.
#include "TlsSettings.h"

#include "Platform.h"
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

const char* UnusableTlsSetting(const ServerTlsSettings& tls) {
    if (!tls.pinValid)
        return "ServerCertificateHash";
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
