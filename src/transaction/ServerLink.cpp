// ServerLink.cpp - the one persistent connection to the transaction server:
// made when first needed and after every failure, checked and drained before
// each message, never retried once a send has started. With ServerTls=1 it is
// a TLS session, whose handshake is made with each new connection; nothing
// goes over the bare socket then.
#include "Exchange.h"
#include "Transaction.h"

#include "Files.h"
#include "Metrics.h"
#include "Platform.h"
#include "Settings.h"
#include "Text.h"

#include <cstdio>
#include <cstring>

namespace {

// Set by StartServerLink before the listener starts; read-only afterwards.
char ServerAddress[32] = "127.0.0.1";
int ServerPort = 3770;

ServerTlsSettings Tls;

// Touched only while the transaction lock is held.
PlatformSocket ServerSocket = PlatformNoSocket;
PlatformTls* ServerSession = nullptr; // with ServerTls=1, while connected
bool ReconnectNeeded = true;
// The failure text for the status port, with card numbers masked.
char MaskedFailure[ReplyAreaSize];

// More than this waiting on an idle connection is not a stray reply.
constexpr long MaxStrayBytes = 64 * 1024;

// The handshake is made with the transaction lock held. A server that takes
// the connection but never finishes a handshake gives up the lock after
// this, well inside the 10 s a queued transaction waits for it; a handshake
// on a slow line takes a few round trips, far less.
constexpr int HandshakeLimitMs = 5000;

// A refusal is logged at most once an hour for each reason.
constexpr int64_t RefusalLogIntervalMs = 3600 * 1000;
constexpr size_t TlsResults = static_cast<size_t>(PlatformTlsResult::Failed) + 1;
bool RefusalLogged[TlsResults];
int64_t RefusalLoggedAtMs[TlsResults];

// Set while connects fail, under the transaction lock: the Event Log hears
// once when the server becomes unreachable and once when it is back, never
// once per transaction.
bool ServerUnreachable = false;

void NoteConnectFailed(const char* replyArea) {
    if (ServerUnreachable)
        return;
    ServerUnreachable = true;
    const char prefix[] = "Unable to connect to server: ";
    const char* reason = replyArea;
    if (std::strncmp(reason, prefix, sizeof prefix - 1) == 0)
        reason += sizeof prefix - 1;
    char text[512];
    std::snprintf(text, sizeof text, "Unable to reach the transaction server %s:%d: %s",
                  ServerAddress, ServerPort, reason);
    ReportLogEvent(LogEvent::Warning, text);
}

void NoteConnectMade() {
    if (!ServerUnreachable)
        return;
    ServerUnreachable = false;
    char text[128];
    std::snprintf(text, sizeof text, "The transaction server %s:%d is reachable again.",
                  ServerAddress, ServerPort);
    ReportLogEvent(LogEvent::Warning, text);
}

// Receives what is already there, without waiting: the count, 0 when the
// server has closed, -1 on failure, PlatformTimedOut when there is nothing.
// Over TLS that includes bytes already decrypted inside the session.
long ReceiveWaiting(char* buffer, size_t size) {
    if (ServerSession != nullptr)
        return PlatformTlsRecvWithin(ServerSession, buffer, size, 0);
    int ready = PlatformWaitReadable(ServerSocket, 0);
    if (ready <= 0)
        return ready == 0 ? PlatformTimedOut : -1;
    return PlatformRecv(ServerSocket, buffer, size);
}

// Discards bytes waiting on the idle connection: they are a late or surplus
// reply to an earlier transaction and must not be taken for this one's.
// Returns false when the server has closed or reset the connection.
bool DrainIdleConnection() {
    char scratch[1024];
    long discarded = 0;
    for (;;) {
        long got = ReceiveWaiting(scratch, sizeof scratch);
        if (got == PlatformTimedOut)
            return true;
        if (got <= 0)
            return false;
        discarded += got;
        if (discarded > MaxStrayBytes)
            return false;
    }
}

void DropConnection() {
    PlatformTlsClose(ServerSession);
    ServerSession = nullptr;
    PlatformCloseSocket(ServerSocket);
    ServerSocket = PlatformNoSocket;
}

void HexFingerprint(const unsigned char* sha256, char* out, size_t size) {
    size_t used = 0;
    for (int i = 0; i < 32 && used + 4 <= size; ++i)
        used += static_cast<size_t>(
            std::snprintf(out + used, size - used, i == 0 ? "%02X" : ":%02X", sha256[i]));
    out[used] = '\0';
}

// The one place a refused handshake is logged.
void LogRefusedHandshake(PlatformTlsResult result, const char* reason,
                         const PlatformTlsPeer& peer) {
    size_t kind = static_cast<size_t>(result);
    int64_t now = PlatformMonotonicMs();
    if (RefusalLogged[kind] && now - RefusalLoggedAtMs[kind] < RefusalLogIntervalMs)
        return;
    RefusalLogged[kind] = true;
    RefusalLoggedAtMs[kind] = now;
    char line[1024];
    int length = std::snprintf(line, sizeof line,
                               "TLS handshake with the transaction server %s:%d refused: %s",
                               ServerAddress, ServerPort, reason);
    if (peer.haveCertificate && length > 0 && static_cast<size_t>(length) < sizeof line) {
        char fingerprint[100];
        HexFingerprint(peer.sha256, fingerprint, sizeof fingerprint);
        std::snprintf(line + length, sizeof line - static_cast<size_t>(length),
                      " (certificate %s, issued by %s, SHA-256 %s)", peer.subject, peer.issuer,
                      fingerprint);
    }
    WriteLogLine(line, LogEvent::Warning);
}

// Makes the TLS session over the connected socket. False, with the till's
// text in replyArea, when the handshake was refused or failed.
bool MakeHandshake(char* replyArea) {
    PlatformTlsConfig config{Tls.caFile, Tls.name, Tls.pinned ? Tls.pin : nullptr,
                             HandshakeLimitMs};
    PlatformTlsPeer peer;
    int error = 0;
    PlatformTlsResult result =
        PlatformTlsConnect(ServerSocket, config, &ServerSession, &peer, &error);
    if (peer.haveCertificate)
        NoteServerCertificate(peer.notAfterUtcSeconds);
    if (result == PlatformTlsResult::Ok) {
        CountServerHandshake(MetricHandshake::Ok);
        return true;
    }
    bool refused = result != PlatformTlsResult::Failed;
    CountServerHandshake(refused ? MetricHandshake::Refused : MetricHandshake::Failed);
    char reason[320];
    DescribeHandshake(result, error, Tls.caFile, reason, sizeof reason);
    snprintf(replyArea, ReplyAreaSize, "Unable to connect to server: %s", reason);
    if (refused)
        LogRefusedHandshake(result, reason, peer);
    NoteExchange(false, replyArea);
    return false;
}

bool MakeConnection(char* replyArea) {
    DropConnection();
    if (Tls.enabled && !Tls.pinValid) {
        // Never connected without the pin the settings meant to give.
        snprintf(replyArea, ReplyAreaSize,
                 "Unable to connect to server: ServerCertificateHash is not a SHA-256 fingerprint");
        NoteExchange(false, replyArea);
        return false;
    }
    ServerSocket = PlatformTcpSocket();
    // A socket that could not be made, or keep-alive that could not be set,
    // shows up as the connect's failure below.
    if (ServerSocket != PlatformNoSocket)
        PlatformSetKeepAlive(ServerSocket);
    int error = PlatformConnect(ServerSocket, ServerAddress,
                                static_cast<unsigned short>(ServerPort & 0xFFFF));
    if (error != 0) {
        snprintf(replyArea, ReplyAreaSize, "Unable to connect to server: Error %d", error);
        NoteExchange(false, replyArea);
        return false;
    }
    if (Tls.enabled && !MakeHandshake(replyArea)) {
        DropConnection();
        return false;
    }
    NoteServerConnected();
    return true;
}

bool ConnectToServer(char* replyArea) {
    if (!MakeConnection(replyArea)) {
        NoteConnectFailed(replyArea);
        return false;
    }
    NoteConnectMade();
    return true;
}

// The reply source of a real exchange: the persistent server connection.
long ReceiveFromServer(void*, char* buffer, size_t size, int waitMs, int* error) {
    if (ServerSession != nullptr) {
        // A negative wait is no limit here, as the plain receive below blocks.
        long got = PlatformTlsRecvWithin(ServerSession, buffer, size, waitMs);
        if (got == PlatformTimedOut)
            return ReceiveTimedOut;
        if (got < 0) {
            *error = PlatformSocketError();
            return ReceiveFailed;
        }
        return got;
    }
    if (waitMs >= 0 && PlatformWaitReadable(ServerSocket, waitMs) == 0)
        return ReceiveTimedOut;
    long got = PlatformRecv(ServerSocket, buffer, size);
    if (got < 0) {
        *error = PlatformSocketError();
        return ReceiveFailed;
    }
    return got;
}

} // namespace

