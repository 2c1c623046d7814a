// Duplicates.cpp - the duplicate window: a fixed table of the recent sales
// and voids, found by a keyed hash of their items.
#include "Duplicates.h"

#include "Message.h"
#include "Platform.h"
#include "Settings.h"
#include "Text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr int TableSize = 4096;
constexpr int BucketCount = 8192; // a power of two
constexpr int NoSlot = -1;

const char BodyInProgress[] = "Duplicate of a transaction in progress.";
const char BodyTableFull[] = "Too many recent transactions to check for duplicates.";
const char BodyNoKey[] = "Unable to check for duplicates.";

// A kept reply fits the reply area behind the shortest text that leads it
// (sequence 0); behind a longer number its end is cut.
constexpr size_t ShortestLead = sizeof "Duplicate of sequence 0, answered: " - 1;
constexpr size_t KeptReplySize = ReplyAreaSize - 1 - ShortestLead;
// A reply kept in a record comes back whole after a restart.
static_assert(RecordReplySize >= KeptReplySize);

// Expired entries are dropped at least this often while sales come, so
// that their record slots are free again soon after the window has passed.
constexpr int64_t SweepIntervalMs = 1000;

// Items longer than this never fit in a message, which puts at least 18
// bytes around them: such a request is refused as too long and needs no
// check.
constexpr size_t CheckedItemsMax = MessageAreaSize - 18;
constexpr size_t ClientAddressMax = 63;
// Kind, client address, card item, reference, each text ended by a zero
// byte (no item holds one), and the amount.
constexpr size_t HashInputSize = 1 + ClientAddressMax + 1 + CheckedItemsMax + 2 + sizeof(int);

enum class State : uint8_t { Free, InProgress, Replied, InDoubt };

struct Entry {
    unsigned char hash[PlatformHmacSize];
    int64_t startedMs; // the first request's start; a repeat never moves it
    int sequence;
    unsigned generation; // changes whenever the entry is dropped
    int next;            // the next entry in its bucket, or in the free list
    uint16_t replyLength;
    State state;
    RecordTicket ticket; // the record's slot, freed when the entry is dropped
};

// Everything under guard. Slots from used on have never been handed out since
// the start, so the memory of a quiet window is never touched.
struct Table {
    std::mutex guard;
    unsigned char key[PlatformHmacSize];
    bool keyMade = false;
    bool keyLasting = false; // the key file's: the records' hashes match after a restart
    int64_t sweptMs = 0;
    int used = 0;
    int freeSlots = NoSlot;
    int buckets[BucketCount];
    Entry entries[TableSize];
    char replies[TableSize][KeptReplySize];
};
Table table;

int BucketOf(const unsigned char* hash) {
    unsigned value;
    std::memcpy(&value, hash, sizeof value);
    return static_cast<int>(value & (BucketCount - 1));
}

void Drop(int slot) {
    Entry& entry = table.entries[slot];
    int* link = &table.buckets[BucketOf(entry.hash)];
    while (*link != slot)
        link = &table.entries[*link].next;
    *link = entry.next;
    entry.state = State::Free;
    ++entry.generation;
    FreeRecordSlot(entry.ticket);
    entry.ticket = RecordTicket{};
    entry.next = table.freeSlots;
    table.freeSlots = slot;
}

// A free slot, dropping every expired entry when none is left; NoSlot when
// all are live.
void DropExpired(int64_t now, int64_t windowMs) {
    for (int slot = 0; slot < table.used; ++slot) {
        if (table.entries[slot].state != State::Free &&
            now - table.entries[slot].startedMs >= windowMs)
            Drop(slot);
    }
    table.sweptMs = now;
}

int TakeSlot(int64_t now, int64_t windowMs) {
    if (table.freeSlots == NoSlot && table.used < TableSize)
        return table.used++;
    if (table.freeSlots == NoSlot)
        DropExpired(now, windowMs);
    int slot = table.freeSlots;
    if (slot != NoSlot)
        table.freeSlots = table.entries[slot].next;
    return slot;
}

