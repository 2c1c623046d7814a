// LinkPool.cpp - the links, granted in arrival order: a transaction that
// finds no free link waits in a queue, and a link given back goes straight
// to the longest waiter, waking that one alone.
#include "LinkPool.h"

#include "Metrics.h"
#include "SettingRules.h"
#include "Settings.h"
#include "Transaction.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace {

// How often a waiting transaction looks at the stop event.
constexpr int StopCheckMs = 100;

using Place = LinkTurn::Place;

std::mutex Guard; // everything below, the links that are free and the turns' places
ServerLink Links[MaxTerminalAddresses];
int Terminals[MaxTerminalAddresses];
int TerminalCount = 0; // 0: one link, TerminalAddress per transaction
int LinkCount = 1;
ServerLink* Free[MaxTerminalAddresses];
int FreeCount = 0;
// Whether each link was in step when last given back; how many were.
bool Up[MaxTerminalAddresses];
int UpCount = 0;
LinkTurn* Head = nullptr;
LinkTurn* Tail = nullptr;

// The server's reachability as the last connect try found it. Each failed
// try starts a new generation: a transaction that waited through one is
// answered with its error rather than trying again.
bool Down = false;
char DownText[ReplyAreaSize];
unsigned long long DownGeneration = 0;
int Tries = 0; // links being connected by the transactions holding them

bool FailsFast(const LinkTurn& turn, const ServerLink* link) {
    return link->reconnectNeeded && Down && (Tries > 0 || turn.downSeen != DownGeneration);
}

// A free link, one in step first.
ServerLink* TakeFree() {
    int pick = FreeCount - 1;
    for (int i = FreeCount - 1; i >= 0; --i) {
        if (!Free[i]->reconnectNeeded) {
            pick = i;
            break;
        }
    }
    ServerLink* link = Free[pick];
    Free[pick] = Free[--FreeCount];
    return link;
}

void Grant(LinkTurn* turn, ServerLink* link) {
    turn->link = link;
    turn->place = Place::Granted;
    if (link->reconnectNeeded) {
        turn->trying = true;
        ++Tries;
    }
}

LinkTurn* PopWaiter() {
    LinkTurn* waiter = Head;
    Head = waiter->next;
    if (Head == nullptr)
        Tail = nullptr;
    waiter->next = nullptr;
    return waiter;
}

void RemoveWaiter(LinkTurn* waiter) {
    LinkTurn** at = &Head;
    LinkTurn* before = nullptr;
    while (*at != waiter) {
        before = *at;
        at = &(*at)->next;
    }
    *at = waiter->next;
    if (Tail == waiter)
        Tail = before;
    waiter->next = nullptr;
    waiter->place = Place::None;
}

// The link to the longest waiter that can use it: those that would only try
// a server a failed try has just found down are answered on the way.
void HandOn(ServerLink* link) {
    while (Head != nullptr) {
        LinkTurn* waiter = PopWaiter();
        if (FailsFast(*waiter, link)) {
            waiter->place = Place::Down;
            waiter->wake.notify_one();
            continue;
        }
        Grant(waiter, link);
        waiter->wake.notify_one();
        return;
    }
    Free[FreeCount++] = link;
}

// Under Guard: the turn's link goes on to the next waiter.
void LetGo(LinkTurn* turn) {
    ServerLink* link = turn->link;
    turn->link = nullptr;
    turn->place = Place::None;
    if (turn->trying)
        --Tries; // given back without being made ready
    turn->trying = false;
    bool up = !link->reconnectNeeded;
    if (Up[link->index] != up) {
        Up[link->index] = up;
        UpCount += up ? 1 : -1;
    }
    HandOn(link);
}

void CopyDownText(char* out) {
    std::snprintf(out, ReplyAreaSize, "%s", DownText);
}

} // namespace

