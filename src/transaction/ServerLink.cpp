// ServerLink.cpp - one persistent connection to a transaction server: made
// when first needed and after every failure, within ServerConnectTimeout,
// checked and drained before each message, never retried once a send has
// started. With ServerTls=1 it is a TLS session, whose handshake is made
// with each new connection; nothing goes over the bare socket then.
#include "ServerLink.h"

#include "Fingerprint.h"
#include "Log.h"
#include "Metrics.h"
#include "Reply.h"
#include "ServerHosts.h"
#include "Text.h"
#include "TlsRefusal.h"
#include "Transaction.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// More than this waiting on an idle connection is not a stray reply.
constexpr long MaxStrayBytes = 64 * 1024;

// The handshake is made by the transaction holding the link. A server that
// takes the connection but never finishes a handshake gives it up after
// this, well inside the 10 s a queued transaction waits for a link; a
// handshake on a slow line takes a few round trips, far less.
constexpr int HandshakeLimitMs = 5000;

// A refused or timed-out handshake is logged at most once an hour for each
// reason; the slot after the results' is the time-out's.
constexpr int64_t RefusalLogIntervalMs = 3600 * 1000;
constexpr size_t TlsResults = static_cast<size_t>(PlatformTlsResult::Failed) + 1;
std::mutex RefusalGuard;
bool RefusalLogged[TlsResults + 1];
int64_t RefusalLoggedAtMs[TlsResults + 1];

// Tells the status port how an exchange went, with card numbers masked in
// the failure text.
void NoteExchange(bool reached, const char* failure) {
    if (reached) {
        NoteServerExchange(true, "");
        return;
    }
    char masked[ReplyAreaSize];
    size_t length = std::strlen(failure);
    if (length >= sizeof masked)
        length = sizeof masked - 1;
    std::memcpy(masked, failure, length);
    masked[length] = '\0';
    MaskDigitRuns(masked, length);
    NoteServerExchange(false, masked);
}

// Tells the status port the link's state.
void NoteLink(const ServerLink* link) {
    ServerLinkState state{};
    state.terminal = link->terminal;
    state.connected = !link->reconnectNeeded;
    if (link->host >= 0) {
        const ServerHost& host = GetServerHost(link->host);
        state.backup = host.backup;
        std::snprintf(state.host, sizeof state.host, "%s", host.where);
        state.tls = host.tls.enabled;
    }
    state.certificateNotAfter = link->certificateNotAfter;
    NoteServerLink(link->index, state);
}

void MarkOutOfStep(ServerLink* link) {
    if (link->reconnectNeeded)
        return;
    link->reconnectNeeded = true;
    NoteLink(link);
}

// Receives what is already there, without waiting: the count, 0 when the
// server has closed, -1 on failure, PlatformTimedOut when there is nothing.
// Over TLS that includes bytes already decrypted inside the session.
long ReceiveWaiting(ServerLink* link, char* buffer, size_t size) {
    if (link->session != nullptr)
        return PlatformTlsRecvWithin(link->session, buffer, size, 0);
    int ready = PlatformWaitReadable(link->socket, 0);
    if (ready <= 0)
        return ready == 0 ? PlatformTimedOut : -1;
    return PlatformRecv(link->socket, buffer, size);
}

bool SessionRefused(ServerLink* link, char* replyArea);

// Discards bytes waiting on the idle connection: they are a late or surplus
// reply to an earlier transaction and must not be taken for this one's.
// Returns false when the server has closed or reset the connection.
bool DrainIdleConnection(ServerLink* link, char* replyArea) {
    char scratch[1024];
    long discarded = 0;
    for (;;) {
        long got = ReceiveWaiting(link, scratch, sizeof scratch);
        if (got == PlatformTimedOut)
            return true;
        if (got <= 0) {
            SessionRefused(link, replyArea);
            return false;
        }
        discarded += got;
        if (discarded > MaxStrayBytes)
            return false;
    }
}

void DropConnection(ServerLink* link) {
    PlatformTlsClose(link->session);
    link->session = nullptr;
    PlatformCloseSocket(link->socket);
    link->socket = PlatformNoSocket;
}

