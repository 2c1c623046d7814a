// Tls.cpp - the Linux platform layer: TLS client sessions with OpenSSL.
#ifndef _WIN32

#include "Internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// The socket as OpenSSL's transport. Every call is non-blocking by itself
// (MSG_DONTWAIT), so the socket keeps the blocking mode the rest of the
// gateway relies on and the waits happen here, with their time limits;
// MSG_NOSIGNAL keeps a closed peer from raising SIGPIPE.
struct PosixTlsTransport {
    int fd;
    int error;  // errno of the last call that failed for good
    bool ended; // the peer closed the TCP connection
};

struct PlatformTls {
    SSL_CTX* context;
    SSL* ssl;
    PosixTlsTransport transport;
    bool broken;    // a fatal error or end: nothing more goes over the session
    bool requested; // the server sent a CertificateRequest
    bool sent;      // our Certificate message carried a certificate
    int alert;      // the last alert from the server but close_notify, or -1
};

static int PosixTlsBioWrite(BIO* bio, const char* data, int size) {
    auto* transport = static_cast<PosixTlsTransport*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = send(transport->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0)
        return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        BIO_set_retry_write(bio);
    else
        transport->error = errno;
    return -1;
}

static int PosixTlsBioRead(BIO* bio, char* buffer, int size) {
    auto* transport = static_cast<PosixTlsTransport*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = recv(transport->fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        return static_cast<int>(n);
    if (n == 0)
        transport->ended = true;
    else if (errno == EAGAIN || errno == EWOULDBLOCK)
        BIO_set_retry_read(bio);
    else
        transport->error = errno;
    return n == 0 ? 0 : -1;
}

static long PosixTlsBioCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

static int PosixTlsBioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once, never freed: every session shares it.
static BIO_METHOD* PosixTlsBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "gateway socket");
        if (made != nullptr) {
            BIO_meth_set_write(made, PosixTlsBioWrite);
            BIO_meth_set_read(made, PosixTlsBioRead);
            BIO_meth_set_ctrl(made, PosixTlsBioCtrl);
            BIO_meth_set_create(made, PosixTlsBioCreate);
        }
        return made;
    }();
    return method;
}