bool StartServerLink() {
    ServerPort = ReadSetting("ServerPortNumber");
    char configured[sizeof ServerAddress];
    ReadSettingText("ServerAddress", configured, sizeof configured);
    char dotted[sizeof ServerAddress];
    bool resolved = PlatformResolveIPv4(configured, dotted, sizeof dotted);
    std::snprintf(ServerAddress, sizeof ServerAddress, "%s", resolved ? dotted : configured);
    ReadServerTlsSettings(ServerAddress, &Tls);
    // A new start tells of the first failure again.
    ServerUnreachable = false;
    return resolved;
}

const char* ServerLinkAddress() {
    return ServerAddress;
}

unsigned short ServerLinkPort() {
    return static_cast<unsigned short>(ServerPort & 0xFFFF);
}

bool ReadyServerLink(char* replyArea) {
    if (!ReconnectNeeded && !DrainIdleConnection())
        ReconnectNeeded = true;
    if (ReconnectNeeded && !ConnectToServer(replyArea))
        return false;
    ReconnectNeeded = false;
    return true;
}

bool SendToServer(const char* message, int length, char* replyArea) {
    size_t size = static_cast<size_t>(length);
    if (Tls.enabled ? ServerSession != nullptr && PlatformTlsSend(ServerSession, message, size) >= 0
                    : PlatformSend(ServerSocket, message, size) >= 0)
        return true;
    ReconnectNeeded = true;
    snprintf(replyArea, ReplyAreaSize, "Unable to send data: Error %d", PlatformSocketError());
    NoteExchange(false, replyArea);
    return false;
}

