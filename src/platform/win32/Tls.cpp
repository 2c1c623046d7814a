// Tls.cpp - the Windows platform layer: TLS client sessions with Schannel
// through SSPI. Schannel makes the handshake only; the certificate is
// checked here with the chain functions of crypt32, as some Schannels (Wine's
// among them) do not check it at all.
#ifdef _WIN32

#include "Internal.h"

#include <wincrypt.h>
#define SECURITY_WIN32
#include <bcrypt.h>
#include <ncrypt.h>
#include <schannel.h>
#include <security.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

// Follows one direction's records while they are plaintext (up to its
// ChangeCipherSpec, or the first encrypted record), for what Schannel does
// not say: whether the server asked for a client certificate, whether ours
// went out, and the alert that ended a handshake.
struct WinTlsRecords {
    unsigned char header[5];
    size_t headerHave;
    size_t recordLeft;
    unsigned char message[7]; // a handshake message's header and, for a
    size_t messageHave;       // Certificate, its list's length
    size_t messageLeft;
    bool encrypted;
    bool certificateRequest;
    long certificates; // the list length of a Certificate message, or -1
    int alert;         // the description of the last alert, or -1
};

struct PlatformTls {
    SOCKET socket;
    CredHandle credentials;
    CtxtHandle context;
    SecPkgContext_StreamSizes sizes;
    std::vector<char> incoming; // received, not yet decrypted
    std::vector<char> plain;    // decrypted, not yet returned
    size_t plainOffset;
    bool broken; // ended or failed: nothing more goes over the session
    bool ended;  // by close_notify or the TCP close, not by an error
    int error;
    WinTlsRecords fromServer, toServer;
    bool requested; // the server asked for a client certificate
    bool sent;      // ours went out
    bool tls13;
    bool received; // an application byte came
};

// Only the certificate given, never one Windows picks by itself.
constexpr DWORD WinTlsRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION |
                                ISC_REQ_USE_SUPPLIED_CREDS;

// One byte of a handshake message.
static void WinTlsWatchMessage(WinTlsRecords* w, unsigned char byte) {
    if (w->messageHave < 4) {
        w->message[w->messageHave++] = byte;
        if (w->messageHave < 4)
            return;
        w->messageLeft = size_t(w->message[1]) << 16 | size_t(w->message[2]) << 8 | w->message[3];
        w->certificateRequest |= w->message[0] == 13;
        if (w->message[0] == 11 && w->messageLeft == 0)
            w->certificates = 0;
        if (w->messageLeft == 0)
            w->messageHave = 0;
        return;
    }
    if (w->message[0] == 11 && w->messageHave < 7) {
        w->message[w->messageHave++] = byte;
        if (w->messageHave == 7)
            w->certificates = long(w->message[4]) << 16 | long(w->message[5]) << 8 | w->message[6];
    }
    if (--w->messageLeft == 0)
        w->messageHave = 0;
}

static void WinTlsWatch(WinTlsRecords* w, const char* data, size_t size) {
    for (size_t i = 0; i < size && !w->encrypted; ++i) {
        auto byte = static_cast<unsigned char>(data[i]);
        if (w->headerHave < 5) {
            w->header[w->headerHave++] = byte;
            if (w->headerHave == 5) {
                w->recordLeft = size_t(w->header[3]) << 8 | w->header[4];
                // ChangeCipherSpec, or application data: what follows is encrypted.
                w->encrypted = w->header[0] == 20 || w->header[0] == 23;
                if (w->recordLeft == 0)
                    w->headerHave = 0;
            }
            continue;
        }
        --w->recordLeft;
        if (w->header[0] == 21 && w->recordLeft == 0) // level, then description
            w->alert = byte;
        else if (w->header[0] == 22)
            WinTlsWatchMessage(w, byte);
        if (w->recordLeft == 0)
            w->headerHave = 0;
    }
}

// What the alert of a server that asked for our certificate means.
static PlatformTlsResult WinTlsClientRefusal(bool requested, int alert) {
    if (!requested)
        return PlatformTlsResult::Ok;
    switch (alert) {
    case 45: // certificate_expired
        return PlatformTlsResult::ClientCertificateExpired;
    case 40:  // handshake_failure, what TLS 1.2 says for certificate_required
    case 42:  // bad_certificate
    case 43:  // unsupported_certificate
    case 44:  // certificate_revoked
    case 46:  // certificate_unknown
    case 48:  // unknown_ca
    case 49:  // access_denied
    case 116: // certificate_required
        return PlatformTlsResult::ClientCertificateRequired;
    default:
        return PlatformTlsResult::Ok;
    }
}