void AnswerRepeat(const Entry& entry, const char* reply, char* replyArea,
                  MetricOriginal* original) {
    switch (entry.state) {
    case State::Replied:
        *original = MetricOriginal::Replied;
        std::snprintf(replyArea, ReplyAreaSize, "Duplicate of sequence %d, answered: %.*s",
                      entry.sequence, static_cast<int>(entry.replyLength), reply);
        break;
    case State::InDoubt:
        *original = MetricOriginal::InDoubt;
        std::snprintf(replyArea, ReplyAreaSize,
                      "Duplicate of sequence %d, whose outcome is unknown: check it with the "
                      "transaction server before trying again.",
                      entry.sequence);
        break;
    case State::InProgress:
    case State::Free:
        *original = MetricOriginal::InProgress;
        std::snprintf(replyArea, ReplyAreaSize, "%s", BodyInProgress);
        break;
    }
}

size_t HashInput(const TransactionRequest& request, size_t cardLength, size_t referenceLength,
                 unsigned char* out) {
    const char* client = request.clientAddress != nullptr ? request.clientAddress : "";
    size_t clientLength = std::strlen(client);
    if (clientLength > ClientAddressMax)
        clientLength = ClientAddressMax; // dotted IPv4 is at most 15
    size_t used = 0;
    out[used++] = static_cast<unsigned char>(request.code);
    std::memcpy(out + used, client, clientLength);
    used += clientLength;
    out[used++] = 0;
    std::memcpy(out + used, request.card, cardLength);
    used += cardLength;
    out[used++] = 0;
    std::memcpy(out + used, request.reference, referenceLength);
    used += referenceLength;
    out[used++] = 0;
    std::memcpy(out + used, &request.amount, sizeof request.amount);
    return used + sizeof request.amount;
}

} // namespace

bool StartDuplicates(const unsigned char* storedKey) {
    std::lock_guard<std::mutex> hold(table.guard);
    for (int slot = 0; slot < table.used; ++slot) {
        table.entries[slot].state = State::Free;
        ++table.entries[slot].generation;            // a claim from before the start is void
        table.entries[slot].ticket = RecordTicket{}; // of the records of that start
    }
    table.used = 0;
    table.freeSlots = NoSlot;
    table.sweptMs = PlatformMonotonicMs();
    for (int& bucket : table.buckets)
        bucket = NoSlot;
    table.keyLasting = storedKey != nullptr;
    if (storedKey != nullptr)
        std::memcpy(table.key, storedKey, sizeof table.key);
    table.keyMade = storedKey != nullptr || PlatformRandomBytes(table.key, sizeof table.key);
    if (!table.keyMade)
        WipeBytes(table.key, sizeof table.key);
    return table.keyMade;
}

// For the tests alone (tests/support/Internals.h): the key is in no file but
// the key file.
void CopyDuplicateKey(unsigned char* out) {
    std::lock_guard<std::mutex> hold(table.guard);
    std::memcpy(out, table.key, sizeof table.key);
}

