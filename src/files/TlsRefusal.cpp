// TlsRefusal.cpp - the words of a refused or failed handshake.
#include "TlsRefusal.h"

#include "Platform.h"
#include "SettingRules.h"
#include "Text.h"

#include <cstdio>

void DescribeHandshake(PlatformTlsResult result, int error, const char* caFile, char* out,
                       size_t size) {
    const char* reason = nullptr;
    switch (result) {
    case PlatformTlsResult::Ok:
        reason = "connected";
        break;
    case PlatformTlsResult::NotTrusted:
        reason = "certificate not trusted";
        break;
    case PlatformTlsResult::NameMismatch:
        reason = "name mismatch";
        break;
    case PlatformTlsResult::Expired:
        reason = "certificate expired";
        break;
    case PlatformTlsResult::NotYetValid:
        reason = "certificate not yet valid";
        break;
    case PlatformTlsResult::FingerprintMismatch:
        reason = "fingerprint mismatch";
        break;
    case PlatformTlsResult::OldProtocol:
        reason = "TLS 1.2 or later required";
        break;
    case PlatformTlsResult::ClientCertificateNotFound:
        reason = "client certificate not found";
        break;
    case PlatformTlsResult::ClientKeyExposed:
        reason = "client key file is readable by group or others";
        break;
    case PlatformTlsResult::ClientKeyEncrypted:
        reason = "client key file is encrypted; export it without a passphrase "
                 "(openssl pkey -in key.pem -out key-plain.pem)";
        break;
    case PlatformTlsResult::ClientKeyMismatch:
        reason = "client key does not match the certificate";
        break;
    case PlatformTlsResult::ClientCertificateExpired:
        reason = "client certificate expired";
        break;
    case PlatformTlsResult::ClientCertificateRequired:
        reason = "the server requires a client certificate";
        break;
    case PlatformTlsResult::ClientCertificateUnusable:
        std::snprintf(out, size, "client certificate or key unreadable (Error %d)", error);
        return;
    case PlatformTlsResult::Failed:
        break;
    }
    if (reason != nullptr) {
        std::snprintf(out, size, "%s", reason);
        return;
    }
    char why[256];
    if (caFile != nullptr && caFile[0] != '\0' && !CheckCaFile(caFile, why, sizeof why))
        // The till reads this: the file's name, never where it lies.
        std::snprintf(out, size, "ServerCaFile %s %s", FileNameOf(caFile), why);
    else if (error == PlatformErrorTimedOut)
        std::snprintf(out, size, "TLS handshake timed out");
    else if (error == 0)
        std::snprintf(out, size, "TLS handshake failed: closed by the server");
    else
        std::snprintf(out, size, "TLS handshake failed: Error %d", error);
}