bool StartLinkPool(char* why, size_t size) {
    bool usable = ReadTerminalAddresses(Terminals, &TerminalCount, why, size);
    std::lock_guard<std::mutex> hold(Guard);
    LinkCount = TerminalCount > 0 ? TerminalCount : 1;
    ResetServerLinks(LinkCount);
    for (int i = 0; i < MaxTerminalAddresses; ++i)
        ResetServerLink(&Links[i], i, TerminalCount > 0 ? Terminals[i] : -1);
    FreeCount = 0;
    for (int i = LinkCount - 1; i >= 0; --i)
        Free[FreeCount++] = &Links[i];
    for (bool& up : Up)
        up = false;
    UpCount = 0;
    Head = Tail = nullptr;
    Down = false;
    DownText[0] = '\0';
    Tries = 0;
    return usable;
}

int PoolTerminals(int* out, int max) {
    int count = TerminalCount < max ? TerminalCount : max;
    for (int i = 0; i < count; ++i)
        out[i] = Terminals[i];
    return count;
}

TurnResult RequestLink(PlatformEvent* stopEvent, LinkTurn* turn, char* downText) {
    std::lock_guard<std::mutex> lock(Guard);
    turn->place = Place::None;
    if (stopEvent == nullptr || PlatformEventIsSet(stopEvent))
        return TurnResult::Stopped;
    turn->downSeen = DownGeneration;
    if (Head == nullptr && FreeCount > 0) {
        ServerLink* link = TakeFree();
        if (!FailsFast(*turn, link)) {
            Grant(turn, link);
            return TurnResult::Granted;
        }
        // Only links that would try a server being tried are free: wait for
        // one in step, if there is one.
        Free[FreeCount++] = link;
    }
    // Every link is down and being tried: no use queueing behind the tries.
    if (Down && Tries > 0 && UpCount == 0) {
        CopyDownText(downText);
        return TurnResult::ServerDown;
    }
    turn->place = Place::Waiting;
    turn->next = nullptr;
    (Tail != nullptr ? Tail->next : Head) = turn;
    Tail = turn;
    return TurnResult::Queued;
}

TurnResult AwaitLink(PlatformEvent* stopEvent, unsigned waitMs, LinkTurn* turn, char* downText) {
    std::unique_lock<std::mutex> lock(Guard);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    bool stopped = false;
    while (turn->place == Place::Waiting) {
        stopped = PlatformEventIsSet(stopEvent);
        auto now = std::chrono::steady_clock::now();
        if (stopped || now >= deadline)
            break;
        turn->wake.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                      deadline - now, std::chrono::milliseconds(StopCheckMs)));
    }
    switch (turn->place) {
    case Place::None:
        return TurnResult::Stopped; // never queued
    case Place::Waiting:
        RemoveWaiter(turn);
        return stopped ? TurnResult::Stopped : TurnResult::Timeout;
    case Place::Down:
        turn->place = Place::None;
        CopyDownText(downText);
        return TurnResult::ServerDown;
    case Place::Granted:
        break;
    }
    // A stop wins over a grant that came while queued; the link goes on.
    if (PlatformEventIsSet(stopEvent)) {
        LetGo(turn);
        return TurnResult::Stopped;
    }
    return TurnResult::Granted;
}

TurnResult TakeLink(PlatformEvent* stopEvent, unsigned waitMs, LinkTurn* turn, char* downText) {
    TurnResult result = RequestLink(stopEvent, turn, downText);
    return result == TurnResult::Queued ? AwaitLink(stopEvent, waitMs, turn, downText) : result;
}

bool ReadyTurnLink(LinkTurn* turn, char* replyArea) {
    bool tried = false;
    bool ready = ReadyServerLink(turn->link, replyArea, &tried);
    std::lock_guard<std::mutex> hold(Guard);
    if (turn->trying)
        --Tries;
    turn->trying = false;
    if (tried && ready) {
        Down = false;
    } else if (tried) {
        Down = true;
        std::snprintf(DownText, sizeof DownText, "%s", replyArea);
        ++DownGeneration;
    }
    return ready;
}

void GiveBackLink(LinkTurn* turn) {
    std::lock_guard<std::mutex> hold(Guard);
    if (turn->place == Place::Waiting)
        RemoveWaiter(turn);
    else if (turn->link != nullptr)
        LetGo(turn);
    turn->place = Place::None;
}
