// StatusPort.cpp - the status port for monitoring: a second listener, off
// unless "StatusPort" is set, bound to "StatusAddress" only. It answers
// GET /health, GET /metrics and the status page at GET / with the gateway's
// header block, one answer per connection, each connection on a thread of
// its own so that a silent client holds up no one. "Allowed Clients" does
// not apply here: the address the port is bound to decides who can reach it.
#include "StatusPort.h"

#include "Counter.h"
#include "HttpStatus.h"
#include "HttpText.h"
#include "Log.h"
#include "Metrics.h"
#include "Platform.h"
#include "Settings.h"
#include "StatusPage.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// A monitor sends its request with the connection; one that does not gets
// no answer after this long.
constexpr int StatusRequestWaitMs = 2000;
constexpr size_t StatusRequestMax = 1023;
// Room for the header block and the whole metrics text (about 7 KB); the
// page gets StatusPageSize more.
constexpr size_t StatusAreaSize = 32 * 1024;
constexpr size_t StatusStackSize = 64 * 1024;
constexpr unsigned FailedAcceptPauseMs = 10;

PlatformSocket StatusSocket = PlatformNoSocket;
PlatformThread* StatusThread = nullptr;
PlatformEvent* StatusStopEvent = nullptr;

void LogStatusError(int error, int port) {
    char line[96];
    if (error == PlatformErrorAddressInUse)
        std::snprintf(line, sizeof line, "Status port error %d: Port %d is in use", error, port);
    else
        std::snprintf(line, sizeof line, "Status port error %d", error);
    // The tills are still served: a warning.
    WriteLogLine(line, LogEvent::Warning);
}

// The path of a "GET <path> ..." request, cut at the query; null for any
// other method.
const char* RequestedPath(char* request) {
    if (std::strncmp(request, "GET ", 4) != 0)
        return nullptr;
    char* path = request + 4;
    path[std::strcspn(path, " ?\r\n")] = '\0';
    return path;
}

// Writes the whole answer for the path (null: not a GET) into area; returns
// its length.
size_t AnswerStatusRequest(const char* path, char* area, size_t size) {
    char date[64];
    FormatHttpDate(PlatformUtcMilliseconds(), date, sizeof date);
    const char* status = StatusOk;
    char body[192] = "OK";
    bool metrics = false, page = false;
    if (path == nullptr) {
        status = StatusMethodNotAllowed;
        std::snprintf(body, sizeof body, "%s", BodyMethodNotAllowed);
    } else if (std::strcmp(path, "/metrics") == 0) {
        metrics = true;
    } else if (std::strcmp(path, "/") == 0) {
        page = true;
    } else if (std::strcmp(path, "/health") == 0) {
        // "OK" alone while on the transaction server: monitors match it.
        char backup[64];
        if (!ServerHealthy(body, sizeof body))
            status = StatusServiceUnavailable;
        else if (BackupInUse(backup, sizeof backup))
            std::snprintf(body, sizeof body, "OK, on the backup transaction server %s", backup);
    } else {
        status = StatusNotFound;
        std::snprintf(body, sizeof body, "%s", BodyFileNotFound);
    }
    size_t used = FormatHeaderBlock(area, size, status, date, metrics);
    if (metrics) {
        int next = 0;
        int error = PeekSequenceNumber(&next);
        bool known = error == 0 || error == PlatformFileNotFound;
        return used + FormatMetrics(area + used, size - used, known, next);
    }
    if (page)
        return used + FormatStatusPage(area + used, size - used);
    size_t length = std::strlen(body);
    std::memcpy(area + used, body, length);
    return used + length;
}

unsigned ServeStatusConnection(void* parameter) {
    PlatformSocket socket = reinterpret_cast<PlatformSocket>(parameter);
    char request[StatusRequestMax + 1];
    long got = PlatformRecvWithin(socket, request, StatusRequestMax, StatusRequestWaitMs);
    const char* path = nullptr;
    size_t size = StatusAreaSize;
    if (got > 0) {
        request[got] = '\0';
        path = RequestedPath(request);
        if (path != nullptr && std::strcmp(path, "/") == 0)
            size += StatusPageSize;
    }
    char* area = got > 0 ? new (std::nothrow) char[size] : nullptr;
    if (area != nullptr) {
        size_t length = AnswerStatusRequest(path, area, size);
        for (size_t sent = 0; sent < length;) {
            long n = PlatformSend(socket, area + sent, length - sent);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        delete[] area;
    }
    PlatformCloseSocket(socket);
    return 0;
}

unsigned AcceptStatusConnections(void*) {
    while (!PlatformEventIsSet(StatusStopEvent)) {
        if (PlatformWaitAcceptOrEvent(StatusSocket, StatusStopEvent) != 1)
            break;
        char peer[32];
        PlatformSocket socket = PlatformAccept(StatusSocket, peer, sizeof peer);
        if (socket == PlatformNoSocket) {
            PlatformSleepMs(FailedAcceptPauseMs);
            continue;
        }
        if (!PlatformStartThread(ServeStatusConnection, reinterpret_cast<void*>(socket),
                                 StatusStackSize))
            PlatformCloseSocket(socket);
    }
    return 0;
}

} // namespace

void StartStatusListener(PlatformEvent* stopEvent) {
    NoteStatusPageStart();
    int configured = ReadSetting("StatusPort");
    unsigned short port = PortFrom(configured);
    if (port == 0)
        return;
    char address[32];
    ReadSettingText("StatusAddress", address, sizeof address);
    StatusStopEvent = stopEvent;

    PlatformSocket socket = PlatformTcpSocket();
    if (socket == PlatformNoSocket) {
        LogStatusError(PlatformSocketError(), configured);
        return;
    }
    int error = PlatformBind(socket, address, port);
    if (error == 0)
        error = PlatformListen(socket, 64);
    if (error == 0) {
        StatusSocket = socket;
        StatusThread = PlatformStartJoinableThread(AcceptStatusConnections, nullptr, 0);
        if (StatusThread != nullptr)
            return;
        error = PlatformLastError();
    }
    LogStatusError(error, configured);
    PlatformCloseSocket(socket);
    StatusSocket = PlatformNoSocket;
}

void EndStatusListener() {
    if (StatusThread == nullptr)
        return;
    // The tills' listener ends on a stop, or when its wait fails, which
    // ends the gateway all the same: either way the status port goes too.
    PlatformSetEvent(StatusStopEvent);
    PlatformJoinThread(StatusThread);
    StatusThread = nullptr;
    PlatformCloseSocket(StatusSocket);
    StatusSocket = PlatformNoSocket;
}
