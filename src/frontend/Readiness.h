// Readiness.h - the service manager's view of the listener (systemd's notify
// protocol; nothing is sent without $NOTIFY_SOCKET).
#pragma once

#include <cstdint>

// Ready: the port listens.
void TellServiceManagerReady(int port);
// Alive: called from every pass of the listener's loop, pings the watchdog
// when a ping is due; returns the milliseconds until the next one, or -1
// when no watchdog was asked for.
int TellServiceManagerAlive(int64_t nowMs);
// Stopping: the listener leaves its loop.
void TellServiceManagerStopping();
