// Listener.h - the front end's face to the layers above: the tills' listener,
// which watches every connection until its request is there, answers what
// needs no transaction, hands transactions to connection threads, and runs
// the status port beside it.
#pragma once

struct PlatformEvent;

// Reads the start-time settings, binds the listen port and serves
// connections until stopEvent is set or the listening socket fails.
int RunListener(PlatformEvent* stopEvent);
