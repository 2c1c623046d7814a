// Listener.cpp - the gateway's listening socket: reads the start-time
// settings, binds the HTTP port on all local addresses and, on this one
// thread, accepts every connection, keeps it in its wait set until its
// request is there (at most 5 s), answers what needs no transaction and hands
// transactions to connection threads, until the stop event is set.
#include "frontend/Frontend.h"

#include "files/Files.h"
#include "transaction/Transaction.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>

int ListenPort = 80;
bool VoidAllowed = false;
int MaxPendingPerAddress = 32;

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

// Records in the order they came; all on one list wait the same time, so
// the oldest is always the next to be let go.
struct RecordList {
    ConnectionRecord* oldest = nullptr;
    ConnectionRecord* newest = nullptr;

    void Append(ConnectionRecord* record) {
        record->older = newest;
        record->newer = nullptr;
        (newest != nullptr ? newest->newer : oldest) = record;
        newest = record;
    }
    void Unlink(ConnectionRecord* record) {
        (record->older != nullptr ? record->older->newer : oldest) = record->newer;
        (record->newer != nullptr ? record->newer->older : newest) = record->older;
    }
};

// The connections waiting for their request, oldest first. An address that
// is not listed may have at most MaxPendingPerAddress of them; a new
// connection from it beyond that is closed at once, unread and unanswered,
// so a silent crowd from one address holds no more than the cap.
class WaitingConnections {
  public:
    // Room for the addresses of a crowd, made now rather than in the middle of one.
    explicit WaitingConnections(PlatformWaitSet* set) : set_(set) { byAddress_.reserve(64); }

    // Whether a new connection from the record's address is beyond its cap.
    bool OverCap(const ConnectionRecord* record) {
        if (MaxPendingPerAddress <= 0)
            return false;
        auto entry = byAddress_.find(record->clientAddress);
        return entry != byAddress_.end() && entry->second.waiting >= MaxPendingPerAddress &&
               !IsListed(entry->second, record->clientAddress, PlatformMonotonicMs());
    }

    // Watches a connection that has sent nothing yet. False: it cannot be
    // watched, and the caller closes it.
    bool Keep(ConnectionRecord* record) {
        if (!PlatformWatchSocket(set_, record->socket, record))
            return false;
        AnnounceConnection(record);
        ++byAddress_[record->clientAddress].waiting;
        record->deadlineMs = PlatformMonotonicMs() + RequestWaitMs;
        waiting_.Append(record);
        return true;
    }

    // Takes a connection off the list once the set has reported it.
    void Remove(ConnectionRecord* record) {
        waiting_.Unlink(record);
        auto entry = byAddress_.find(record->clientAddress);
        if (entry != byAddress_.end() && --entry->second.waiting <= 0)
            byAddress_.erase(entry);
    }

    // A connection whose wait is over at nowMs, taken off the set and its list.
    ConnectionRecord* TakeExpired(int64_t nowMs) {
        ConnectionRecord* record = Next();
        if (record == nullptr || record->deadlineMs > nowMs)
            return nullptr;
        PlatformUnwatchSocket(set_, record->socket);
        Remove(record);
        return record;
    }

    // Milliseconds until the next wait is over (-1: nobody waits).
    int NextTimeoutMs(int64_t nowMs) const {
        ConnectionRecord* record = Next();
        if (record == nullptr)
            return -1;
        int64_t left = record->deadlineMs - nowMs;
        return left < 0 ? 0 : static_cast<int>(left);
    }

  private:
    ConnectionRecord* Next() const { return waiting_.oldest; }

    PlatformWaitSet* set_;
    RecordList waiting_;
    struct Address {
        int waiting = 0;
        bool asked = false; // "Allowed Clients" asked about it yet
        bool listed = false;
        int64_t askedMs = 0;
    };

    // A listed address is never capped: it is whom the cap protects, and
    // several tills, or a till and its test scripts, may share it. Asked at
    // most once a second per address, so a crowd costs no settings read per
    // connection; an edit of the list reaches the cap within that second.
    static bool IsListed(Address& address, const char* text, int64_t nowMs) {
        if (!address.asked || nowMs - address.askedMs >= ListedReadEveryMs) {
            address.listed = ReadClientNumber(text) != 0;
            address.asked = true;
            address.askedMs = nowMs;
        }
        return address.listed;
    }

    std::unordered_map<std::string, Address> byAddress_;
};