// Waits until the socket can do what OpenSSL asked for, until deadline
// (-1: none): 1 ready, 0 time is up, -1 failure with errno set.
static int PosixTlsWait(int fd, int sslError, int64_t deadline) {
    pollfd entry{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - PlatformMonotonicMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        int ready = poll(&entry, 1, wait);
        if (ready >= 0)
            return ready > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
}

static void PosixTlsCopy(const char* text, char* out, size_t size) {
    size_t length = strnlen(text, size - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

// One line, RDNs in the order the certificate has them, ", " between.
static void PosixTlsNameText(const X509_NAME* name, char* out, size_t size) {
    out[0] = '\0';
    BIO* memory = BIO_new(BIO_s_mem());
    if (memory == nullptr)
        return;
    unsigned long flags = ASN1_STRFLGS_ESC_2253 | ASN1_STRFLGS_ESC_CTRL |
                          ASN1_STRFLGS_UTF8_CONVERT | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN;
    if (X509_NAME_print_ex(memory, name, 0, flags) >= 0) {
        int length = BIO_read(memory, out, static_cast<int>(size - 1));
        out[length > 0 ? length : 0] = '\0';
    }
    BIO_free(memory);
}

// A certificate's facts, into a PlatformTlsPeer or PlatformTlsClientCertificate.
template <typename Facts> static void PosixTlsFacts(X509* certificate, Facts* facts) {
    unsigned length = 0;
    if (X509_digest(certificate, EVP_sha256(), facts->sha256, &length) != 1 || length != 32)
        memset(facts->sha256, 0, sizeof facts->sha256);
    PosixTlsNameText(X509_get_subject_name(certificate), facts->subject, sizeof facts->subject);
    PosixTlsNameText(X509_get_issuer_name(certificate), facts->issuer, sizeof facts->issuer);
    tm notAfter{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &notAfter) == 1)
        facts->notAfterUtcSeconds = timegm(&notAfter);
    facts->haveCertificate = true;
}

// The leaf's facts: from the chain the server sent, which OpenSSL keeps
// even when it refused the chain.
static void PosixTlsCertificateFacts(PlatformTls* tls, PlatformTlsPeer* peer) {
    if (peer == nullptr)
        return;
    peer->clientCertificateRequested = tls->requested;
    peer->clientCertificateSent = tls->sent;
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(tls->ssl);
    X509* leaf = chain != nullptr && sk_X509_num(chain) > 0 ? sk_X509_value(chain, 0)
                                                            : SSL_get0_peer_certificate(tls->ssl);
    if (leaf != nullptr)
        PosixTlsFacts(leaf, peer);
}

// Watches the handshake for what concerns our certificate: the server's
// CertificateRequest, our Certificate message and the server's alerts.
static void PosixTlsMessage(int write, int, int type, const void* data, size_t size, SSL* ssl,
                            void* argument) {
    auto* tls = static_cast<PlatformTls*>(argument);
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (type == SSL3_RT_ALERT && !write && size == 2 && bytes[1] != SSL3_AD_CLOSE_NOTIFY) {
        tls->alert = bytes[1];
    } else if (type == SSL3_RT_HANDSHAKE && size > 0) {
        if (!write && bytes[0] == SSL3_MT_CERTIFICATE_REQUEST) {
            tls->requested = true;
        } else if (write && bytes[0] == SSL3_MT_CERTIFICATE && size > 4) {
            // The list's 3-byte length follows the header (and, in TLS 1.3,
            // the request context).
            size_t at = 4 + (SSL_version(ssl) == TLS1_3_VERSION ? 1 + size_t(bytes[4]) : 0);
            tls->sent = size >= at + 3 && (bytes[at] | bytes[at + 1] | bytes[at + 2]) != 0;
        }
    }
}

// What the alert of a server that asked for our certificate means.
static PlatformTlsResult PosixTlsClientRefusal(const PlatformTls* tls) {
    if (!tls->requested)
        return PlatformTlsResult::Ok;
    switch (tls->alert) {
    case SSL3_AD_CERTIFICATE_EXPIRED:
        return PlatformTlsResult::ClientCertificateExpired;
    case SSL3_AD_HANDSHAKE_FAILURE: // what TLS 1.2 says for certificate_required
    case SSL3_AD_BAD_CERTIFICATE:
    case SSL3_AD_UNSUPPORTED_CERTIFICATE:
    case SSL3_AD_CERTIFICATE_REVOKED:
    case SSL3_AD_CERTIFICATE_UNKNOWN:
    case TLS1_AD_UNKNOWN_CA:
    case TLS1_AD_ACCESS_DENIED:
    case TLS13_AD_CERTIFICATE_REQUIRED:
        return PlatformTlsResult::ClientCertificateRequired;
    default:
        return PlatformTlsResult::Ok;
    }
}

static int PosixTlsNoPassphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
}

// Reads a PEM private key that its owner alone may read and that needs no
// passphrase; *key is the caller's to free on Ok.
static PlatformTlsResult PosixTlsReadKey(const char* path, EVP_PKEY** key, int* error) {
    // The mode of the file opened, not of whatever the name leads to later.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return *error == ENOENT ? PlatformTlsResult::ClientCertificateNotFound
                                : PlatformTlsResult::ClientCertificateUnusable;
    }
    struct stat status;
    if (fstat(fd, &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        close(fd);
        return PlatformTlsResult::ClientKeyExposed;
    }
    BIO* file = BIO_new_fd(fd, BIO_CLOSE);
    if (file == nullptr) {
        close(fd);
        *error = ENOMEM;
        return PlatformTlsResult::ClientCertificateUnusable;
    }
    bool asked = false;
    *key = PEM_read_bio_PrivateKey(file, nullptr, PosixTlsNoPassphrase, &asked);
    BIO_free(file);
    if (*key == nullptr) {
        *error = EINVAL;
        return asked ? PlatformTlsResult::ClientKeyEncrypted
                     : PlatformTlsResult::ClientCertificateUnusable;
    }
    return PlatformTlsResult::Ok;
}

// Puts the client certificate, its chain and its key into context, and
// describes the certificate in facts (may be null).
static PlatformTlsResult PosixTlsUseClientCertificate(SSL_CTX* context,
                                                      const PlatformTlsConfig& config,
                                                      PlatformTlsClientCertificate* facts,
                                                      int* error) {
    const char* certificate = config.clientCertificateFile;
    if (certificate == nullptr || certificate[0] == '\0')
        return PlatformTlsResult::Ok;
    const char* keyFile = config.clientKeyFile != nullptr && config.clientKeyFile[0] != '\0'
                              ? config.clientKeyFile
                              : certificate;
    struct stat status;
    errno = 0;
    if (stat(certificate, &status) != 0 ||
        SSL_CTX_use_certificate_chain_file(context, certificate) != 1) {
        *error = errno != 0 ? errno : EINVAL;
        return *error == ENOENT ? PlatformTlsResult::ClientCertificateNotFound
                                : PlatformTlsResult::ClientCertificateUnusable;
    }
    X509* leaf = SSL_CTX_get0_certificate(context);
    if (facts != nullptr)
        PosixTlsFacts(leaf, facts);
    EVP_PKEY* key = nullptr;
    PlatformTlsResult read = PosixTlsReadKey(keyFile, &key, error);
    if (read != PlatformTlsResult::Ok)
        return read;
    bool matches =
        X509_check_private_key(leaf, key) == 1 && SSL_CTX_use_PrivateKey(context, key) == 1;
    EVP_PKEY_free(key);
    if (!matches)
        return PlatformTlsResult::ClientKeyMismatch;
    if (X509_cmp_current_time(X509_get0_notAfter(leaf)) < 0)
        return PlatformTlsResult::ClientCertificateExpired;
    return PlatformTlsResult::Ok;
}

static PlatformTlsResult PosixTlsVerifyResult(long verify) {
    switch (verify) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CRL_HAS_EXPIRED:
        return PlatformTlsResult::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_NOT_YET_VALID:
        return PlatformTlsResult::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
    case X509_V_ERR_EMAIL_MISMATCH:
        return PlatformTlsResult::NameMismatch;
    default:
        return PlatformTlsResult::NotTrusted;
    }
}

