// RequestWait.h - the connections accepted whose request has not come yet:
// each waits at most 5 s for its first bytes and is then closed unanswered,
// and an address that is not listed may have at most MaxPendingPerAddress
// of them waiting at once. They wait in the listener's wait set, not in a
// thread of their own; only the listener's thread touches them.
#pragma once

#include "Connection.h"

#include <cstdint>

// How long a connection may wait for its request before it is closed unanswered.
constexpr int64_t RequestWaitMs = 5000;

struct RequestWait;

// Null when out of memory. maxPendingPerAddress 0: no cap.
RequestWait* StartRequestWait(PlatformWaitSet* set, int maxPendingPerAddress);
// Closes, unanswered, every connection still waiting, and frees the rest.
void EndRequestWait(RequestWait* wait);

// Whether an accepted connection is beyond its address's cap (it is then
// closed at once, unread and unanswered, so a silent crowd from one address
// holds no more than the cap). A listed address is never capped.
bool OverCap(RequestWait* wait, const ConnectionRecord* accepted);

// Keeps an accepted connection that sent nothing yet, as a copy, watched in
// the wait set with the copy as its tag. False: it cannot be watched, and
// the caller closes it.
bool WaitForRequest(RequestWait* wait, const ConnectionRecord& accepted);

// The connection of a tag the wait set reported readable.
ConnectionRecord* WaitingRecord(void* tag);
// Watches a reported connection again, in its place, when it had nothing to
// read after all. False when it cannot be watched.
bool WatchAgain(RequestWait* wait, void* tag);
// Forgets a reported connection once the caller has finished with it.
void StopWaiting(RequestWait* wait, void* tag);

// Milliseconds until the next wait is over (-1: nobody waits).
int NextTimeoutMs(const RequestWait* wait, int64_t nowMs);
// Closes, unanswered, every waiting connection whose wait is over at nowMs.
void CloseExpired(RequestWait* wait, int64_t nowMs);