// The one place a refused or timed-out handshake is logged.
void LogHandshake(size_t kind, const ServerHost& host, const char* reason,
                  const PlatformTlsPeer& peer) {
    const char* outcome = kind == TlsResults ? "failed" : "refused";
    {
        std::lock_guard<std::mutex> hold(RefusalGuard);
        int64_t now = PlatformMonotonicMs();
        if (RefusalLogged[kind] && now - RefusalLoggedAtMs[kind] < RefusalLogIntervalMs)
            return;
        RefusalLogged[kind] = true;
        RefusalLoggedAtMs[kind] = now;
    }
    char line[1024];
    int length = std::snprintf(line, sizeof line, "TLS handshake with the %s %s %s: %s",
                               host.backup ? "backup transaction server" : "transaction server",
                               host.where, outcome, reason);
    if (peer.haveCertificate && length > 0 && static_cast<size_t>(length) < sizeof line) {
        char fingerprint[FingerprintTextSize];
        FormatFingerprint(peer.sha256, fingerprint, sizeof fingerprint);
        std::snprintf(line + length, sizeof line - static_cast<size_t>(length),
                      " (certificate %s, issued by %s, SHA-256 %s)", peer.subject, peer.issuer,
                      fingerprint);
    }
    WriteLogLine(line, LogEvent::Warning);
}

// A handshake with host that did not succeed, or a session the server ended
// over our client certificate: counted, the till's text in replyArea, a
// refusal or a time-out logged, the status port told.
void HandshakeFailed(const ServerHost& host, PlatformTlsResult result, int error,
                     const PlatformTlsPeer& peer, char* replyArea) {
    bool refused = result != PlatformTlsResult::Failed;
    CountServerHandshake(refused ? MetricHandshake::Refused : MetricHandshake::Failed);
    char reason[320];
    DescribeHandshake(result, error, host.tls.caFile, reason, sizeof reason);
    snprintf(replyArea, ReplyAreaSize, "Unable to connect to server: %s", reason);
    if (refused)
        LogHandshake(static_cast<size_t>(result), host, reason, peer);
    else if (error == PlatformErrorTimedOut)
        LogHandshake(TlsResults, host, reason, peer);
    NoteExchange(false, replyArea);
}

// After a send or receive that found the link's session failed or ended:
// true, with the till's text in replyArea, when the server ended it by
// refusing our client certificate or its lack, as a TLS 1.3 server does once
// the handshake is done. Nothing sent over such a session was taken.
bool SessionRefused(ServerLink* link, char* replyArea) {
    if (link->session == nullptr)
        return false;
    PlatformTlsResult result = PlatformTlsRefusal(link->session);
    if (result == PlatformTlsResult::Ok)
        return false;
    HandshakeFailed(GetServerHost(link->host), result, 0, PlatformTlsPeer{}, replyArea);
    return true;
}

// The end date of the client certificate, for /metrics: read again with each
// connection, since a renewed file is taken then.
void NoteClientCertificateEnd(const ServerTlsSettings& tls) {
    int64_t notAfter = 0;
    if (ReadClientCertificateEnd(tls, &notAfter))
        NoteClientCertificate(notAfter);
}

// Makes the TLS session over the connected socket. False, with the till's
// text in replyArea, when the handshake was refused or failed.
bool MakeHandshake(ServerLink* link, const ServerHost& host, char* replyArea) {
    PlatformTlsConfig config;
    MakeTlsConfig(host.tls, HandshakeLimitMs, &config);
    NoteClientCertificateEnd(host.tls);
    PlatformTlsPeer peer;
    int error = 0;
    PlatformTlsResult result =
        PlatformTlsConnect(link->socket, config, &link->session, &peer, &error);
    if (peer.haveCertificate) {
        NoteServerCertificate(peer.notAfterUtcSeconds);
        link->certificateNotAfter = peer.notAfterUtcSeconds;
    }
    if (result == PlatformTlsResult::Ok) {
        CountServerHandshake(MetricHandshake::Ok);
        return true;
    }
    HandshakeFailed(host, result, error, peer, replyArea);
    return false;
}