// Why a handshake that did not fail on the certificate or the transport did.
static bool PosixTlsIsVersionRefusal() {
    while (unsigned long code = ERR_get_error()) {
        if (ERR_GET_LIB(code) != ERR_LIB_SSL)
            continue;
        int reason = ERR_GET_REASON(code);
        if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
            reason == SSL_R_VERSION_TOO_LOW || reason == SSL_R_WRONG_SSL_VERSION)
            return true;
    }
    return false;
}

static void PosixTlsFree(PlatformTls* tls) {
    SSL_free(tls->ssl); // and the BIO with it
    SSL_CTX_free(tls->context);
    delete tls;
    ERR_clear_error();
}

// Everything up to the handshake: the context, our certificate, the trust,
// the name. Ok, or the result with *error.
static PlatformTlsResult PosixTlsPrepare(PlatformTls* tls, const PlatformTlsConfig& config,
                                         int* error) {
    tls->context = SSL_CTX_new(TLS_client_method());
    if (tls->context == nullptr) {
        *error = ENOMEM;
        return PlatformTlsResult::Failed;
    }
    PlatformTlsResult client = PosixTlsUseClientCertificate(tls->context, config, nullptr, error);
    if (client != PlatformTlsResult::Ok)
        return client;
    SSL_CTX_set_min_proto_version(tls->context, TLS1_2_VERSION);
    SSL_CTX_set_verify(tls->context, SSL_VERIFY_PEER, nullptr);
    // A record in one receive rather than its header and its body in two.
    SSL_CTX_set_read_ahead(tls->context, 1);
    errno = 0;
    bool trusted = config.caFile != nullptr && config.caFile[0] != '\0'
                       ? SSL_CTX_load_verify_locations(tls->context, config.caFile, nullptr) == 1
                       : SSL_CTX_set_default_verify_paths(tls->context) == 1;
    if (!trusted) {
        *error = errno != 0 ? errno : EINVAL;
        return PlatformTlsResult::Failed;
    }
    tls->ssl = SSL_new(tls->context);
    BIO* bio = BIO_new(PosixTlsBioMethod());
    if (tls->ssl == nullptr || bio == nullptr) {
        BIO_free(bio);
        *error = ENOMEM;
        return PlatformTlsResult::Failed;
    }
    BIO_set_data(bio, &tls->transport);
    SSL_set_bio(tls->ssl, bio, bio);
    SSL_set_msg_callback(tls->ssl, PosixTlsMessage);
    SSL_set_msg_callback_arg(tls->ssl, tls);
    const char* name = config.expectedName;
    if (name != nullptr && name[0] != '\0') {
        in_addr address;
        bool named = inet_pton(AF_INET, name, &address) == 1
                         ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->ssl), name) == 1
                         : SSL_set_tlsext_host_name(tls->ssl, name) == 1 &&
                               SSL_set1_host(tls->ssl, name) == 1;
        if (!named) {
            *error = EINVAL;
            return PlatformTlsResult::Failed;
        }
    }
    SSL_set_connect_state(tls->ssl);
    return PlatformTlsResult::Ok;
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
        *error = ENOMEM;
        return PlatformTlsResult::Failed;
    }
    tls->transport.fd = static_cast<int>(socket);
    tls->alert = -1;
    ERR_clear_error();
    PlatformTlsResult prepared = PosixTlsPrepare(tls, config, error);
    if (prepared != PlatformTlsResult::Ok) {
        PosixTlsFree(tls);
        return prepared;
    }
    for (;;) {
        int done = SSL_do_handshake(tls->ssl);
        if (done == 1)
            break;
        int sslError = SSL_get_error(tls->ssl, done);
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            int ready = PosixTlsWait(tls->transport.fd, sslError, deadline);
            if (ready > 0)
                continue;
            *error = ready == 0 ? ETIMEDOUT : errno;
            PosixTlsFree(tls);
            return PlatformTlsResult::Failed;
        }
        PosixTlsCertificateFacts(tls, peer);
        long verify = SSL_get_verify_result(tls->ssl);
        PlatformTlsResult refusal = PosixTlsClientRefusal(tls);
        PlatformTlsResult result = PlatformTlsResult::Failed;
        if (verify != X509_V_OK)
            result = PosixTlsVerifyResult(verify);
        else if (refusal != PlatformTlsResult::Ok)
            result = refusal;
        else if (PosixTlsIsVersionRefusal())
            result = PlatformTlsResult::OldProtocol;
        else if (tls->transport.ended || tls->transport.error != 0)
            *error = tls->transport.error;
        else
            *error = EPROTO;
        PosixTlsFree(tls);
        return result;
    }
    PosixTlsCertificateFacts(tls, peer);
    if (peer != nullptr) {
        PosixTlsCopy(SSL_get_version(tls->ssl), peer->protocol, sizeof peer->protocol);
        const char* cipher = SSL_CIPHER_standard_name(SSL_get_current_cipher(tls->ssl));
        PosixTlsCopy(cipher != nullptr ? cipher : "", peer->cipher, sizeof peer->cipher);
    }
    if (config.pinnedSha256 != nullptr) {
        // Compared here, not only in peer, which the caller may leave out.
        unsigned char leaf[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        X509* certificate = SSL_get0_peer_certificate(tls->ssl);
        if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), leaf, &length) != 1 ||
            length != 32 || memcmp(leaf, config.pinnedSha256, 32) != 0) {
            PosixTlsFree(tls);
            return PlatformTlsResult::FingerprintMismatch;
        }
    }
    *session = tls;
    return PlatformTlsResult::Ok;
}