// Sends all of it on the blocking socket: 0, or the socket error.
static int WinTlsSendAll(SOCKET socket, const char* data, size_t size) {
    while (size > 0) {
        long sent = PlatformSend(PlatformSocket(socket), data, size);
        if (sent <= 0)
            return WSAGetLastError() != 0 ? WSAGetLastError() : WSAECONNRESET;
        data += sent;
        size -= size_t(sent);
    }
    return 0;
}

// Waits for bytes until deadline (-1: no limit) and appends what came:
// the count, 0 when the peer closed, -1 on failure (*error set),
// PlatformTimedOut when nothing came in time.
static long WinTlsReceive(PlatformTls* tls, int64_t deadline, int* error) {
    int wait = -1;
    if (deadline >= 0) {
        int64_t left = deadline - PlatformMonotonicMs();
        wait = left > 0 ? int(left) : 0;
    }
    int ready = PlatformWaitReadable(PlatformSocket(tls->socket), wait);
    if (ready == 0)
        return PlatformTimedOut;
    size_t room = tls->sizes.cbMaximumMessage != 0
                      ? tls->sizes.cbHeader + tls->sizes.cbMaximumMessage + tls->sizes.cbTrailer
                      : 16384 + 512;
    size_t used = tls->incoming.size();
    tls->incoming.resize(used + room);
    long got = ready < 0
                   ? -1
                   : PlatformRecv(PlatformSocket(tls->socket), tls->incoming.data() + used, room);
    tls->incoming.resize(used + (got > 0 ? size_t(got) : 0));
    if (got < 0)
        *error = WSAGetLastError();
    else
        WinTlsWatch(&tls->fromServer, tls->incoming.data() + used, size_t(got));
    return got;
}

// The record layer is read here only where Schannel's status does not tell,
// as with Wine's, which gives one code for every handshake failure and
// success for a close_notify: whether the bytes can start a TLS record
// (content types 20 to 23)...
static bool WinTlsStartsRecord(const std::vector<char>& bytes) {
    return bytes.empty() || (static_cast<unsigned char>(bytes[0]) >= 20 &&
                             static_cast<unsigned char>(bytes[0]) <= 23);
}

static bool WinTlsIsAlert(const std::vector<char>& bytes) {
    return !bytes.empty() && bytes[0] == 21;
}

// ...and whether the server chose a version before TLS 1.2 in its
// ServerHello, or refused ours with a protocol_version alert.
static bool WinTlsServerIsOld(const std::vector<char>& bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    if (n >= 11 && b[0] == 22 && b[5] == 2)
        return ((b[9] << 8) | b[10]) < 0x0303;
    return n >= 7 && b[0] == 21 && b[6] == 70;
}

// Keeps only the last extra bytes of incoming, the start of the next record.
static void WinTlsKeepExtra(PlatformTls* tls, const SecBuffer& buffer) {
    if (buffer.BufferType != SECBUFFER_EXTRA || buffer.cbBuffer == 0) {
        tls->incoming.clear();
        return;
    }
    size_t extra = buffer.cbBuffer;
    std::memmove(tls->incoming.data(), tls->incoming.data() + tls->incoming.size() - extra, extra);
    tls->incoming.resize(extra);
}

// Held over each InitializeSecurityContext call: Wine's Schannel fails to sign
// with one client key from two handshakes at once ("Public key signing has
// failed"). Each call is a few milliseconds of computation, never a wait.
static std::mutex WinTlsSigning;

