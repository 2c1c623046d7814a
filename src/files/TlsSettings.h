// TlsSettings.h - TLS on the server link, as the gateway takes it from the
// settings: on or off, the trusted CAs, the name the certificate must carry
// and the pinned fingerprint.
#pragma once

#include "Fingerprint.h"

struct ServerTlsSettings {
    bool enabled = false;
    // Full path: the settings file's directory and ServerCaFile. Empty: the
    // system's trust store.
    char caFile[512] = {};
    char name[256] = {}; // what the server's certificate must carry
    unsigned char pin[FingerprintSize] = {};
    bool pinned = false;
    bool pinValid = true; // false: ServerCertificateHash is not a fingerprint
};

// Reads ServerTls, ServerCaFile, ServerTlsName (empty: serverAddress, the
// dotted address in use) and ServerCertificateHash; for the backup server,
// BackupServerTlsName and BackupServerCertificateHash instead of the last two.
void ReadServerTlsSettings(const char* serverAddress, ServerTlsSettings* out, bool backup = false);
// The name of the fingerprint's key, for what is said about it.
const char* FingerprintKeyName(bool backup);
