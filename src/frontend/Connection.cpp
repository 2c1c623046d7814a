// Connection.cpp - one connection's life after accept: its answer when the
// request needs no transaction, or its transaction on a connection thread of
// its own; exactly one response, then the close.
#include "Connection.h"

#include "ConsoleLines.h"
#include "Files.h"
#include "Journal.h"
#include "Metrics.h"
#include "Settings.h"
#include "Text.h"

#include <cstring>
#include <new>

bool AcceptConnection(PlatformSocket listener, ConnectionRecord* record) {
    record->socket =
        PlatformAcceptNonBlocking(listener, record->clientAddress, sizeof record->clientAddress);
    if (record->socket == PlatformNoSocket)
        return false;
    if (record->clientAddress[0] == 0) {
        PlatformCloseSocket(record->socket);
        return false;
    }
    CountConnectionOpened();
    record->announced = false;
    // The date tells when the client came, not when its request did.
    CurrentHttpDate(record->date, sizeof record->date);
    return true;
}

void AnnounceConnection(ConnectionRecord* record) {
    if (DebugMode && !record->announced)
        WriteConnectionLines(record->clientAddress, true, false);
    record->announced = true;
}

void SendAnswer(ConnectionRecord* record, HttpAnswer answer) {
    size_t length = BuildResponse(record->area, WorkAreaSize, answer, record->date);
    // Counted before it goes: a client that has its answer finds it counted.
    CountAnswer(answer.status);
    // A client that has gone away simply misses its answer. The socket does
    // not block, and the response is far smaller than its send buffer.
    PlatformSend(record->socket, record->area, length);
}

void CloseConnection(ConnectionRecord* record) {
    if (DebugMode)
        WriteConnectionLines(record->clientAddress, !record->announced, true);
    PlatformCloseSocket(record->socket);
    CountConnectionClosed();
    record->socket = PlatformNoSocket;
}

namespace {

// Connection threads get a small stack so that many transactions can wait at
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

// A transaction's connection, request and run, owned by its thread.
struct TransactionJob {
    ConnectionRecord record;
    PlatformEvent* stopEvent;
};

// Thread procedure: one transaction, its answer, and the end of the connection.
unsigned RunTransaction(void* parameter) {
    TransactionJob* job = static_cast<TransactionJob*>(parameter);
    ConnectionRecord* record = &job->record;
    TransactionRequest& request = record->decision.transaction;
    request.clientAddress = record->clientAddress;
    char* replyArea = ReplyAreaOf(record->area);
    TillAnswer answer = SendTransaction(replyArea, request, job->stopEvent);
    SendAnswer(record, HttpAnswer{answer.status, answer.body});
    // Only now, with the till answered and no lock held, may the journal's
    // housekeeping wait on the log file or the directory.
    RunJournalChores();
    CloseConnection(record);
    // The area held the card item.
    WipeBytes(record->area, WorkAreaSize);
    delete[] record->area;
    delete job;
    return 0;
}

// Where a pointer into one area lies in its copy.
const char* Moved(const char* item, const char* from, char* to) {
    return item != nullptr ? to + (item - from) : nullptr;
}

} // namespace

void ServeRequest(const ListenerRun& run, ConnectionRecord* record, long received) {
    record->area[received] = 0;
    RequestDecision& decision = record->decision;
    DecideRequest(record->area, ReadClientNumber(record->clientAddress), run.voidAllowed,
                  &decision);
    if (decision.transaction.code == 0) {
        SendAnswer(record, decision.answer);
        CloseConnection(record);
        return;
    }
    // Before the transaction, whose log lines the console shows in between.
    AnnounceConnection(record);
    FlushConsoleBatch();
    // The thread gets the connection and the request in memory of its own;
    // the items move with the area.
    TransactionJob* job = new (std::nothrow) TransactionJob{*record, run.stopEvent};
    char* area = new (std::nothrow) char[WorkAreaSize];
    if (job != nullptr && area != nullptr) {
        std::memcpy(area, record->area, WorkAreaSize);
        job->record.area = area;
        TransactionRequest& request = job->record.decision.transaction;
        request.card = Moved(decision.transaction.card, record->area, area);
        request.reference = Moved(decision.transaction.reference, record->area, area);
        if (PlatformStartThread(RunTransaction, job, ConnectionStackSize))
            return;
    }
    delete job;
    if (area != nullptr)
        WipeBytes(area, WorkAreaSize);
    delete[] area;
    // No thread for the transaction: dropped unanswered, as before it was read.
    CloseConnection(record);
}
