// Readiness.cpp - what the service manager is told about the listener
// (systemd's notify protocol; nothing is sent without $NOTIFY_SOCKET): ready
// once the port listens, a watchdog ping from the listener's own loop, so a
// listener that stops passing stops the pings, and stopping.
#include "Readiness.h"

#include "Metrics.h"
#include "Platform.h"

#include <cstdio>
#include <cstring>

namespace {

// Touched by the listener's thread only.
int ListeningPort = 0;
int64_t PingEveryMs = 0; // 0: no watchdog asked for
int64_t NextPingMs = 0;
char CountedDay[64] = "";
uint64_t CountedBeforeToday = 0;

// "STATUS=" and one short line: the port, the server link, today's count.
// The day is the local one; a gateway started today counts from its start.
void FormatStatus(char* out, size_t size) {
    char date[64];
    char time[32];
    PlatformLocalDateTime(date, sizeof date, time, sizeof time);
    uint64_t counted = CountedTransactions();
    if (std::strcmp(date, CountedDay) != 0) {
        if (CountedDay[0] != '\0')
            CountedBeforeToday = counted;
        std::snprintf(CountedDay, sizeof CountedDay, "%s", date);
    }
    std::snprintf(out, size, "STATUS=Listening on port %d; server %s; %llu transactions today",
                  ListeningPort, ServerConnected() ? "connected" : "not connected",
                  static_cast<unsigned long long>(counted - CountedBeforeToday));
}

// One datagram: the state line ("READY=1", "WATCHDOG=1") and the status line.
void TellWithStatus(const char* state) {
    char text[192];
    int used = std::snprintf(text, sizeof text, "%s\n", state);
    FormatStatus(text + used, sizeof text - static_cast<size_t>(used));
    PlatformNotifyServiceManager(text);
}

} // namespace

void TellServiceManagerReady(int port) {
    ListeningPort = port;
    PingEveryMs = PlatformWatchdogPingIntervalMs();
    NextPingMs = PlatformMonotonicMs() + PingEveryMs;
    TellWithStatus("READY=1");
}

int TellServiceManagerAlive(int64_t nowMs) {
    if (PingEveryMs <= 0)
        return -1;
    if (nowMs >= NextPingMs) {
        TellWithStatus("WATCHDOG=1");
        NextPingMs = nowMs + PingEveryMs;
    }
    return static_cast<int>(NextPingMs - nowMs);
}

void TellServiceManagerStopping() {
    PlatformNotifyServiceManager("STOPPING=1");
}
