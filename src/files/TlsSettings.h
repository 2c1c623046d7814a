// TlsSettings.h - TLS on the server link, as the gateway takes it from the
// settings: on or off, the trusted CAs, the name the certificate must carry,
// the pinned fingerprint and the client certificate the gateway presents.
// Each host has its own name and pin; the CAs and the client certificate are
// the same for both.
#pragma once

#include "Fingerprint.h"

#include <cstdint>

struct PlatformTlsConfig;

struct ServerTlsSettings {
    bool enabled = false;
    // Full path: the settings file's directory and ServerCaFile. Empty: the
    // system's trust store.
    char caFile[512] = {};
    char name[256] = {}; // what the server's certificate must carry
    unsigned char pin[FingerprintSize] = {};
    bool pinned = false;
    bool pinValid = true; // false: the host's fingerprint setting is not a fingerprint
    // The client certificate of this platform's keys: Linux, the full paths
    // of ServerClientCertificateFile and ServerClientKeyFile; Windows,
    // ServerClientCertificateHash. All empty: none.
    char clientCertificateFile[512] = {};
    char clientKeyFile[512] = {};
    unsigned char clientSha256[FingerprintSize] = {};
    bool clientHashSet = false;
    bool clientHashValid = true; // false: ServerClientCertificateHash is not a fingerprint
};

// Reads ServerTls, ServerCaFile, ServerTlsName (empty: serverAddress, the
// dotted address in use), ServerCertificateHash and this platform's client
// certificate keys; for the backup server, BackupServerTlsName and
// BackupServerCertificateHash instead of ServerTlsName and
// ServerCertificateHash.
void ReadServerTlsSettings(const char* serverAddress, ServerTlsSettings* out, bool backup = false);
// The name of the fingerprint's key, for what is said about it.
const char* FingerprintKeyName(bool backup);

// The key whose value keeps every handshake with the host from being made (a
// fingerprint that is not one), or null.
const char* UnusableTlsSetting(const ServerTlsSettings& tls, bool backup);
// Whether a client certificate is named.
bool HasClientCertificate(const ServerTlsSettings& tls);
// The handshake's configuration; it points into tls.
void MakeTlsConfig(const ServerTlsSettings& tls, int timeoutMs, PlatformTlsConfig* out);

// With ServerTls=1, reads the client certificate named and gives its end
// date in seconds since 1970 UTC; false when none is named or it cannot be
// read.
bool ReadClientCertificateEnd(const ServerTlsSettings& tls, int64_t* notAfterUtcSeconds);
