// Listener.cpp - the gateway's listening socket: reads the start-time
// settings, binds the HTTP port on all local addresses and, on this one
// thread, accepts every connection, keeps it in its wait set until its
// request is there (at most 5 s), answers what needs no transaction and hands
// transactions to connection threads, until the stop event is set.
#include "Connection.h"
#include "Frontend.h"

#include "Files.h"
#include "Settings.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>

namespace {

// The largest backlog the system will give.
constexpr int ListenBacklog = 0x7fffffff;

// How long a connection may wait for its request before it is closed unanswered.
constexpr int64_t RequestWaitMs = 5000;

// How often the cap asks whether a crowded address is listed.
constexpr int64_t ListedReadEveryMs = 1000;

// After a failed accept (out of descriptors, say) the connection may still be
// waiting; a short pause keeps the loop from spinning on it.
constexpr unsigned FailedAcceptPauseMs = 10;

// Connections taken per wake before the waiting ones get their turn again.
constexpr int AcceptBatch = 64;

// Below this many descriptors a crowd of silent connections can keep tills out.
constexpr long DescriptorsWanted = 4096;

// A listener that cannot listen: an error for the Event Log too.
void LogError(const char* format, int code) {
    char line[96];
    std::snprintf(line, sizeof line, format, code);
    WriteLogLine(line, LogEvent::Error);
}

void DebugLine(const char* text) {
    if (DebugMode) {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
}

// A connection waiting for its request, in the waiting list.
struct WaitingConnection {
    ConnectionRecord connection;
    int64_t deadlineMs; // monotonic: a silent client is let go then
    WaitingConnection* older;
    WaitingConnection* newer;
};

// The connections waiting for their request, oldest first: all wait the
// same time, so the oldest is always the next to be let go.
struct WaitingList {
    WaitingConnection* oldest = nullptr;
    WaitingConnection* newest = nullptr;
};

// What the cap knows of one address.
struct AddressWaits {
    int waiting = 0;
    bool asked = false; // "Allowed Clients" asked about it yet
    bool listed = false;
    int64_t askedMs = 0;
};

// Everything the listener's loop owns: its socket and wait set, the waiting
// connections, and the record every connection is accepted into and the
// area every request is read into, both made once. A refusal costs no
// allocation; a connection that has to wait gets a record of its own, a
// transaction a copy of both. Nothing a crowd made outlives it.
struct ListenerState {
    ListenerRun run;
    // Connections from one address that may wait for their request at once; 0: no cap.
    int maxPendingPerAddress;
    PlatformSocket socket;
    PlatformWaitSet* set;
    WaitingList waiting;
    std::unordered_map<std::string, AddressWaits> byAddress;
    ConnectionRecord current;
    char area[WorkAreaSize];
};

void AppendWaiting(WaitingList* list, WaitingConnection* record) {
    record->older = list->newest;
    record->newer = nullptr;
    (list->newest != nullptr ? list->newest->newer : list->oldest) = record;
    list->newest = record;
}

void UnlinkWaiting(WaitingList* list, WaitingConnection* record) {
    (record->older != nullptr ? record->older->newer : list->oldest) = record->newer;
    (record->newer != nullptr ? record->newer->older : list->newest) = record->older;
}

// A listed address is never capped: it is whom the cap protects, and
// several tills, or a till and its test scripts, may share it. Asked at most
// once a second per address, so a crowd costs no settings read per
// connection; an edit of the list reaches the cap within that second.
bool IsListed(AddressWaits* address, const char* text, int64_t nowMs) {
    if (!address->asked || nowMs - address->askedMs >= ListedReadEveryMs) {
        address->listed = ReadClientNumber(text) != 0;
        address->asked = true;
        address->askedMs = nowMs;
    }
    return address->listed;
}

// Whether a new connection is beyond its address's cap: an address that is
// not listed may have MaxPendingPerAddress connections waiting, and one
// more from it is closed at once, unread and unanswered, so a silent crowd
// from one address holds no more than the cap.
bool OverCap(ListenerState* state, const ConnectionRecord* record) {
    if (state->maxPendingPerAddress <= 0)
        return false;
    auto entry = state->byAddress.find(record->clientAddress);
    return entry != state->byAddress.end() &&
           entry->second.waiting >= state->maxPendingPerAddress &&
           !IsListed(&entry->second, record->clientAddress, PlatformMonotonicMs());
}

// Watches a connection that has sent nothing yet. False: it cannot be
// watched, and the caller closes it.
bool KeepWaiting(ListenerState* state, WaitingConnection* record) {
    ConnectionRecord* connection = &record->connection;
    if (!PlatformWatchSocket(state->set, connection->socket, record))
        return false;
    AnnounceConnection(connection);
    ++state->byAddress[connection->clientAddress].waiting;
    record->deadlineMs = PlatformMonotonicMs() + RequestWaitMs;
    AppendWaiting(&state->waiting, record);
    return true;
}

// Takes a connection off the waiting list once the set has reported it.
void StopWaiting(ListenerState* state, WaitingConnection* record) {
    UnlinkWaiting(&state->waiting, record);
    auto entry = state->byAddress.find(record->connection.clientAddress);
    if (entry != state->byAddress.end() && --entry->second.waiting <= 0)
        state->byAddress.erase(entry);
}

// A connection whose wait is over at nowMs, taken off the set and the list.
WaitingConnection* TakeExpired(ListenerState* state, int64_t nowMs) {
    WaitingConnection* record = state->waiting.oldest;
    if (record == nullptr || record->deadlineMs > nowMs)
        return nullptr;
    PlatformUnwatchSocket(state->set, record->connection.socket);
    StopWaiting(state, record);
    return record;
}

// Milliseconds until the next wait is over (-1: nobody waits).
int NextTimeoutMs(const ListenerState* state, int64_t nowMs) {
    const WaitingConnection* record = state->waiting.oldest;
    if (record == nullptr)
        return -1;
    int64_t left = record->deadlineMs - nowMs;
    return left < 0 ? 0 : static_cast<int>(left);
}

// Closes, unanswered, every waiting connection whose wait is over at nowMs.
void CloseExpired(ListenerState* state, int64_t nowMs) {
    while (WaitingConnection* record = TakeExpired(state, nowMs)) {
        CloseConnection(&record->connection);
        delete record;
    }
}

// Reads what has come, without waiting, into the listener's area.
long ReceiveWhatCame(ListenerState* state, ConnectionRecord* record) {
    record->area = state->area;
    long received = PlatformRecv(record->socket, state->area, RequestMaxBytes);
    if (received < 0 && PlatformSocketError() == PlatformErrorWouldBlock)
        return PlatformTimedOut;
    return received;
}

// Answers or hands on a request; a failed receive gets no answer.
void FinishRequest(ListenerState* state, ConnectionRecord* record, long received) {
    if (received >= 0)
        ServeRequest(state->run, record, received);
    else
        CloseConnection(record);
}

// Takes in up to a batch of waiting connections.
void AcceptSome(ListenerState* state) {
    ConnectionRecord* current = &state->current;
    for (int i = 0; i < AcceptBatch; ++i) {
        if (!AcceptConnection(state->socket, current)) {
            if (PlatformSocketError() != PlatformErrorWouldBlock)
                PlatformSleepMs(FailedAcceptPauseMs);
            return;
        }
        if (OverCap(state, current)) {
            CloseConnection(current);
            continue;
        }
        long received = ReceiveWhatCame(state, current);
        if (received == PlatformTimedOut) {
            WaitingConnection* kept =
                new (std::nothrow) WaitingConnection{*current, 0, nullptr, nullptr};
            if (kept != nullptr && KeepWaiting(state, kept))
                continue;
            delete kept;
            received = -1;
        }
        FinishRequest(state, current, received);
    }
}

// A waiting connection has turned readable.
void ServeReported(ListenerState* state, WaitingConnection* record) {
    ConnectionRecord* connection = &record->connection;
    long received = ReceiveWhatCame(state, connection);
    // Nothing after all: it goes on waiting, in its place.
    if (received == PlatformTimedOut && PlatformWatchSocket(state->set, connection->socket, record))
        return;
    StopWaiting(state, record);
    FinishRequest(state, connection, received);
    delete record;
}

// Serves connections until the stop event is set or the wait fails; then
// closes, unanswered, those still waiting.
void ServeUntilStopped(ListenerState* state) {
    void* ready[64];
    while (!PlatformEventIsSet(state->run.stopEvent)) {
        FlushConsoleBatch(); // before the wait, never during it
        PlatformWaitSetReport report;
        int64_t nowMs = PlatformMonotonicMs();
        int timeoutMs = NextTimeoutMs(state, nowMs);
        int pingMs = TellServiceManagerAlive(nowMs);
        if (pingMs >= 0 && (timeoutMs < 0 || pingMs < timeoutMs))
            timeoutMs = pingMs;
        // A set event, or a wait that fails, ends it.
        if (!PlatformWaitSetWait(state->set, timeoutMs, ready, 64, &report) || report.eventSet)
            break;
        for (int i = 0; i < report.readyCount; ++i)
            ServeReported(state, static_cast<WaitingConnection*>(ready[i]));
        if (report.connectionWaiting)
            AcceptSome(state);
        // Nothing within the wait: no answer.
        CloseExpired(state, PlatformMonotonicMs());
    }
    CloseExpired(state, INT64_MAX);
}

// Raises the descriptor limit, and says once when it stays low.
void RaiseDescriptorLimit() {
    long limit = PlatformRaiseDescriptorLimit();
    if (limit >= 0 && limit < DescriptorsWanted) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Only %ld descriptors may be open (hard limit); %ld or more keep a crowd of "
                      "silent connections from holding tills up",
                      limit, DescriptorsWanted);
        WriteLogLine(line, LogEvent::Warning);
    }
}

} // namespace