// A session that failed or ended keeps giving the same answer: 0 after the
// TCP close, -1 with the error otherwise.
static long PosixTlsFailure(PlatformTls* tls) {
    tls->broken = true;
    ERR_clear_error();
    if (tls->transport.ended && tls->transport.error == 0)
        return 0;
    errno = tls->transport.error != 0 ? tls->transport.error : EPROTO;
    return -1;
}

long PlatformTlsSend(PlatformTls* tls, const void* data, size_t size) {
    if (tls->broken) {
        errno = tls->transport.error != 0 ? tls->transport.error : EPIPE;
        return -1;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t sent = 0;
    while (sent < size) {
        size_t wrote = 0;
        int done = SSL_write_ex(tls->ssl, bytes + sent, size - sent, &wrote);
        if (done == 1) {
            sent += wrote;
            continue;
        }
        int sslError = SSL_get_error(tls->ssl, done);
        if ((sslError == SSL_ERROR_WANT_WRITE || sslError == SSL_ERROR_WANT_READ) &&
            PosixTlsWait(tls->transport.fd, sslError, -1) > 0)
            continue;
        if (tls->transport.error == 0)
            tls->transport.error = tls->transport.ended ? EPIPE : errno != 0 ? errno : EPROTO;
        PosixTlsFailure(tls);
        errno = tls->transport.error;
        return -1;
    }
    return static_cast<long>(size);
}

long PlatformTlsRecvWithin(PlatformTls* tls, void* buffer, size_t size, int timeoutMs) {
    if (tls->broken)
        return PosixTlsFailure(tls);
    // After close_notify, without a look at the socket.
    if (size == 0 || (SSL_get_shutdown(tls->ssl) & SSL_RECEIVED_SHUTDOWN) != 0)
        return 0;
    int64_t deadline = timeoutMs < 0 ? -1 : PlatformMonotonicMs() + timeoutMs;
    // What OpenSSL holds already (plaintext, or records read ahead) is read
    // without touching the socket. Otherwise the socket is waited for first,
    // so that a look at an idle session or the wait for a reply costs one
    // poll and one receive, as on a plain socket.
    int wanted = SSL_has_pending(tls->ssl) ? 0 : SSL_ERROR_WANT_READ;
    for (;;) {
        if (wanted != 0) {
            int ready = PosixTlsWait(tls->transport.fd, wanted, deadline);
            if (ready == 0)
                return PlatformTimedOut;
            if (ready < 0) {
                tls->transport.error = errno;
                return PosixTlsFailure(tls);
            }
        }
        size_t got = 0;
        int done = SSL_read_ex(tls->ssl, buffer, size, &got);
        if (done == 1)
            return static_cast<long>(got);
        int sslError = SSL_get_error(tls->ssl, done);
        if (sslError == SSL_ERROR_ZERO_RETURN) {
            ERR_clear_error();
            return 0;
        }
        // A ticket, a key update or part of a record is taken in passing:
        // the wait goes on until application bytes come or the time is up.
        if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE)
            return PosixTlsFailure(tls);
        wanted = sslError;
    }
}

