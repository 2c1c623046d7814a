// StatusPort.h - the status port for monitoring ("StatusPort", off at 0, on
// "StatusAddress"): GET /health, GET /metrics and the status page at GET /,
// one answer per connection.
#pragma once

struct PlatformEvent;

// Started by the listener once it listens; a bind failure is logged and
// leaves the tills' listener alone.
void StartStatusListener(PlatformEvent* stopEvent);
// Sets stopEvent and waits until the status port's accept loop has ended.
void EndStatusListener();