int CollectServerReply(char* replyArea, int replyTimeoutSeconds) {
    int result =
        CollectReply(replyArea, replyTimeoutSeconds, ReplyReceiver{ReceiveFromServer, nullptr});
    NoteExchange(result == TransactionDone, replyArea);
    // A reply that failed or stopped short leaves the connection out of step.
    if (result != TransactionDone)
        ReconnectNeeded = true;
    return result;
}

void NoteExchange(bool reached, const char* failure) {
    if (reached) {
        NoteServerExchange(true, "");
        return;
    }
    size_t length = std::strlen(failure);
    if (length >= sizeof MaskedFailure)
        length = sizeof MaskedFailure - 1;
    std::memcpy(MaskedFailure, failure, length);
    MaskedFailure[length] = '\0';
    MaskDigitRuns(MaskedFailure, length);
    NoteServerExchange(false, MaskedFailure);
}

void CloseServerConnection() {
    DropConnection();
    ReconnectNeeded = true;
    NoteServerClosed();
}

bool ParseFingerprint(const char* text, unsigned char* out) {
    int digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        char c = *p;
        if (c == ':' || c == ' ')
            continue;
        int value = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (value < 0 || digits == 64)
            return false;
        if (digits % 2 == 0)
            out[digits / 2] = static_cast<unsigned char>(value << 4);
        else
            out[digits / 2] = static_cast<unsigned char>(out[digits / 2] | value);
        ++digits;
    }
    return digits == 64;
}

void ReadServerTlsSettings(const char* serverAddress, ServerTlsSettings* out) {
    *out = ServerTlsSettings{};
    out->enabled = ReadSetting("ServerTls") != 0;
    char file[sizeof out->caFile];
    ReadSettingText("ServerCaFile", file, sizeof file);
    bool full = file[0] == '/' || file[0] == '\\' || (file[0] != '\0' && file[1] == ':');
    if (file[0] == '\0' || full) {
        std::snprintf(out->caFile, sizeof out->caFile, "%s", file);
    } else {
        // The settings file lies beside the executable.
        size_t directory = static_cast<size_t>(FileNameOf(SettingsPath) - SettingsPath);
        size_t length = std::strlen(file);
        std::memcpy(out->caFile, SettingsPath, directory);
        std::memcpy(out->caFile + directory, file, length + 1);
    }
    ReadSettingText("ServerTlsName", out->name, sizeof out->name);
    if (out->name[0] == '\0')
        std::snprintf(out->name, sizeof out->name, "%s", serverAddress);
    char hash[128];
    ReadSettingText("ServerCertificateHash", hash, sizeof hash);
    if (hash[0] != '\0') {
        out->pinned = ParseFingerprint(hash, out->pin);
        out->pinValid = out->pinned;
    }
}

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
    int fileError = 0;
    if (caFile != nullptr && caFile[0] != '\0' && PlatformTlsCountCaFile(caFile, &fileError) == 0)
        std::snprintf(out, size, "ServerCaFile %s holds no usable certificate (Error %d)", caFile,
                      fileError);
    else if (error == PlatformErrorTimedOut)
        std::snprintf(out, size, "TLS handshake timed out");
    else if (error == 0)
        std::snprintf(out, size, "TLS handshake failed: closed by the server");
    else
        std::snprintf(out, size, "TLS handshake failed: Error %d", error);
}