PlatformTlsResult PlatformTlsLoadClientCertificate(const PlatformTlsConfig& config,
                                                   PlatformTlsClientCertificate* facts,
                                                   int* error) {
    *error = 0;
    if (facts != nullptr)
        *facts = PlatformTlsClientCertificate{};
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        *error = ENOMEM;
        return PlatformTlsResult::Failed;
    }
    PlatformTlsResult result = PosixTlsUseClientCertificate(context, config, facts, error);
    SSL_CTX_free(context);
    ERR_clear_error();
    return result;
}

PlatformTlsResult PlatformTlsCheckKeyFile(const char* path, int* error) {
    *error = 0;
    EVP_PKEY* key = nullptr;
    PlatformTlsResult result = PosixTlsReadKey(path, &key, error);
    EVP_PKEY_free(key);
    ERR_clear_error();
    return result;
}

PlatformTlsResult PlatformTlsRefusal(PlatformTls* tls) {
    if (tls->broken && tls->alert < 0 && tls->requested && !tls->transport.ended) {
        // A send that failed because the server had closed: its alert may
        // be waiting unread.
        char scratch[256];
        size_t got = 0;
        SSL_read_ex(tls->ssl, scratch, sizeof scratch, &got);
        ERR_clear_error();
    }
    return PosixTlsClientRefusal(tls);
}

int PlatformTlsCountCaFile(const char* path, int* error) {
    *error = 0;
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) {
        *error = ENOMEM;
        return 0;
    }
    errno = 0;
    int count = 0;
    if (X509_STORE_load_file(store, path) == 1) {
        STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
        for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i)
            count += X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509;
    }
    if (count == 0)
        *error = errno != 0 ? errno : EINVAL;
    X509_STORE_free(store);
    ERR_clear_error();
    return count;
}

void PlatformTlsClose(PlatformTls* tls) {
    if (tls == nullptr)
        return;
    // One try: close_notify goes out if the send buffer takes it now.
    if (!tls->broken)
        SSL_shutdown(tls->ssl);
    PosixTlsFree(tls);
}

#endif // !_WIN32
