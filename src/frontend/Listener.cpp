// Listener.cpp - the gateway's listening socket: reads the start-time
// settings, binds the HTTP port on all local addresses and gives every
// accepted connection a thread of its own until the stop event is set.
#include "frontend/Frontend.h"

#include "files/Files.h"
#include "transaction/Transaction.h"

#include <cstdio>
#include <new>

int ListenPort = 80;
bool VoidAllowed = false;

namespace {

// Connection threads get a small stack so that many clients can be served at
// once; 16 KB is the Windows figure. On Linux the C library keeps the thread's
// own control block and thread-local storage inside that stack too: a
// connection's deepest use, measured on a pattern-filled stack over every kind
// of request (a sale with reconnect, debug output, a 2047-byte request), was
// about 12 KB, so 16 KB would leave only 4 KB. 32 KB leaves 20 KB.
#ifdef _WIN32
constexpr size_t ConnectionStackSize = 0x4000;
#else
constexpr size_t ConnectionStackSize = 0x8000;
#endif

// The largest backlog the system will give.
constexpr int ListenBacklog = 0x7fffffff;

// After a failed accept (out of descriptors, say) the connection may still be
// waiting; a short pause keeps the loop from spinning on it.
constexpr unsigned FailedAcceptPauseMs = 10;

void LogError(const char* format, int code) {
    char line[96];
    std::snprintf(line, sizeof line, format, code);
    WriteLogLine(line);
}

void DebugLine(const char* text) {
    if (DebugMode) {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
}

// Hands an accepted socket to a connection thread of its own. If that cannot
// be done the connection is dropped, and nothing is leaked.
void StartConnection(PlatformSocket socket, const char* peer) {
    ConnectionRecord* record = new (std::nothrow) ConnectionRecord;
    if (record == nullptr) {
        PlatformCloseSocket(socket);
        return;
    }
    record->socket = socket;
    std::snprintf(record->clientAddress, sizeof record->clientAddress, "%s", peer);
    if (!PlatformStartThread(HandleConnection, record, ConnectionStackSize)) {
        PlatformCloseSocket(socket);
        delete record;
    }
}

void AcceptUntilStopped(PlatformSocket listener) {
    while (!PlatformEventIsSet(StopEvent)) {
        // 0: the event was set; -1: the wait itself failed. Either ends it.
        if (PlatformWaitAcceptOrEvent(listener, StopEvent) != 1)
            break;
        char peer[32] = "";
        PlatformSocket socket = PlatformAccept(listener, peer, sizeof peer);
        if (socket == PlatformNoSocket) {
            PlatformSleepMs(FailedAcceptPauseMs);
            continue;
        }
        if (peer[0] == 0) {
            PlatformCloseSocket(socket);
            continue;
        }
        StartConnection(socket, peer);
    }
}

} // namespace

int RunListener() {
    PlatformSocketStartup();
    ListenPort = ReadSetting("ListenPortNumber", 80);
    ServerPort = ReadSetting("ServerPortNumber", 3770);
    VoidAllowed = ReadSetting("AllowVoid", 0) != 0;
    if (DebugMode) {
        std::printf("Begin Listener thread [%d]\n", ListenPort);
        std::fflush(stdout);
    }

    PlatformSocket listener = PlatformTcpSocket();
    if (listener == PlatformNoSocket) {
        LogError("Socket error %d", PlatformSocketError());
    } else {
        int error = PlatformBind(listener, nullptr, static_cast<unsigned short>(ListenPort));
        if (error == PlatformErrorAddressInUse) {
            char line[96];
            std::snprintf(line, sizeof line, "Bind error %d: Port %d is in use", error, ListenPort);
            WriteLogLine(line);
        } else if (error != 0) {
            LogError("Bind error %d", error);
        } else if ((error = PlatformListen(listener, ListenBacklog)) != 0) {
            LogError("Listen error %d", error);
        } else {
            StartStatusListener();
            AcceptUntilStopped(listener);
            EndStatusListener();
        }
        PlatformCloseSocket(listener);
    }

    PlatformSocketCleanup();
    DebugLine("End Listener thread\n");
    return 0;
}
