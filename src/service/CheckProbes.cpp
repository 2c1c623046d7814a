// CheckProbes.cpp - what "check" tries beyond the file, changing nothing: the
// client certificate loaded, a connect to the transaction server and its
// backup (and their TLS handshakes) with nothing sent, a bind of each port
// let go at once, a read of the counter and of the records a start would
// recover.
#include "CheckProbes.h"

#include "Counter.h"
#include "Fingerprint.h"
#include "Platform.h"
#include "Recovery.h"
#include "Settings.h"
#include "TlsRefusal.h"
#include "TlsSettings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int HandshakeLimitMs = 5000;
// A TLS server answers a client hello within a round trip or two.
constexpr int TlsSniffLimitMs = 1000;
// A certificate that ends sooner is worth a warning.
constexpr int64_t ExpiryWarningSeconds = 30 * 86400;
// A TLS 1.3 server that asked for our certificate judges it after the
// handshake: its refusal comes within this.
constexpr int VerdictWaitMs = 1000;

std::string UtcText(int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    const std::tm* utc = std::gmtime(&time);
    char text[32] = "?";
    if (utc != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
    return text;
}

std::string Fingerprint(const unsigned char* sha256) {
    char text[FingerprintTextSize];
    FormatFingerprint(sha256, text, sizeof text);
    return text;
}

void WarnOfEnd(CheckReport* report, const char* whose, int64_t notAfterUtcSeconds) {
    int64_t left = notAfterUtcSeconds - PlatformUtcMilliseconds() / 1000;
    if (left < ExpiryWarningSeconds)
        ReportNow(report, false,
                  std::string(whose) + " certificate expires in " + std::to_string(left / 86400) +
                      " days, on " + UtcText(notAfterUtcSeconds));
}

// The client certificate as the handshake would load it: its facts, and an
// error for a refusal that the keys' own rules have not already reported.
// False when no handshake can be made with it.
bool ProbeClientCertificate(CheckReport* report, const ServerTlsSettings& tls,
                            const CheckTargets& targets) {
    if (!HasClientCertificate(tls))
        return true;
    for (const char* key : {"ServerClientCertificateFile", "ServerClientKeyFile"}) {
        if (std::find(targets.faultyKeys.begin(), targets.faultyKeys.end(), key) !=
            targets.faultyKeys.end())
            return false;
    }
    PlatformTlsConfig config;
    MakeTlsConfig(tls, HandshakeLimitMs, &config);
    PlatformTlsClientCertificate facts;
    int error = 0;
    PlatformTlsResult result = PlatformTlsLoadClientCertificate(config, &facts, &error);
    if (facts.haveCertificate) {
        std::printf("Client certificate: %s\n", facts.subject);
        std::printf("  issued by: %s\n", facts.issuer);
        std::printf("  expires:   %s\n", UtcText(facts.notAfterUtcSeconds).c_str());
        std::printf("  SHA-256:   %s\n", Fingerprint(facts.sha256).c_str());
    }
    if (result != PlatformTlsResult::Ok) {
        char reason[512];
        DescribeHandshake(result, error, nullptr, reason, sizeof reason);
        std::string named =
            tls.clientHashSet
                ? "ServerClientCertificateHash " + Fingerprint(tls.clientSha256)
                : std::string("ServerClientCertificateFile ") + tls.clientCertificateFile;
        ReportNow(report, true, named + ": " + reason);
        return false;
    }
    WarnOfEnd(report, "the client", facts.notAfterUtcSeconds);
    return true;
}

// The handshake over the connected socket, as the gateway would make it,
// with the certificate shown whenever one came.
void ProbeHandshake(CheckReport* report, PlatformSocket socket, const std::string& where,
                    const ServerTlsSettings& tls, bool backup, bool clientUsable) {
    if (const char* unusable = UnusableTlsSetting(tls, backup)) {
        ReportNow(report, true,
                  std::string("no TLS handshake tried: ") + unusable + " is not valid");
        return;
    }
    if (!clientUsable) {
        std::printf("TLS: no handshake tried without the client certificate\n");
        return;
    }
    PlatformTlsConfig config;
    MakeTlsConfig(tls, HandshakeLimitMs, &config);
    PlatformTls* session = nullptr;
    PlatformTlsPeer peer;
    int error = 0;
    PlatformTlsResult result = PlatformTlsConnect(socket, config, &session, &peer, &error);
    if (result == PlatformTlsResult::Ok && peer.clientCertificateRequested &&
        std::strcmp(peer.protocol, "TLSv1.3") == 0) {
        // Sending nothing, so that nothing can be taken.
        char scratch[256];
        long got = PlatformTlsRecvWithin(session, scratch, sizeof scratch, VerdictWaitMs);
        if (got != PlatformTimedOut && got <= 0)
            result = PlatformTlsRefusal(session);
    }
    PlatformTlsClose(session);
    if (result == PlatformTlsResult::Ok)
        std::printf("TLS: %s, %s\n", peer.protocol, peer.cipher);
    if (peer.haveCertificate) {
        std::printf("Certificate: %s\n", peer.subject);
        std::printf("  issued by: %s\n", peer.issuer);
        std::printf("  expires:   %s\n", UtcText(peer.notAfterUtcSeconds).c_str());
        std::printf("  SHA-256:   %s\n", Fingerprint(peer.sha256).c_str());
    }
    if (HasClientCertificate(tls) || peer.clientCertificateRequested)
        std::printf("Client certificate asked for: %s\n",
                    !peer.clientCertificateRequested ? "no, none sent"
                    : peer.clientCertificateSent     ? "yes, sent"
                                                     : "yes, none sent");
    if (result != PlatformTlsResult::Ok) {
        char reason[512];
        DescribeHandshake(result, error, tls.caFile, reason, sizeof reason);
        ReportNow(report, true, "TLS handshake with " + where + " (" + tls.name + "): " + reason);
        return;
    }
    WarnOfEnd(report, backup ? "the backup transaction server's" : "the transaction server's",
              peer.notAfterUtcSeconds);
}

// With ServerTls=0: whether the server answers a TLS handshake, which a
// plain server never does (it waits for the rest of a "message" instead).
// Only the handshake's first flight is sent.
bool AnswersTls(PlatformSocket socket) {
    PlatformTlsConfig config{nullptr, nullptr, nullptr, TlsSniffLimitMs};
    PlatformTls* session = nullptr;
    PlatformTlsPeer peer;
    int error = 0;
    PlatformTlsResult result = PlatformTlsConnect(socket, config, &session, &peer, &error);
    PlatformTlsClose(session);
    return result != PlatformTlsResult::Failed || peer.haveCertificate;
}

void ProbeHost(CheckReport* report, const std::string& address, int configuredPort, bool backup,
               bool clientUsable) {
    const char* what = backup ? "Backup transaction server" : "Transaction server";
    const std::string server =
        backup ? "the backup transaction server " : "the transaction server ";
    unsigned short port = PortFrom(configuredPort);
    if (address.empty() || port == 0) {
        std::printf("%s: not tried\n", what);
        return;
    }
    std::string where = address + ":" + std::to_string(port);
    PlatformSocket socket = PlatformTcpSocket();
    int limitMs = ReadSetting("ServerConnectTimeout") * 1000;
    int error = socket == PlatformNoSocket
                    ? PlatformSocketError()
                    : PlatformConnectWithin(socket, address.c_str(), port, limitMs);
    if (error == 0)
        std::printf("%s %s: connected\n", what, where.c_str());
    ServerTlsSettings tls;
    ReadServerTlsSettings(address.c_str(), &tls, backup);
    if (error == 0 && tls.enabled) {
        ProbeHandshake(report, socket, server + where, tls, backup, clientUsable);
    } else if (error == 0 && AnswersTls(socket)) {
        ReportNow(report, true,
                  server + where +
                      " answers a TLS handshake: set ServerTls=1, or every sale would end "
                      "in doubt");
    }
    PlatformCloseSocket(socket);
    if (error != 0)
        ReportNow(report, true, "cannot connect to " + server + where + ": " + ErrorWords(error));
}

} // namespace

