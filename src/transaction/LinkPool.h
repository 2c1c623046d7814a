// LinkPool.h - the server links and the order in which transactions get
// them: one link, or one per address of TerminalAddresses, each carrying one
// transaction at a time, granted to the transactions in the order they
// asked. While the server cannot be reached, one transaction at a time tries
// it and the others are answered at once with the last connect error.
#pragma once

#include "ServerLink.h"

struct PlatformEvent;

// Reads TerminalAddresses (see Settings.h) and makes one link per address,
// or a single link, each without a connection. Called at start. False, with
// the problem in why, when the list is not all usable: the usable part is
// used.
bool StartLinkPool(char* why, size_t size);
// The links' terminal addresses; 0 of them: a single link, TerminalAddress
// read per transaction.
int PoolTerminals(int* out, int max);

// A transaction's hold on a link. With number wanted (only with terminal
// addresses), the grant also takes the sale's sequence number: numbers are
// taken under one lock, in the order links are granted, and never from two
// threads at once (the counter file's lock is per open file).
struct LinkTurn {
    ServerLink* link = nullptr;
    bool wantsNumber = false;
    bool numbered = false; // a number was taken: number, or error when it failed
    int number = -1;
    int numberError = 0;
    bool trying = false; // the link had no connection when granted: a connect try
    unsigned long long downSeen = 0;
};

enum class TurnResult { Granted, ServerDown, Timeout, Stopped };

// Waits at most waitMs for a link, in arrival order, unless stopEvent is set
// first. ServerDown, with the last connect error in downText (ReplyAreaSize
// bytes, never the reply area, which may hold the items): the server is
// known unreachable and another transaction is trying it, or a try failed
// while this one waited.
TurnResult TakeLink(PlatformEvent* stopEvent, unsigned waitMs, LinkTurn* turn, char* downText);
// ReadyServerLink for the turn's link, the outcome of a connect noted for
// the transactions that come after.
bool ReadyTurnLink(LinkTurn* turn, char* replyArea);
// Hands the link to the longest waiter, or frees it.
void GiveBackLink(LinkTurn* turn);