// Feeds incoming to InitializeSecurityContext until the handshake (or the
// renegotiation) is done, sending every token it gives: SEC_E_OK or the
// failing status. When the socket failed, *transport is set and *error holds
// its error (0: the peer closed; PlatformErrorTimedOut: time is up).
static SECURITY_STATUS WinTlsHandshake(PlatformTls* tls, const wchar_t* target, bool started,
                                       int64_t deadline, bool* transport, int* error) {
    *transport = false;
    SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
    bool needBytes = started && tls->incoming.empty();
    for (;;) {
        if (needBytes) {
            long got = WinTlsReceive(tls, deadline, error);
            if (got <= 0) {
                if (got == 0)
                    *error = 0;
                else if (got == PlatformTimedOut)
                    *error = PlatformErrorTimedOut;
                *transport = true;
                return SEC_E_INTERNAL_ERROR;
            }
        }
        if (!WinTlsStartsRecord(tls->incoming))
            return SEC_E_ILLEGAL_MESSAGE;
        SecBuffer in[2] = {{ULONG(tls->incoming.size()), SECBUFFER_TOKEN, tls->incoming.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
        ULONG attributes = 0;
        std::unique_lock<std::mutex> signing(WinTlsSigning);
        status = InitializeSecurityContextW(
            &tls->credentials, started ? &tls->context : nullptr, const_cast<wchar_t*>(target),
            WinTlsRequest, 0, 0, started ? &inDesc : nullptr, 0, started ? nullptr : &tls->context,
            &outDesc, &attributes, nullptr);
        signing.unlock();
        started = true;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needBytes = true;
            continue;
        }
        int sendError = 0;
        if (out[0].pvBuffer != nullptr) {
            if (out[0].cbBuffer > 0 && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                                        (attributes & ISC_RET_EXTENDED_ERROR) != 0)) {
                WinTlsWatch(&tls->toServer, static_cast<char*>(out[0].pvBuffer), out[0].cbBuffer);
                sendError = WinTlsSendAll(tls->socket, static_cast<char*>(out[0].pvBuffer),
                                          out[0].cbBuffer);
            }
            FreeContextBuffer(out[0].pvBuffer);
        }
        if (out[1].pvBuffer != nullptr)
            FreeContextBuffer(out[1].pvBuffer);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
            status != SEC_I_INCOMPLETE_CREDENTIALS)
            return status;
        if (sendError != 0) {
            *error = sendError;
            *transport = true;
            return SEC_E_INTERNAL_ERROR;
        }
        WinTlsKeepExtra(tls, in[1]);
        if (status == SEC_E_OK)
            return SEC_E_OK;
        // Asked for a client certificate: there is none, and it goes on without.
        tls->requested |= status == SEC_I_INCOMPLETE_CREDENTIALS;
        needBytes = tls->incoming.empty() && status != SEC_I_INCOMPLETE_CREDENTIALS;
    }
}

static void WinTlsHash(const BYTE* data, DWORD size, unsigned char* out) {
    std::memset(out, 0, 32);
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        if (BCryptHashData(hash, const_cast<BYTE*>(data), size, 0) != 0 ||
            BCryptFinishHash(hash, out, 32, 0) != 0)
            std::memset(out, 0, 32);
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
}

// A certificate's facts, into a PlatformTlsPeer or PlatformTlsClientCertificate.
template <typename Facts> static void WinTlsCertificateFacts(PCCERT_CONTEXT leaf, Facts* facts) {
    if (facts == nullptr)
        return;
    WinTlsHash(leaf->pbCertEncoded, leaf->cbCertEncoded, facts->sha256);
    CertNameToStrA(X509_ASN_ENCODING, &leaf->pCertInfo->Subject, CERT_X500_NAME_STR, facts->subject,
                   DWORD(sizeof facts->subject));
    CertNameToStrA(X509_ASN_ENCODING, &leaf->pCertInfo->Issuer, CERT_X500_NAME_STR, facts->issuer,
                   DWORD(sizeof facts->issuer));
    const FILETIME& notAfter = leaf->pCertInfo->NotAfter;
    uint64_t ticks = (uint64_t(notAfter.dwHighDateTime) << 32) | notAfter.dwLowDateTime;
    facts->notAfterUtcSeconds = int64_t(ticks / 10000000) - 11644473600LL;
    facts->haveCertificate = true;
}

// Whether the certificate's private key can be had, and is the one for its
// public key.
static PlatformTlsResult WinTlsCheckClientKey(PCCERT_CONTEXT certificate, int* error) {
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
    DWORD keySpec = 0;
    WINBOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate,
                                           CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_SILENT_FLAG |
                                               CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                           nullptr, &key, &keySpec, &callerFrees)) {
        *error = int(GetLastError());
        return PlatformTlsResult::ClientCertificateUnusable;
    }
    PlatformTlsResult result = PlatformTlsResult::ClientCertificateUnusable;
    DWORD size = 0;
    std::vector<BYTE> info;
    if (CryptExportPublicKeyInfo(key, keySpec, X509_ASN_ENCODING, nullptr, &size)) {
        info.resize(size);
        auto* exported = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(info.data());
        if (CryptExportPublicKeyInfo(key, keySpec, X509_ASN_ENCODING, exported, &size))
            result = CertComparePublicKeyInfo(X509_ASN_ENCODING, exported,
                                              &certificate->pCertInfo->SubjectPublicKeyInfo)
                         ? PlatformTlsResult::Ok
                         : PlatformTlsResult::ClientKeyMismatch;
    }
    if (result == PlatformTlsResult::ClientCertificateUnusable)
        *error = int(GetLastError());
    if (callerFrees && keySpec == CERT_NCRYPT_KEY_SPEC)
        NCryptFreeObject(key);
    else if (callerFrees)
        CryptReleaseContext(key, 0);
    return result;
}

