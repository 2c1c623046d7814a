// Frontend.h - the HTTP side: the listener, which watches every connection
// until its request is there and answers what needs no transaction, hands
// transactions to connection threads, and runs the status port beside it.
#pragma once

struct PlatformEvent;

// Reads the start-time settings, binds the listen port and serves
// connections until stopEvent is set or the listening socket fails.
int RunListener(PlatformEvent* stopEvent);

// The status port ("StatusPort", off at 0, on "StatusAddress"): started by
// RunListener once it listens, ended when its accept loop has ended, which
// sets stopEvent. A bind failure is logged and leaves the tills' listener
// alone.
void StartStatusListener(PlatformEvent* stopEvent);
void EndStatusListener();
