// ServerHosts.cpp - which of the two hosts new connections go to.
#include "ServerHosts.h"

#include "Events.h"
#include "Log.h"
#include "Metrics.h"
#include "Platform.h"
#include "SettingRules.h"
#include "Settings.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Set by StartServerHosts before the listener starts; read-only afterwards.
ServerHost Hosts[2];
int HostCount = 1;
bool BackupResolved = true;
int ConnectLimitMs = 5000;
int64_t FailBackMs = 300 * 1000;

std::mutex Guard; // all below
int InUse = PrimaryHost;
int64_t BackupSinceMs = 0; // when the backup was last chosen over the server
bool Probing = false;      // a link is trying the server again
bool Unreachable[2] = {};  // the last connect to the host failed

bool ReadHost(ServerHost* host, const char* configured, int port, bool backup) {
    char dotted[sizeof host->address];
    bool resolved = PlatformResolveIPv4(configured, dotted, sizeof dotted);
    std::snprintf(host->address, sizeof host->address, "%s", resolved ? dotted : configured);
    host->port = PortFrom(port);
    std::snprintf(host->where, sizeof host->where, "%s:%d", host->address, host->port);
    host->backup = backup;
    ReadServerTlsSettings(host->address, &host->tls, backup);
    return resolved;
}

// What to tell, composed under the guard and written after it.
struct Told {
    char event[600] = "";
    char line[128] = "";
    LogEvent lineKind = LogEvent::None;
    void Say() const {
        if (event[0] != '\0')
            ReportLogEvent(LogEvent::Warning, event);
        if (line[0] != '\0')
            WriteLogLine(line, lineKind);
    }
};

const char* HostWords(int host) {
    return host == BackupHost ? "backup transaction server" : "transaction server";
}

} // namespace

bool StartServerHosts() {
    char configured[sizeof Hosts[0].address];
    ReadSettingText("ServerAddress", configured, sizeof configured);
    int port = ReadSetting("ServerPortNumber");
    bool resolved = ReadHost(&Hosts[PrimaryHost], configured, port, false);
    ReadSettingText("BackupServerAddress", configured, sizeof configured);
    HostCount = configured[0] != '\0' ? 2 : 1;
    int backupPort = ReadSetting("BackupServerPort");
    if (HostCount == 2)
        BackupResolved = ReadHost(&Hosts[BackupHost], configured,
                                  PortFrom(backupPort) != 0 ? backupPort : port, true);
    // The client certificate, the same for both hosts, on /metrics from the
    // start.
    int64_t clientNotAfter = 0;
    if (ReadClientCertificateEnd(Hosts[PrimaryHost].tls, &clientNotAfter))
        NoteClientCertificate(clientNotAfter);
    ConnectLimitMs = ReadSetting("ServerConnectTimeout") * 1000;
    FailBackMs = static_cast<int64_t>(ReadSetting("ServerFailBackSeconds")) * 1000;
    std::lock_guard<std::mutex> hold(Guard);
    InUse = PrimaryHost;
    Probing = false;
    // A new start tells of the first failure again.
    Unreachable[0] = Unreachable[1] = false;
    NoteBackupInUse(false, "");
    return resolved;
}

int ServerHostCount() {
    return HostCount;
}

const ServerHost& GetServerHost(int host) {
    return Hosts[host];
}

int ServerConnectLimitMs() {
    return ConnectLimitMs;
}

int ChooseHost(int connectedHost) {
    if (HostCount == 1)
        return PrimaryHost;
    std::lock_guard<std::mutex> hold(Guard);
    if (InUse == PrimaryHost || connectedHost == PrimaryHost)
        return PrimaryHost;
    if (!Probing && PlatformMonotonicMs() - BackupSinceMs >= FailBackMs) {
        Probing = true;
        return PrimaryHost;
    }
    return BackupHost;
}

void NoteHostReached(int host) {
    Told told;
    {
        std::lock_guard<std::mutex> hold(Guard);
        if (Unreachable[host])
            std::snprintf(told.event, sizeof told.event, "The %s %.47s is reachable again.",
                          HostWords(host), Hosts[host].where);
        Unreachable[host] = false;
        if (host == PrimaryHost)
            Probing = false;
        if (host != InUse) {
            InUse = host;
            BackupSinceMs = PlatformMonotonicMs();
            NoteBackupInUse(host == BackupHost, Hosts[host].where);
            std::snprintf(told.line, sizeof told.line,
                          host == BackupHost ? "Using the backup transaction server %.47s"
                                             : "Back on the transaction server %.47s",
                          Hosts[host].where);
            told.lineKind = host == BackupHost ? LogEvent::Warning : LogEvent::Information;
        }
    }
    told.Say();
}

void NoteHostFailed(int host, const char* replyArea) {
    Told told;
    {
        std::lock_guard<std::mutex> hold(Guard);
        if (!Unreachable[host]) {
            const char prefix[] = "Unable to connect to server: ";
            const char* reason = replyArea;
            if (std::strncmp(reason, prefix, sizeof prefix - 1) == 0)
                reason += sizeof prefix - 1;
            std::snprintf(told.event, sizeof told.event, "Unable to reach the %s %.47s: %s",
                          HostWords(host), Hosts[host].where, reason);
        }
        Unreachable[host] = true;
        if (host == PrimaryHost && InUse == BackupHost) {
            // The try of the server failed: the backup again for a while.
            Probing = false;
            BackupSinceMs = PlatformMonotonicMs();
        }
    }
    told.Say();
}

void LogServerHostSettings() {
    char line[1024];
    if (HostCount == 2 && !BackupResolved) {
        std::snprintf(line, sizeof line,
                      "Unable to resolve the backup transaction server name %s; using it as "
                      "written.",
                      Hosts[BackupHost].address);
        WriteLogLine(line, LogEvent::Warning);
    }
    if (!Hosts[PrimaryHost].tls.enabled)
        return;
    const char* caFile = Hosts[PrimaryHost].tls.caFile;
    char why[320];
    if (caFile[0] != '\0' && !CheckCaFile(caFile, why, sizeof why)) {
        std::snprintf(line, sizeof line, "ServerCaFile %s %s: no TLS connection can be made.",
                      caFile, why);
        WriteLogLine(line, LogEvent::Error);
    }
    if (!Hosts[PrimaryHost].tls.clientHashValid)
        WriteLogLine("ServerClientCertificateHash is not a SHA-256 fingerprint (64 hex digits, "
                     "colons allowed): no TLS connection can be made.",
                     LogEvent::Error);
    for (int host = 0; host < HostCount; ++host) {
        if (Hosts[host].tls.pinValid)
            continue;
        std::snprintf(line, sizeof line,
                      "%s is not a SHA-256 fingerprint (64 hex digits, colons allowed): no "
                      "connection is made to the %s %s.",
                      FingerprintKeyName(host == BackupHost), HostWords(host), Hosts[host].where);
        WriteLogLine(line, LogEvent::Error);
    }
}
