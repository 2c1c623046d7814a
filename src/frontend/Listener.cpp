// Listener.cpp - the gateway's listening socket: reads the start-time
// settings, binds the HTTP port on all local addresses and, on this one
// thread, accepts every connection, keeps it waiting until its request is
// there (RequestWait.h), answers what needs no transaction and hands
// transactions to connection threads, until the stop event is set.
#include "Listener.h"

#include "Connection.h"
#include "ConsoleLines.h"
#include "Files.h"
#include "Log.h"
#include "Readiness.h"
#include "RequestWait.h"
#include "Settings.h"
#include "StatusPort.h"
#include "Text.h"

#include <cstdint>
#include <cstdio>
#include <new>

namespace {

// The largest backlog the system will give.
constexpr int ListenBacklog = 0x7fffffff;

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

// Everything the listener's loop owns: its socket, the connections waiting
// for their request, and the record every connection is accepted into and
// the area every request is read into, both made once. A refusal costs no
// allocation; a connection that has to wait gets a record of its own, a
// transaction a copy of both. Nothing a crowd made outlives it.
struct ListenerState {
    ListenerRun run;
    PlatformSocket socket;
    PlatformWaitSet* set;
    RequestWait* waiting;
    ConnectionRecord current;
    char area[WorkAreaSize];
};

// Reads what has come, without waiting, into the listener's area.
long ReceiveWhatCame(ListenerState* state, ConnectionRecord* record) {
    record->area = state->area;
    long received = PlatformRecv(record->socket, state->area, RequestMaxBytes);
    if (received < 0 && PlatformSocketError() == PlatformErrorWouldBlock)
        return PlatformTimedOut;
    return received;
}

// Answers or hands on a request; a failed receive gets no answer. The area
// held the request, card item and all: it is wiped before the next one.
void FinishRequest(ListenerState* state, ConnectionRecord* record, long received) {
    if (received >= 0) {
        ServeRequest(state->run, record, received);
        WipeBytes(state->area, sizeof state->area);
    } else {
        CloseConnection(record);
    }
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
        if (OverCap(state->waiting, current)) {
            CloseConnection(current);
            continue;
        }
        long received = ReceiveWhatCame(state, current);
        if (received == PlatformTimedOut) {
            if (WaitForRequest(state->waiting, *current))
                continue;
            received = -1;
        }
        FinishRequest(state, current, received);
    }
}

// A waiting connection has turned readable.
void ServeReported(ListenerState* state, void* tag) {
    ConnectionRecord* connection = WaitingRecord(tag);
    long received = ReceiveWhatCame(state, connection);
    // Nothing after all: it goes on waiting, in its place.
    if (received == PlatformTimedOut && WatchAgain(state->waiting, tag))
        return;
    FinishRequest(state, connection, received);
    StopWaiting(state->waiting, tag);
}

// Serves connections until the stop event is set or the wait fails; then
// closes, unanswered, those still waiting.
void ServeUntilStopped(ListenerState* state) {
    void* ready[64];
    while (!PlatformEventIsSet(state->run.stopEvent)) {
        FlushConsoleBatch(); // before the wait, never during it
        PlatformWaitSetReport report;
        int64_t nowMs = PlatformMonotonicMs();
        int timeoutMs = NextTimeoutMs(state->waiting, nowMs);
        int pingMs = TellServiceManagerAlive(nowMs);
        if (pingMs >= 0 && (timeoutMs < 0 || pingMs < timeoutMs))
            timeoutMs = pingMs;
        // A set event, or a wait that fails, ends it.
        if (!PlatformWaitSetWait(state->set, timeoutMs, ready, 64, &report) || report.eventSet)
            break;
        for (int i = 0; i < report.readyCount; ++i)
            ServeReported(state, ready[i]);
        if (report.connectionWaiting)
            AcceptSome(state);
        // Nothing within the wait: no answer.
        CloseExpired(state->waiting, PlatformMonotonicMs());
    }
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

// The listener's life once its port listens: the status port beside it, the
// service manager told, and every connection served until the stop.
void ServeListening(const ListenerRun& run, PlatformSocket listener, PlatformWaitSet* set,
                    int maxPendingPerAddress) {
    auto* state = new (std::nothrow) ListenerState{run, listener, set, nullptr, {}, {}};
    RequestWait* waiting = state != nullptr ? StartRequestWait(set, maxPendingPerAddress) : nullptr;
    if (waiting == nullptr) {
        WriteLogLine("Unable to start the listener: out of memory", LogEvent::Error);
        delete state;
        return;
    }
    state->waiting = waiting;
    StartStatusListener(run.stopEvent);
    if (DebugMode)
        BeginConsoleBatch();
    TellServiceManagerReady(PlatformLocalPort(listener));
    ServeUntilStopped(state);
    TellServiceManagerStopping();
    EndConsoleBatch();
    EndStatusListener();
    EndRequestWait(waiting);
    delete state;
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
        int error = PlatformBind(listener, nullptr, PortFrom(listenPort));
        if (error == PlatformErrorAddressInUse) {
            char line[96];
            std::snprintf(line, sizeof line, "Bind error %d: Port %d is in use", error, listenPort);
            WriteLogLine(line, LogEvent::Error);
        } else if (error != 0) {
            LogError("Bind error %d", error);
        } else if ((error = PlatformListen(listener, ListenBacklog)) != 0) {
            LogError("Listen error %d", error);
        } else if (PlatformWaitSet* set = PlatformCreateWaitSet(listener, stopEvent)) {
            ServeListening(run, listener, set, maxPendingPerAddress);
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
