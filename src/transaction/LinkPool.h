// LinkPool.h - the server links and the order in which transactions get
// them: one link, or one per address of TerminalAddresses, each carrying one
// transaction at a time, granted to the transactions in the order they
// asked. While the server cannot be reached, one transaction at a time tries
// it and the others are answered at once with the last connect error. A
// transaction may take its place first and wait later, so that it can take a
// place in another queue in the same order (the sale records', whose numbers
// follow it): each link then sends its numbers in order.
#pragma once

#include "ServerLink.h"

#include <condition_variable>

struct PlatformEvent;

// Reads TerminalAddresses (see Settings.h) and makes one link per address,
// or a single link, each without a connection. Called at start. False, with
// the problem in why, when the list is not all usable: the usable part is
// used.
bool StartLinkPool(char* why, size_t size);
// The links' terminal addresses; 0 of them: a single link, TerminalAddress
// read per transaction.
int PoolTerminals(int* out, int max);

// A transaction's hold on a link, and its place in the queue while it waits
// for one.
struct LinkTurn {
    ServerLink* link = nullptr;
    bool trying = false; // the link had no connection when granted: a connect try
    unsigned long long downSeen = 0;
    enum class Place { None, Waiting, Granted, Down } place = Place::None;
    std::condition_variable wake;
    LinkTurn* next = nullptr;
};

enum class TurnResult { Granted, Queued, ServerDown, Timeout, Stopped };

// Takes a free link when none is waited for (Granted), or else a place in
// the queue (Queued), which AwaitLink waits in and GiveBackLink leaves.
// Transactions are granted links in the order they took their places. Never
// waits. ServerDown, with the last connect error in downText (ReplyAreaSize
// bytes, never the reply area, which may hold the items): the server is
// known unreachable and another transaction is trying it.
TurnResult RequestLink(PlatformEvent* stopEvent, LinkTurn* turn, char* downText);
// After RequestLink: waits at most waitMs for the link unless stopEvent is
// set first, and leaves the queue unless granted. ServerDown as RequestLink,
// or a try failed while this one waited.
TurnResult AwaitLink(PlatformEvent* stopEvent, unsigned waitMs, LinkTurn* turn, char* downText);
// RequestLink and AwaitLink in one.
TurnResult TakeLink(PlatformEvent* stopEvent, unsigned waitMs, LinkTurn* turn, char* downText);
// ReadyServerLink for the turn's link, the outcome of a connect noted for
// the transactions that come after.
bool ReadyTurnLink(LinkTurn* turn, char* replyArea);
// Hands the turn's link to the longest waiter, or frees it; a turn still
// waiting leaves the queue.
void GiveBackLink(LinkTurn* turn);