void ProbeServer(CheckReport* report, const CheckTargets& targets) {
    // The client certificate is the same for both servers: shown once.
    ServerTlsSettings tls;
    ReadServerTlsSettings(targets.serverAddress.c_str(), &tls);
    bool clientUsable = !tls.enabled || ProbeClientCertificate(report, tls, targets);
    ProbeHost(report, targets.serverAddress, targets.serverPort, false, clientUsable);
    if (!targets.backupAddress.empty())
        ProbeHost(report, targets.backupAddress, targets.backupPort, true, clientUsable);
}

// Binds the port as its listener would and lets it go at once.
void ProbePort(CheckReport* report, const char* what, const char* address, int configured) {
    unsigned short port = PortFrom(configured);
    if (port == 0)
        return;
    PlatformSocket socket = PlatformTcpSocket();
    int error =
        socket == PlatformNoSocket ? PlatformSocketError() : PlatformBind(socket, address, port);
    PlatformCloseSocket(socket);
    std::string name = std::string(what) + " " + std::to_string(port);
    if (error == 0)
        std::printf("%s: free\n", name.c_str());
    else if (error == PlatformErrorAddressInUse)
        ReportNow(report, false, name + " is in use: the gateway may already be running");
    else if (error == PlatformErrorAccessDenied)
        ReportNow(report, false,
                  name + " may not be bound by this account (" + ErrorWords(error) +
                      "); the gateway's account needs that right");
    else
        ReportNow(report, true, name + " cannot be bound: " + ErrorWords(error));
}

void ShowSequence(CheckReport* report) {
    int next = 0;
    int error = PeekSequenceNumber(&next);
    if (error == 0)
        std::printf("Next sequence number: %d\n", next);
    else if (error == PlatformFileNotFound)
        std::printf("Next sequence number: 0 (no counter file yet)\n");
    else
        ReportNow(report, false,
                  std::string("the counter file cannot be read: ") + ErrorWords(error));
}

void ShowRecovery(CheckReport* report) {
    RecoveryPreview preview;
    PreviewRecovery(&preview);
    if (!preview.read) {
        ReportNow(report, false, "the record files cannot be read: " + preview.problem);
        return;
    }
    for (const std::string& journaled : preview.journaled)
        std::printf("In flight at the last stop, journaled before it: sequence %s\n",
                    journaled.c_str());
    std::printf("Duplicate window entries a start would bring back: %d\n", preview.windowed);
    int counted = 0;
    if (PeekSequenceNumber(&counted) == 0 && counted != preview.nextNumber)
        std::printf("A start would set the counter to %d, past the numbers recorded.\n",
                    preview.nextNumber);
    if (!preview.inDoubt.empty())
        ReportNow(report, false,
                  InDoubtSentence(preview.inDoubt) +
                      " A start journals them in doubt: look each one up in the transaction "
                      "server's records.");
}