// The client certificate config names, from the local machine's "My" store:
// Ok with *found null when none is named; Ok with *found set (the caller's
// to free) when it can be used; otherwise the refusal.
static PlatformTlsResult WinTlsFindClientCertificate(const PlatformTlsConfig& config,
                                                     PCCERT_CONTEXT* found,
                                                     PlatformTlsClientCertificate* facts,
                                                     int* error) {
    *found = nullptr;
    if (config.clientCertificateSha256 == nullptr)
        return PlatformTlsResult::Ok;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE |
                                         CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
                                     L"MY");
    if (store == nullptr) {
        *error = int(GetLastError());
        return *error == ERROR_FILE_NOT_FOUND ? PlatformTlsResult::ClientCertificateNotFound
                                              : PlatformTlsResult::ClientCertificateUnusable;
    }
    // By the SHA-256 of each one's DER: older systems have no such property.
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        unsigned char sha256[32];
        WinTlsHash(certificate->pbCertEncoded, certificate->cbCertEncoded, sha256);
        if (std::memcmp(sha256, config.clientCertificateSha256, 32) == 0)
            break;
    }
    CertCloseStore(store, 0); // a context found keeps it open
    if (certificate == nullptr) {
        *error = int(CRYPT_E_NOT_FOUND);
        return PlatformTlsResult::ClientCertificateNotFound;
    }
    WinTlsCertificateFacts(certificate, facts);
    PlatformTlsResult result = WinTlsCheckClientKey(certificate, error);
    if (result == PlatformTlsResult::Ok &&
        CertVerifyTimeValidity(nullptr, certificate->pCertInfo) > 0)
        result = PlatformTlsResult::ClientCertificateExpired;
    if (result == PlatformTlsResult::Ok)
        *found = certificate;
    else
        CertFreeCertificateContext(certificate);
    return result;
}

// The certificates of a PEM file in a memory store: null on failure,
// with *error set.
static HCERTSTORE WinTlsLoadPem(const char* path, int* error) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = int(GetLastError());
        return nullptr;
    }
    std::vector<char> text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0 && text.size() < 4 << 20)
        text.insert(text.end(), chunk, chunk + got);
    CloseHandle(file);
    text.push_back('\0');
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        *error = int(GetLastError());
        return nullptr;
    }
    // Each BEGIN ... END block on its own: CryptStringToBinary takes one.
    const char* begin = "-----BEGIN CERTIFICATE-----";
    const char* end = "-----END CERTIFICATE-----";
    int added = 0;
    for (const char* at = std::strstr(text.data(), begin); at != nullptr;
         at = std::strstr(at, begin)) {
        const char* stop = std::strstr(at, end);
        if (stop == nullptr)
            break;
        stop += std::strlen(end);
        DWORD length = 0;
        DWORD span = DWORD(stop - at);
        if (CryptStringToBinaryA(at, span, CRYPT_STRING_BASE64HEADER, nullptr, &length, nullptr,
                                 nullptr)) {
            std::vector<BYTE> der(length);
            if (CryptStringToBinaryA(at, span, CRYPT_STRING_BASE64HEADER, der.data(), &length,
                                     nullptr, nullptr) &&
                CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), length,
                                                 CERT_STORE_ADD_ALWAYS, nullptr))
                ++added;
        }
        at = stop;
    }
    if (added == 0) {
        CertCloseStore(store, 0);
        *error = ERROR_INVALID_DATA;
        return nullptr;
    }
    return store;
}

// Whether the leaf names the dotted IPv4 address among its subjectAltNames.
static bool WinTlsHasAddress(PCCERT_CONTEXT leaf, const char* dotted) {
    in_addr wanted;
    if (inet_pton(AF_INET, dotted, &wanted) != 1)
        return false;
    PCERT_EXTENSION extension = CertFindExtension(
        szOID_SUBJECT_ALT_NAME2, leaf->pCertInfo->cExtension, leaf->pCertInfo->rgExtension);
    if (extension == nullptr)
        return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
                std::memcmp(entry.IPAddress.pbData, &wanted, 4) == 0;
    }
    LocalFree(names);
    return found;
}

static PlatformTlsResult WinTlsTimeResult(PCCERT_CONTEXT leaf) {
    return CertVerifyTimeValidity(nullptr, leaf->pCertInfo) < 0 ? PlatformTlsResult::NotYetValid
                                                                : PlatformTlsResult::Expired;
}

