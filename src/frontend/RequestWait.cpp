// RequestWait.cpp - the waiting list, oldest first (all wait the same time,
// so the oldest is always the next to be let go), and the per-address cap.
#include "RequestWait.h"

#include "Settings.h"

#include <new>
#include <string>
#include <unordered_map>

namespace {

// How often the cap asks whether a crowded address is listed.
constexpr int64_t ListedReadEveryMs = 1000;

// A connection waiting for its request, in the waiting list.
struct WaitingConnection {
    ConnectionRecord connection;
    int64_t deadlineMs; // monotonic: a silent client is let go then
    WaitingConnection* older;
    WaitingConnection* newer;
};

// What the cap knows of one address.
struct AddressWaits {
    int waiting = 0;
    bool asked = false; // "Allowed Clients" asked about it yet
    bool listed = false;
    int64_t askedMs = 0;
};

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

} // namespace

struct RequestWait {
    PlatformWaitSet* set;
    int maxPendingPerAddress;
    WaitingConnection* oldest = nullptr;
    WaitingConnection* newest = nullptr;
    std::unordered_map<std::string, AddressWaits> byAddress;
};

namespace {

void Append(RequestWait* wait, WaitingConnection* record) {
    record->older = wait->newest;
    record->newer = nullptr;
    (wait->newest != nullptr ? wait->newest->newer : wait->oldest) = record;
    wait->newest = record;
}

// Takes a connection off the list and its address's count.
void Unlink(RequestWait* wait, WaitingConnection* record) {
    (record->older != nullptr ? record->older->newer : wait->oldest) = record->newer;
    (record->newer != nullptr ? record->newer->older : wait->newest) = record->older;
    auto entry = wait->byAddress.find(record->connection.clientAddress);
    if (entry != wait->byAddress.end() && --entry->second.waiting <= 0)
        wait->byAddress.erase(entry);
}

} // namespace

RequestWait* StartRequestWait(PlatformWaitSet* set, int maxPendingPerAddress) {
    RequestWait* wait =
        new (std::nothrow) RequestWait{set, maxPendingPerAddress, nullptr, nullptr, {}};
    // Room for the addresses of a crowd, made now rather than in the middle of one.
    if (wait != nullptr)
        wait->byAddress.reserve(64);
    return wait;
}

void EndRequestWait(RequestWait* wait) {
    CloseExpired(wait, INT64_MAX);
    delete wait;
}

bool OverCap(RequestWait* wait, const ConnectionRecord* accepted) {
    if (wait->maxPendingPerAddress <= 0)
        return false;
    auto entry = wait->byAddress.find(accepted->clientAddress);
    return entry != wait->byAddress.end() && entry->second.waiting >= wait->maxPendingPerAddress &&
           !IsListed(&entry->second, accepted->clientAddress, PlatformMonotonicMs());
}

bool WaitForRequest(RequestWait* wait, const ConnectionRecord& accepted) {
    auto* record = new (std::nothrow) WaitingConnection{accepted, 0, nullptr, nullptr};
    if (record == nullptr)
        return false;
    ConnectionRecord* connection = &record->connection;
    if (!PlatformWatchSocket(wait->set, connection->socket, record)) {
        delete record;
        return false;
    }
    AnnounceConnection(connection);
    ++wait->byAddress[connection->clientAddress].waiting;
    record->deadlineMs = PlatformMonotonicMs() + RequestWaitMs;
    Append(wait, record);
    return true;
}

ConnectionRecord* WaitingRecord(void* tag) {
    return &static_cast<WaitingConnection*>(tag)->connection;
}

bool WatchAgain(RequestWait* wait, void* tag) {
    return PlatformWatchSocket(wait->set, WaitingRecord(tag)->socket, tag);
}

void StopWaiting(RequestWait* wait, void* tag) {
    auto* record = static_cast<WaitingConnection*>(tag);
    Unlink(wait, record);
    delete record;
}

int NextTimeoutMs(const RequestWait* wait, int64_t nowMs) {
    const WaitingConnection* record = wait->oldest;
    if (record == nullptr)
        return -1;
    int64_t left = record->deadlineMs - nowMs;
    return left < 0 ? 0 : static_cast<int>(left);
}

void CloseExpired(RequestWait* wait, int64_t nowMs) {
    while (WaitingConnection* record = wait->oldest) {
        if (record->deadlineMs > nowMs)
            return;
        PlatformUnwatchSocket(wait->set, record->connection.socket);
        Unlink(wait, record);
        CloseConnection(&record->connection);
        delete record;
    }
}
