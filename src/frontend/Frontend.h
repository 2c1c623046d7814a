// Frontend.h - the HTTP side: the listener and the per-connection thread.
#pragma once

#include "platform/Platform.h"

// Start-time settings, written by RunListener before any connection thread.
extern int ListenPort;
extern bool VoidAllowed;

// One accepted connection, owned by its connection thread.
struct ConnectionRecord {
    PlatformSocket socket;
    char clientAddress[32];
};

// Serves connections until StopEvent is set or the listening socket fails.
int RunListener();

// Thread procedure: answers one request on a ConnectionRecord and frees it.
unsigned HandleConnection(void* record);

// The status port ("StatusPort", off at 0, on "StatusAddress"): started by
// RunListener once it listens, ended when its accept loop has ended. A bind
// failure is logged and leaves the tills' listener alone.
void StartStatusListener();
void EndStatusListener();