// The chain to a trusted root (the PEM file's certificates alone when one
// is given), the validity times, the name.
static PlatformTlsResult WinTlsCheckCertificate(PCCERT_CONTEXT leaf,
                                                const PlatformTlsConfig& config, bool nameIsAddress,
                                                int* error) {
    HCERTCHAINENGINE engine = nullptr;
    HCERTSTORE roots = nullptr;
    if (config.caFile != nullptr && config.caFile[0] != '\0') {
        roots = WinTlsLoadPem(config.caFile, error);
        if (roots == nullptr)
            return PlatformTlsResult::Failed;
        // The Windows 7 size of the structure: later sizes are refused by
        // some implementations (Wine's), and nothing past it is needed.
        CERT_CHAIN_ENGINE_CONFIG engineConfig;
        std::memset(&engineConfig, 0, sizeof engineConfig);
        engineConfig.cbSize =
            DWORD(offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE));
        engineConfig.hExclusiveRoot = roots;
        if (!CertCreateCertificateChainEngine(&engineConfig, &engine)) {
            *error = int(GetLastError());
            CertCloseStore(roots, 0);
            return PlatformTlsResult::Failed;
        }
    }
    CERT_CHAIN_PARA chainPara;
    std::memset(&chainPara, 0, sizeof chainPara);
    chainPara.cbSize = sizeof chainPara;
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    PlatformTlsResult result = PlatformTlsResult::Ok;
    if (!CertGetCertificateChain(engine, leaf, nullptr, leaf->hCertStore, &chainPara, 0, nullptr,
                                 &chain)) {
        *error = int(GetLastError());
        result = PlatformTlsResult::Failed;
    } else {
        DWORD trust = chain->TrustStatus.dwErrorStatus;
        wchar_t name[256] = L"";
        if (!nameIsAddress && config.expectedName != nullptr)
            MultiByteToWideChar(CP_UTF8, 0, config.expectedName, -1, name, 256);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra;
        std::memset(&extra, 0, sizeof extra);
        extra.cbSize = sizeof extra;
        extra.dwAuthType = AUTHTYPE_SERVER;
        extra.pwszServerName = name[0] != L'\0' ? name : nullptr;
        CERT_CHAIN_POLICY_PARA policyPara;
        std::memset(&policyPara, 0, sizeof policyPara);
        policyPara.cbSize = sizeof policyPara;
        policyPara.pvExtraPolicyPara = &extra;
        CERT_CHAIN_POLICY_STATUS policy;
        std::memset(&policy, 0, sizeof policy);
        policy.cbSize = sizeof policy;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policy))
            policy.dwError = DWORD(CERT_E_UNTRUSTEDROOT);
        // The trust status as well as the policy: some policies pass a
        // partial or untrusted chain.
        if ((trust & CERT_TRUST_IS_NOT_TIME_VALID) != 0 || policy.dwError == DWORD(CERT_E_EXPIRED))
            result = WinTlsTimeResult(leaf);
        else if (trust != CERT_TRUST_NO_ERROR)
            result = PlatformTlsResult::NotTrusted;
        else if (policy.dwError == DWORD(CERT_E_CN_NO_MATCH))
            result = PlatformTlsResult::NameMismatch;
        else if (policy.dwError != 0)
            result = PlatformTlsResult::NotTrusted;
        else if (nameIsAddress && !WinTlsHasAddress(leaf, config.expectedName))
            result = PlatformTlsResult::NameMismatch;
        CertFreeCertificateChain(chain);
    }
    if (engine != nullptr)
        CertFreeCertificateChainEngine(engine);
    if (roots != nullptr)
        CertCloseStore(roots, 0);
    return result;
}

// Handshake refusals that mean no protocol version both sides accept.
static bool WinTlsIsVersionRefusal(SECURITY_STATUS status) {
    return status == SEC_E_UNSUPPORTED_FUNCTION || status == SEC_E_ALGORITHM_MISMATCH;
}

static void WinTlsFree(PlatformTls* tls, bool haveContext) {
    if (haveContext)
        DeleteSecurityContext(&tls->context);
    FreeCredentialsHandle(&tls->credentials);
    delete tls;
}