DuplicateVerdict CheckDuplicate(char* replyArea, const TransactionRequest& request,
                                DuplicateClaim* claim, MetricOriginal* original) {
    *claim = DuplicateClaim{};
    // No money moves for funds available, and without a reference nothing
    // tells two purchases apart.
    if (request.code == TransactionFundsAvailable || request.reference == nullptr ||
        request.reference[0] == '\0')
        return DuplicateVerdict::Proceed;
    int window = ReadSetting("DuplicateWindow");
    if (window <= 0)
        return DuplicateVerdict::Proceed;
    size_t cardLength = std::strlen(request.card);
    size_t referenceLength = std::strlen(request.reference);
    if (cardLength + referenceLength > CheckedItemsMax)
        return DuplicateVerdict::Proceed;

    unsigned char input[HashInputSize];
    size_t size = HashInput(request, cardLength, referenceLength, input);
    int64_t now = PlatformMonotonicMs();
    int64_t windowMs = static_cast<int64_t>(window) * 1000;
    unsigned char hash[PlatformHmacSize];

    // One lock from the look-up to the new entry: of two identical requests
    // at once, one finds the other's entry.
    std::lock_guard<std::mutex> hold(table.guard);
    if (now - table.sweptMs >= SweepIntervalMs)
        DropExpired(now, windowMs);
    bool hashed =
        table.keyMade && PlatformHmacSha256(table.key, sizeof table.key, input, size, hash);
    WipeBytes(input, sizeof input);
    if (!hashed) {
        std::snprintf(replyArea, ReplyAreaSize, "%s", BodyNoKey);
        return DuplicateVerdict::Refused;
    }
    int bucket = BucketOf(hash);
    for (int slot = table.buckets[bucket]; slot != NoSlot; slot = table.entries[slot].next) {
        Entry& entry = table.entries[slot];
        if (std::memcmp(entry.hash, hash, sizeof hash) != 0)
            continue;
        if (now - entry.startedMs < windowMs) {
            AnswerRepeat(entry, table.replies[slot], replyArea, original);
            return DuplicateVerdict::Repeat;
        }
        Drop(slot); // expired: the request is a fresh one
        break;
    }
    int slot = TakeSlot(now, windowMs);
    if (slot == NoSlot) {
        std::snprintf(replyArea, ReplyAreaSize, "%s", BodyTableFull);
        return DuplicateVerdict::Refused;
    }
    Entry& entry = table.entries[slot];
    std::memcpy(entry.hash, hash, sizeof hash);
    entry.startedMs = now;
    entry.sequence = 0;
    entry.replyLength = 0;
    entry.state = State::InProgress;
    entry.ticket = RecordTicket{};
    entry.next = table.buckets[bucket];
    table.buckets[bucket] = slot;
    claim->slot = slot;
    claim->generation = entry.generation;
    std::memcpy(claim->match, hash, sizeof claim->match);
    claim->lasting = table.keyLasting;
    return DuplicateVerdict::Proceed;
}

namespace {

// Under guard: the entry's outcome, or its drop when it was not sent.
bool Settle(int slot, TransactionOutcome outcome, int sequence, const char* tillText,
            const RecordTicket& ticket) {
    Entry& entry = table.entries[slot];
    if (outcome == TransactionOutcome::Replied) {
        size_t length = 0;
        while (length < KeptReplySize && tillText[length] != '\0')
            ++length;
        std::memcpy(table.replies[slot], tillText, length);
        entry.replyLength = static_cast<uint16_t>(length);
        entry.state = State::Replied;
    } else if (outcome == TransactionOutcome::InDoubt) {
        // No late reply can settle it: a stale reply is discarded unread.
        entry.state = State::InDoubt;
    } else {
        // Not sent: the server never saw it, and the next identical request
        // goes through. (A claimed request is never a duplicate itself.)
        Drop(slot);
        return false;
    }
    entry.sequence = sequence;
    entry.ticket = ticket;
    return true;
}

} // namespace

bool SettleDuplicate(const DuplicateClaim& claim, TransactionOutcome outcome, int sequence,
                     const char* tillText, const RecordTicket& ticket) {
    if (claim.slot == NoSlot)
        return false;
    std::lock_guard<std::mutex> hold(table.guard);
    Entry& entry = table.entries[claim.slot];
    if (entry.generation != claim.generation || entry.state != State::InProgress)
        return false;
    return Settle(claim.slot, outcome, sequence, tillText, ticket);
}

bool RestoreDuplicate(const unsigned char* match, int64_t startedUtcMs, TransactionOutcome outcome,
                      int sequence, const char* tillText, const RecordTicket& ticket) {
    if (outcome != TransactionOutcome::Replied && outcome != TransactionOutcome::InDoubt)
        return false;
    int64_t windowMs = static_cast<int64_t>(ReadSetting("DuplicateWindow")) * 1000;
    int64_t age = PlatformUtcMilliseconds() - startedUtcMs;
    // A start ahead of the clock (set back since) counts from now.
    if (age < 0)
        age = 0;
    int64_t now = PlatformMonotonicMs();
    std::lock_guard<std::mutex> hold(table.guard);
    if (!table.keyMade || !table.keyLasting || age >= windowMs)
        return false;
    int slot = TakeSlot(now, windowMs);
    if (slot == NoSlot)
        return false;
    Entry& entry = table.entries[slot];
    std::memcpy(entry.hash, match, sizeof entry.hash);
    entry.startedMs = now - age;
    entry.replyLength = 0;
    int bucket = BucketOf(entry.hash);
    entry.next = table.buckets[bucket];
    table.buckets[bucket] = slot;
    return Settle(slot, outcome, sequence, tillText, ticket);
}