int RunListener(PlatformEvent* stopEvent) {
    PlatformSocketStartup();
    int listenPort = ReadSetting("ListenPortNumber");
    ListenerRun run{stopEvent, ReadSetting("AllowVoid") != 0};
    int maxPendingPerAddress = ReadSetting("MaxPendingPerAddress");
    if (DebugMode) {
        std::printf("Begin Listener thread [%d]\n", listenPort);
        std::fflush(stdout);
    }
    RaiseDescriptorLimit();

    PlatformSocket listener = PlatformTcpSocket();
    if (listener == PlatformNoSocket) {
        LogError("Socket error %d", PlatformSocketError());
    } else {
        int error = PlatformBind(listener, nullptr, static_cast<unsigned short>(listenPort));
        if (error == PlatformErrorAddressInUse) {
            char line[96];
            std::snprintf(line, sizeof line, "Bind error %d: Port %d is in use", error, listenPort);
            WriteLogLine(line, LogEvent::Error);
        } else if (error != 0) {
            LogError("Bind error %d", error);
        } else if ((error = PlatformListen(listener, ListenBacklog)) != 0) {
            LogError("Listen error %d", error);
        } else if (PlatformWaitSet* set = PlatformCreateWaitSet(listener, stopEvent)) {
            StartStatusListener(stopEvent);
            if (DebugMode)
                BeginConsoleBatch();
            ListenerState state{};
            state.run = run;
            state.maxPendingPerAddress = maxPendingPerAddress;
            state.socket = listener;
            state.set = set;
            // Room for the addresses of a crowd, made now rather than in the middle of one.
            state.byAddress.reserve(64);
            TellServiceManagerReady(PlatformLocalPort(listener));
            ServeUntilStopped(&state);
            TellServiceManagerStopping();
            EndConsoleBatch();
            EndStatusListener();
            PlatformDestroyWaitSet(set);
        } else {
            LogError("Listen error %d", PlatformSocketError());
        }
        PlatformCloseSocket(listener);
    }

    PlatformSocketCleanup();
    DebugLine("End Listener thread\n");
    return 0;
}