static void WinTlsConnectionFacts(PlatformTls* tls, PlatformTlsPeer* peer, DWORD protocol) {
    if (peer == nullptr)
        return;
    WinCopyText(protocol == SP_PROT_TLS1_3_CLIENT   ? "TLSv1.3"
                : protocol == SP_PROT_TLS1_2_CLIENT ? "TLSv1.2"
                                                    : "",
                peer->protocol, sizeof peer->protocol);
    SecPkgContext_CipherInfo cipher;
    std::memset(&cipher, 0, sizeof cipher);
    if (QueryContextAttributesW(&tls->context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK)
        WideCharToMultiByte(CP_UTF8, 0, cipher.szCipherSuite, -1, peer->cipher,
                            int(sizeof peer->cipher), nullptr, nullptr);
}

PlatformTlsResult PlatformTlsConnect(PlatformSocket socket, const PlatformTlsConfig& config,
                                     PlatformTls** session, PlatformTlsPeer* peer, int* error) {
    *session = nullptr;
    *error = 0;
    if (peer != nullptr)
        *peer = PlatformTlsPeer{};
    int64_t deadline = PlatformMonotonicMs() + (config.timeoutMs > 0 ? config.timeoutMs : 0);
    auto* tls = new (std::nothrow) PlatformTls{};
    if (tls == nullptr) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return PlatformTlsResult::Failed;
    }
    tls->socket = SOCKET(socket);
    tls->fromServer.certificates = tls->toServer.certificates = -1;
    tls->fromServer.alert = tls->toServer.alert = -1;
    PCCERT_CONTEXT client = nullptr;
    PlatformTlsResult loaded = WinTlsFindClientCertificate(config, &client, nullptr, error);
    if (loaded != PlatformTlsResult::Ok) {
        delete tls;
        return loaded;
    }

    SCHANNEL_CRED credentials;
    std::memset(&credentials, 0, sizeof credentials);
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    if (client != nullptr) {
        credentials.cCreds = 1;
        credentials.paCred = &client;
    }
    SECURITY_STATUS status = AcquireCredentialsHandleW(
        nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &credentials,
        nullptr, nullptr, &tls->credentials, nullptr);
    if (client != nullptr)
        CertFreeCertificateContext(client);
    if (status != SEC_E_OK) {
        *error = int(status);
        delete tls;
        return PlatformTlsResult::Failed;
    }

    // The name goes out as SNI only when it is a DNS name.
    const char* name = config.expectedName != nullptr ? config.expectedName : "";
    in_addr address;
    bool nameIsAddress = inet_pton(AF_INET, name, &address) == 1;
    wchar_t target[256] = L"";
    if (!nameIsAddress && name[0] != '\0')
        MultiByteToWideChar(CP_UTF8, 0, name, -1, target, 256);
    SecInvalidateHandle(&tls->context);
    bool transport = false;
    status = WinTlsHandshake(tls, target[0] != L'\0' ? target : nullptr, false, deadline,
                             &transport, error);
    tls->requested |= tls->fromServer.certificateRequest;
    tls->sent = tls->toServer.certificates > 0;
    if (peer != nullptr) {
        peer->clientCertificateRequested = tls->requested;
        peer->clientCertificateSent = tls->sent;
    }
    if (status != SEC_E_OK) {
        bool old = WinTlsIsVersionRefusal(status) || WinTlsServerIsOld(tls->incoming);
        PlatformTlsResult refusal = WinTlsClientRefusal(tls->requested, tls->fromServer.alert);
        // A first call that failed made no context.
        WinTlsFree(tls, SecIsValidHandle(&tls->context));
        if (refusal != PlatformTlsResult::Ok) {
            *error = int(status);
            return refusal;
        }
        if (transport)
            return PlatformTlsResult::Failed;
        if (old) {
            *error = 0;
            return PlatformTlsResult::OldProtocol;
        }
        *error = int(status);
        return PlatformTlsResult::Failed;
    }

    PlatformTlsResult result = PlatformTlsResult::Ok;
    SecPkgContext_ConnectionInfo connection;
    std::memset(&connection, 0, sizeof connection);
    PCCERT_CONTEXT leaf = nullptr;
    if (QueryContextAttributesW(&tls->context, SECPKG_ATTR_STREAM_SIZES, &tls->sizes) != SEC_E_OK ||
        QueryContextAttributesW(&tls->context, SECPKG_ATTR_CONNECTION_INFO, &connection) !=
            SEC_E_OK ||
        QueryContextAttributesW(&tls->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) !=
            SEC_E_OK ||
        leaf == nullptr) {
        *error = int(SEC_E_INTERNAL_ERROR);
        result = PlatformTlsResult::Failed;
    } else {
        WinTlsCertificateFacts(leaf, peer);
        WinTlsConnectionFacts(tls, peer, connection.dwProtocol);
        tls->tls13 = connection.dwProtocol == SP_PROT_TLS1_3_CLIENT;
        // Under TLS 1.3 the handshake's records are encrypted: the
        // certificate Schannel sent is the only sign that one was asked for.
        PCCERT_CONTEXT local = nullptr;
        if (tls->tls13 &&
            QueryContextAttributesW(&tls->context, SECPKG_ATTR_LOCAL_CERT_CONTEXT, &local) ==
                SEC_E_OK &&
            local != nullptr) {
            tls->requested = tls->sent = true;
            CertFreeCertificateContext(local);
        }
        if (peer != nullptr) {
            peer->clientCertificateRequested = tls->requested;
            peer->clientCertificateSent = tls->sent;
        }
        // Some Schannels ignore the protocols asked for: what was made counts.
        if (connection.dwProtocol != SP_PROT_TLS1_2_CLIENT &&
            connection.dwProtocol != SP_PROT_TLS1_3_CLIENT)
            result = PlatformTlsResult::OldProtocol;
        else
            result = WinTlsCheckCertificate(leaf, config, nameIsAddress, error);
        if (result == PlatformTlsResult::Ok && config.pinnedSha256 != nullptr) {
            unsigned char sha256[32];
            WinTlsHash(leaf->pbCertEncoded, leaf->cbCertEncoded, sha256);
            if (std::memcmp(sha256, config.pinnedSha256, 32) != 0)
                result = PlatformTlsResult::FingerprintMismatch;
        }
    }
    if (leaf != nullptr)
        CertFreeCertificateContext(leaf);
    if (result != PlatformTlsResult::Ok) {
        WinTlsFree(tls, true);
        return result;
    }
    *session = tls;
    return PlatformTlsResult::Ok;
}