// The listener's loop and what it owns: the record every connection is
// accepted into and the area every request is read into, both made once. A
// refusal costs no allocation; a connection that has to wait gets a record
// of its own, a transaction a copy of both. Nothing a crowd made outlives it.
class Listener {
  public:
    Listener(PlatformSocket socket, PlatformWaitSet* set)
        : socket_(socket), set_(set), waiting_(set) {}

    ~Listener() {
        while (ConnectionRecord* record = waiting_.TakeExpired(INT64_MAX)) {
            CloseConnection(record);
            delete record;
        }
    }

    void Run() {
        void* ready[64];
        while (!PlatformEventIsSet(StopEvent)) {
            FlushConsoleBatch(); // before the wait, never during it
            PlatformWaitSetReport report;
            int timeoutMs = waiting_.NextTimeoutMs(PlatformMonotonicMs());
            // A set event, or a wait that fails, ends it.
            if (!PlatformWaitSetWait(set_, timeoutMs, ready, 64, &report) || report.eventSet)
                break;
            for (int i = 0; i < report.readyCount; ++i)
                Reported(static_cast<ConnectionRecord*>(ready[i]));
            if (report.connectionWaiting)
                AcceptSome();
            int64_t nowMs = PlatformMonotonicMs();
            while (ConnectionRecord* record = waiting_.TakeExpired(nowMs)) {
                // Nothing within the wait: no answer.
                CloseConnection(record);
                delete record;
            }
        }
    }

  private:
    void AcceptSome() {
        for (int i = 0; i < AcceptBatch; ++i) {
            if (!AcceptConnection(socket_, &current_)) {
                if (PlatformSocketError() != PlatformErrorWouldBlock)
                    PlatformSleepMs(FailedAcceptPauseMs);
                return;
            }
            if (waiting_.OverCap(&current_)) {
                CloseConnection(&current_);
                continue;
            }
            long received = Receive(&current_);
            if (received == PlatformTimedOut) {
                ConnectionRecord* kept = new (std::nothrow) ConnectionRecord(current_);
                if (kept != nullptr && waiting_.Keep(kept))
                    continue;
                delete kept;
                received = -1;
            }
            Finish(&current_, received);
        }
    }

    // A waiting connection has turned readable.
    void Reported(ConnectionRecord* record) {
        long received = Receive(record);
        // Nothing after all: it goes on waiting, in its place.
        if (received == PlatformTimedOut && PlatformWatchSocket(set_, record->socket, record))
            return;
        waiting_.Remove(record);
        Finish(record, received);
        delete record;
    }

    // Reads what has come, without waiting, into the listener's area.
    long Receive(ConnectionRecord* record) {
        record->area = area_;
        long received = PlatformRecv(record->socket, area_, RequestMaxBytes);
        if (received < 0 && PlatformSocketError() == PlatformErrorWouldBlock)
            return PlatformTimedOut;
        return received;
    }

    // Answers or hands on a request; a failed receive gets no answer.
    void Finish(ConnectionRecord* record, long received) {
        if (received >= 0)
            ServeRequest(record, received);
        else
            CloseConnection(record);
    }

    PlatformSocket socket_;
    PlatformWaitSet* set_;
    WaitingConnections waiting_;
    ConnectionRecord current_{};
    char area_[WorkAreaSize];
};

// Raises the descriptor limit, and says once when it stays low.
void RaiseDescriptorLimit() {
    long limit = PlatformRaiseDescriptorLimit();
    if (limit >= 0 && limit < DescriptorsWanted) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Only %ld descriptors may be open (hard limit); %ld or more keep a crowd of "
                      "silent connections from holding tills up",
                      limit, DescriptorsWanted);
        WriteLogLine(line);
    }
}

} // namespace

int RunListener() {
    PlatformSocketStartup();
    ListenPort = ReadSetting("ListenPortNumber", 80);
    ServerPort = ReadSetting("ServerPortNumber", 3770);
    VoidAllowed = ReadSetting("AllowVoid", 0) != 0;
    MaxPendingPerAddress = ReadSetting("MaxPendingPerAddress", 32);
    if (DebugMode) {
        std::printf("Begin Listener thread [%d]\n", ListenPort);
        std::fflush(stdout);
    }
    RaiseDescriptorLimit();

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
        } else if (PlatformWaitSet* set = PlatformCreateWaitSet(listener, StopEvent)) {
            StartStatusListener();
            if (DebugMode)
                BeginConsoleBatch();
            {
                Listener loop(listener, set);
                loop.Run();
            }
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