bool MakeConnection(ServerLink* link, const ServerHost& host, char* replyArea) {
    DropConnection(link);
    const char* unusable = host.tls.enabled ? UnusableTlsSetting(host.tls, host.backup) : nullptr;
    if (unusable != nullptr) {
        // Never connected without the pin or certificate the settings meant
        // to give.
        snprintf(replyArea, ReplyAreaSize,
                 "Unable to connect to server: %s is not a SHA-256 fingerprint", unusable);
        NoteExchange(false, replyArea);
        return false;
    }
    link->socket = PlatformTcpSocket();
    // A socket that could not be made, or keep-alive that could not be set,
    // shows up as the connect's failure below.
    if (link->socket != PlatformNoSocket)
        PlatformSetKeepAlive(link->socket);
    int error =
        PlatformConnectWithin(link->socket, host.address, host.port, ServerConnectLimitMs());
    if (error != 0) {
        snprintf(replyArea, ReplyAreaSize, "Unable to connect to server: Error %d", error);
        NoteExchange(false, replyArea);
        return false;
    }
    if (host.tls.enabled && !MakeHandshake(link, host, replyArea)) {
        DropConnection(link);
        return false;
    }
    NoteServerConnected();
    return true;
}

// Connects to first, and on failure to the other host: nothing has been
// sent, so trying the other is safe.
bool ConnectToServer(ServerLink* link, int first, char* replyArea) {
    for (int attempt = 0; attempt < ServerHostCount(); ++attempt) {
        int host = (first + attempt) % ServerHostCount();
        link->host = host;
        if (MakeConnection(link, GetServerHost(host), replyArea)) {
            NoteHostReached(host);
            link->reconnectNeeded = false;
            NoteLink(link);
            return true;
        }
        NoteHostFailed(host, replyArea);
    }
    DropConnection(link);
    NoteLink(link);
    return false;
}

// The reply source of a real exchange: the link's connection.
long ReceiveFromServer(void* context, char* buffer, size_t size, int waitMs, int* error) {
    ServerLink* link = static_cast<ServerLink*>(context);
    if (link->session != nullptr) {
        // A negative wait is no limit here, as the plain receive below blocks.
        long got = PlatformTlsRecvWithin(link->session, buffer, size, waitMs);
        if (got == PlatformTimedOut)
            return ReceiveTimedOut;
        if (got < 0) {
            *error = PlatformSocketError();
            return ReceiveFailed;
        }
        return got;
    }
    if (waitMs >= 0 && PlatformWaitReadable(link->socket, waitMs) == 0)
        return ReceiveTimedOut;
    long got = PlatformRecv(link->socket, buffer, size);
    if (got < 0) {
        *error = PlatformSocketError();
        return ReceiveFailed;
    }
    return got;
}

} // namespace

void ResetServerLink(ServerLink* link, int index, int terminal) {
    DropConnection(link);
    *link = ServerLink{};
    link->index = index;
    link->terminal = terminal;
    NoteLink(link);
}

bool ReadyServerLink(ServerLink* link, char* replyArea, bool* tried) {
    *tried = false;
    int wanted = ChooseHost(link->reconnectNeeded ? -1 : link->host);
    if (!link->reconnectNeeded && (wanted != link->host || !DrainIdleConnection(link, replyArea)))
        MarkOutOfStep(link);
    if (!link->reconnectNeeded)
        return true;
    *tried = true;
    return ConnectToServer(link, wanted, replyArea);
}

bool SendToServer(ServerLink* link, const char* message, int length, char* replyArea) {
    size_t size = static_cast<size_t>(length);
    if (link->session != nullptr ? PlatformTlsSend(link->session, message, size) >= 0
                                 : !GetServerHost(link->host).tls.enabled &&
                                       PlatformSend(link->socket, message, size) >= 0)
        return true;
    MarkOutOfStep(link);
    int error = PlatformSocketError();
    if (!SessionRefused(link, replyArea)) {
        snprintf(replyArea, ReplyAreaSize, "Unable to send data: Error %d", error);
        NoteExchange(false, replyArea);
    }
    return false;
}

TransactionResult CollectServerReply(ServerLink* link, char* replyArea, int replyTimeoutSeconds) {
    TransactionResult result =
        CollectReply(replyArea, replyTimeoutSeconds, ReplyReceiver{ReceiveFromServer, link});
    if (result != TransactionResult::Done && SessionRefused(link, replyArea))
        result = TransactionResult::Refused;
    else
        NoteExchange(result == TransactionResult::Done, replyArea);
    // A reply that failed or stopped short leaves the connection out of step.
    if (result != TransactionResult::Done)
        MarkOutOfStep(link);
    return result;
}