long PlatformTlsSend(PlatformTls* tls, const void* data, size_t size) {
    if (tls->broken) {
        WSASetLastError(tls->error != 0 ? tls->error : WSAECONNRESET);
        return -1;
    }
    const char* bytes = static_cast<const char*>(data);
    size_t left = size;
    std::vector<char> record(tls->sizes.cbHeader + tls->sizes.cbMaximumMessage +
                             tls->sizes.cbTrailer);
    while (left > 0) {
        ULONG part = ULONG(left < tls->sizes.cbMaximumMessage ? left : tls->sizes.cbMaximumMessage);
        std::memcpy(record.data() + tls->sizes.cbHeader, bytes, part);
        SecBuffer buffers[4] = {{tls->sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                                {part, SECBUFFER_DATA, record.data() + tls->sizes.cbHeader},
                                {tls->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
                                 record.data() + tls->sizes.cbHeader + part},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = EncryptMessage(&tls->context, 0, &desc, 0);
        int error =
            status != SEC_E_OK
                ? int(status)
                : WinTlsSendAll(tls->socket, record.data(),
                                buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        if (error != 0) {
            tls->broken = true;
            tls->error = error;
            WSASetLastError(error);
            return -1;
        }
        bytes += part;
        left -= part;
    }
    return long(size);
}

// Takes up to size decrypted bytes that are waiting.
static long WinTlsTakePlain(PlatformTls* tls, void* buffer, size_t size) {
    size_t waiting = tls->plain.size() - tls->plainOffset;
    size_t count = waiting < size ? waiting : size;
    std::memcpy(buffer, tls->plain.data() + tls->plainOffset, count);
    tls->plainOffset += count;
    if (tls->plainOffset == tls->plain.size()) {
        tls->plain.clear();
        tls->plainOffset = 0;
    }
    return long(count);
}

static long WinTlsEnd(PlatformTls* tls, bool ended, int error) {
    tls->broken = true;
    tls->ended = ended;
    tls->error = error;
    if (ended)
        return 0;
    WSASetLastError(error);
    return -1;
}

// Decrypts the records in incoming, keeping what follows the last whole one:
// 1 bytes were added to plain (or none and more records may follow),
// 0 incoming holds no whole record, or the session's end from WinTlsEnd.
static long WinTlsDecrypt(PlatformTls* tls, int64_t deadline, bool* needBytes) {
    *needBytes = false;
    if (tls->incoming.empty()) {
        *needBytes = true;
        return 1;
    }
    SecBuffer buffers[4] = {{ULONG(tls->incoming.size()), SECBUFFER_DATA, tls->incoming.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    bool alert = WinTlsIsAlert(tls->incoming);
    SECURITY_STATUS status = DecryptMessage(&tls->context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        *needBytes = true;
        return 1;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) // close_notify
        return WinTlsEnd(tls, true, 0);
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
        return WinTlsEnd(tls, false, int(status));
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
            const char* data = static_cast<const char*>(buffer.pvBuffer);
            tls->plain.insert(tls->plain.end(), data, data + buffer.cbBuffer);
            tls->received = true;
        } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
            extra = &buffer;
        }
    }
    SecBuffer rest = extra != nullptr ? *extra : SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    WinTlsKeepExtra(tls, rest);
    // An alert that decrypts to success and nothing: a close_notify as
    // Wine reports one (Windows says SEC_I_CONTEXT_EXPIRED).
    if (alert && status == SEC_E_OK && tls->plain.size() == tls->plainOffset)
        return WinTlsEnd(tls, true, 0);
    if (status == SEC_I_RENEGOTIATE) {
        // Post-handshake messages (tickets, key updates, a renegotiation):
        // the handshake takes what follows, and answers if it must.
        bool transport = false;
        int error = 0;
        SECURITY_STATUS again = WinTlsHandshake(tls, nullptr, true, deadline, &transport, &error);
        if (again != SEC_E_OK)
            return WinTlsEnd(tls, transport && error == 0, transport ? error : int(again));
    }
    return 1;
}

long PlatformTlsRecvWithin(PlatformTls* tls, void* buffer, size_t size, int timeoutMs) {
    if (size == 0)
        return 0;
    int64_t deadline = timeoutMs < 0 ? -1 : PlatformMonotonicMs() + timeoutMs;
    for (;;) {
        if (tls->plainOffset < tls->plain.size())
            return WinTlsTakePlain(tls, buffer, size);
        if (tls->broken) {
            if (tls->ended)
                return 0;
            WSASetLastError(tls->error);
            return -1;
        }
        bool needBytes = false;
        long decrypted = WinTlsDecrypt(tls, deadline, &needBytes);
        if (decrypted <= 0)
            return decrypted;
        if (!needBytes)
            continue;
        int error = 0;
        long got = WinTlsReceive(tls, deadline, &error);
        if (got == PlatformTimedOut)
            return PlatformTimedOut;
        if (got == 0) // a TCP close without close_notify ends the session too
            return WinTlsEnd(tls, true, 0);
        if (got < 0)
            return WinTlsEnd(tls, false, error);
    }
}

PlatformTlsResult PlatformTlsLoadClientCertificate(const PlatformTlsConfig& config,
                                                   PlatformTlsClientCertificate* facts,
                                                   int* error) {
    *error = 0;
    if (facts != nullptr)
        *facts = PlatformTlsClientCertificate{};
    PCCERT_CONTEXT found = nullptr;
    PlatformTlsResult result = WinTlsFindClientCertificate(config, &found, facts, error);
    if (found != nullptr)
        CertFreeCertificateContext(found);
    return result;
}

PlatformTlsResult PlatformTlsCheckKeyFile(const char*, int* error) {
    // The key is in the store with its certificate.
    *error = 0;
    return PlatformTlsResult::Ok;
}

PlatformTlsResult PlatformTlsRefusal(PlatformTls* tls) {
    // A TLS 1.3 server's alert is encrypted, and Schannel says only that
    // the record did not decrypt: a session that was asked for a client
    // certificate and failed so before any application byte ended over it.
    if (tls->tls13 && tls->requested && tls->broken && !tls->ended && !tls->received &&
        tls->error < 0)
        return PlatformTlsResult::ClientCertificateRequired;
    return PlatformTlsResult::Ok;
}

int PlatformTlsCountCaFile(const char* path, int* error) {
    *error = 0;
    HCERTSTORE store = WinTlsLoadPem(path, error);
    if (store == nullptr)
        return 0;
    int count = 0;
    for (PCCERT_CONTEXT at = nullptr; (at = CertEnumCertificatesInStore(store, at)) != nullptr;)
        ++count;
    CertCloseStore(store, 0);
    return count;
}

void PlatformTlsClose(PlatformTls* tls) {
    if (tls == nullptr)
        return;
    if (!tls->broken) {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
        SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
        ULONG attributes = 0;
        if (ApplyControlToken(&tls->context, &controlDesc) == SEC_E_OK &&
            InitializeSecurityContextW(&tls->credentials, &tls->context, nullptr, WinTlsRequest, 0,
                                       0, nullptr, 0, nullptr, &outDesc, &attributes,
                                       nullptr) == SEC_E_OK &&
            out.pvBuffer != nullptr && out.cbBuffer > 0) {
            // Only if the send buffer takes it now.
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(tls->socket, &writable);
            timeval now = {0, 0};
            if (select(0, nullptr, &writable, nullptr, &now) == 1)
                send(tls->socket, static_cast<const char*>(out.pvBuffer), int(out.cbBuffer), 0);
        }
        if (out.pvBuffer != nullptr)
            FreeContextBuffer(out.pvBuffer);
    }
    WinTlsFree(tls, true);
}

#endif // _WIN32
