// ServerLink.cpp - the one persistent connection to the transaction server:
// made when first needed and after every failure, checked and drained before
// each message, never retried once a send has started. With ServerTls=1 it is
// a TLS session, whose handshake is made with each new connection; nothing
// goes over the bare socket then.
#include "ServerLink.h"

#include "Events.h"
#include "Fingerprint.h"
#include "Log.h"
#include "Metrics.h"
#include "Platform.h"
#include "Reply.h"
#include "Settings.h"
#include "Text.h"
#include "TlsRefusal.h"
#include "TlsSettings.h"
#include "Transaction.h"

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

// Tells the status port how an exchange went, with card numbers masked in
// the failure text.
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
        char fingerprint[FingerprintTextSize];
        FormatFingerprint(peer.sha256, fingerprint, sizeof fingerprint);
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
    int error = PlatformConnect(ServerSocket, ServerAddress, PortFrom(ServerPort));
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
    // A new start begins without a connection.
    DropConnection();
    ReconnectNeeded = true;
    NoteServerClosed();
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
    return PortFrom(ServerPort);
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

TransactionResult CollectServerReply(char* replyArea, int replyTimeoutSeconds) {
    TransactionResult result =
        CollectReply(replyArea, replyTimeoutSeconds, ReplyReceiver{ReceiveFromServer, nullptr});
    NoteExchange(result == TransactionResult::Done, replyArea);
    // A reply that failed or stopped short leaves the connection out of step.
    if (result != TransactionResult::Done)
        ReconnectNeeded = true;
    return result;
}
