// Records.cpp - the write-ahead record file: slots written in flushed groups,
// outcomes written without a flush, and the reading at start.
//
// Layout, all numbers little-endian:
//   0      header block 0 (512 bytes)   the counter's next number, written
//   512    header block 1 (512 bytes)   alternately, the newer valid one counts
//   4096   slot 0, slot 1, ...          1,536 bytes each:
//            +0    start part (512)     written once per use, flushed
//            +512  outcome part (1024)  written once per use, not flushed
// Every block and part begins with a magic word and a CRC-32 of the rest, and
// the parts of one use carry the same write id. A part is written once per
// use of its slot and shares no disk sector with another, so a torn write can
// only spoil the part being written, which was then never flushed whole.
#include "Records.h"

#include "Counter.h"
#include "ErrorText.h"
#include "Files.h"
#include "Text.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

constexpr long HeaderBlockSize = 512;
constexpr long DataOffset = 4096;
constexpr long StartPartSize = 512;
constexpr long OutcomePartSize = 1024;
constexpr long SlotSize = StartPartSize + OutcomePartSize;
// A file never holds more slots than this is read: a huge foreign file is
// not read to its end.
constexpr long ReadableSlots = 65536;
constexpr int ChunkSlots = 64;

constexpr uint32_t HeaderMagic = 0x31524851;  // "QHR1"
constexpr uint32_t StartMagic = 0x31534851;   // "QHS1"
constexpr uint32_t OutcomeMagic = 0x314f4851; // "QHO1"

// Start part fields.
constexpr size_t AtWriteId = 8, AtSequence = 16, AtUtcMs = 20, AtYear = 28, AtMonth = 30,
                 AtDay = 31, AtHour = 32, AtMinute = 33, AtSecond = 34, AtFlags = 35,
                 AtMillisecond = 36, AtOffset = 38, AtKind = 40, AtClientNumber = 44, AtAmount = 48,
                 AtCardLength = 52, AtCardTail = 56, AtMatch = 64, AtClient = 96,
                 AtReference = AtClient + RecordClientSize;
static_assert(AtReference + RecordReferenceSize <= StartPartSize);
// Outcome part fields.
constexpr size_t AtOutcome = 16, AtOutcomeFlags = 17, AtStatus = 18, AtServerUs = 20,
                 AtReplyLength = 28, AtReply = 32;
static_assert(AtReply + RecordReplySize <= OutcomePartSize);
// Header block fields.
constexpr size_t AtGeneration = 8, AtNext = 16, AtWrittenMs = 20;

constexpr unsigned FlagWindowed = 1;  // start part
constexpr unsigned FlagRecovered = 1; // outcome part

constexpr int Ring = 1000000;
// Headers written this long before the newest are too old to compare on the
// ring: their process had long stopped numbering.
constexpr int64_t FreshHeaderMs = 10000;

const char RecoveredReply[] = "The gateway stopped before the reply came.";

void Put(unsigned char* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t Get(const unsigned char* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

struct CrcTable {
    uint32_t entries[256];
    constexpr CrcTable() : entries() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit)
                value = value & 1 ? 0xedb88320u ^ (value >> 1) : value >> 1;
            entries[i] = value;
        }
    }
};
constexpr CrcTable Crc;

// CRC-32 of a part but its own checksum field (bytes 4 to 7).
uint32_t PartSum(const unsigned char* part, size_t size) {
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < size; ++i) {
        if (i >= 4 && i < 8)
            continue;
        crc = Crc.entries[(crc ^ part[i]) & 0xff] ^ (crc >> 8);
    }
    return ~crc;
}

void Seal(unsigned char* part, size_t size, uint32_t magic) {
    Put(part, magic, 4);
    Put(part + 4, PartSum(part, size), 4);
}

bool Sealed(const unsigned char* part, size_t size, uint32_t magic) {
    return Get(part, 4) == magic && Get(part + 4, 4) == PartSum(part, size);
}

long SlotOffset(int slot) {
    return DataOffset + static_cast<long>(slot) * SlotSize;
}

// Copies a text of at most size - 1 bytes into a zero-filled field.
void PutText(unsigned char* at, size_t size, const char* text) {
    size_t length = text != nullptr ? strnlen(text, size - 1) : 0;
    std::memcpy(at, text, length);
}

void GetText(const unsigned char* at, size_t size, char* out) {
    size_t length = strnlen(reinterpret_cast<const char*>(at), size - 1);
    std::memcpy(out, at, length);
    out[length] = '\0';
}

void EncodeStart(const RecordStart& start, uint64_t writeId, int sequence, unsigned char* part) {
    std::memset(part, 0, StartPartSize);
    Put(part + AtWriteId, writeId, 8);
    Put(part + AtSequence, static_cast<uint32_t>(sequence), 4);
    Put(part + AtUtcMs, static_cast<uint64_t>(start.startedUtcMs), 8);
    const PlatformLocalTime& t = start.started;
    Put(part + AtYear, static_cast<uint16_t>(t.year), 2);
    part[AtMonth] = static_cast<unsigned char>(t.month);
    part[AtDay] = static_cast<unsigned char>(t.day);
    part[AtHour] = static_cast<unsigned char>(t.hour);
    part[AtMinute] = static_cast<unsigned char>(t.minute);
    part[AtSecond] = static_cast<unsigned char>(t.second);
    part[AtFlags] = start.windowed ? FlagWindowed : 0;
    Put(part + AtMillisecond, static_cast<uint16_t>(t.millisecond), 2);
    Put(part + AtOffset, static_cast<uint16_t>(t.utcOffsetMinutes), 2);
    part[AtKind] = static_cast<unsigned char>(start.kind);
    Put(part + AtClientNumber, static_cast<uint32_t>(start.clientNumber), 4);
    Put(part + AtAmount, static_cast<uint32_t>(start.amount), 4);
    Put(part + AtCardLength, static_cast<uint32_t>(start.cardLength), 4);
    PutText(part + AtCardTail, 5, start.cardTail);
    if (start.windowed)
        std::memcpy(part + AtMatch, start.match, RecordMatchSize);
    PutText(part + AtClient, RecordClientSize, start.client);
    PutText(part + AtReference, RecordReferenceSize, start.reference);
    Seal(part, StartPartSize, StartMagic);
}

void DecodeStart(const unsigned char* part, RecordStart* start, int* sequence) {
    *start = RecordStart{};
    *sequence = static_cast<int32_t>(Get(part + AtSequence, 4));
    start->startedUtcMs = static_cast<int64_t>(Get(part + AtUtcMs, 8));
    PlatformLocalTime& t = start->started;
    t.year = static_cast<int>(Get(part + AtYear, 2));
    t.month = part[AtMonth];
    t.day = part[AtDay];
    t.hour = part[AtHour];
    t.minute = part[AtMinute];
    t.second = part[AtSecond];
    t.millisecond = static_cast<int>(Get(part + AtMillisecond, 2));
    t.utcOffsetMinutes = static_cast<int16_t>(Get(part + AtOffset, 2));
    start->windowed = (part[AtFlags] & FlagWindowed) != 0;
    start->kind = static_cast<RecordKind>(part[AtKind]);
    start->clientNumber = static_cast<int32_t>(Get(part + AtClientNumber, 4));
    start->amount = static_cast<int32_t>(Get(part + AtAmount, 4));
    start->cardLength = static_cast<int32_t>(Get(part + AtCardLength, 4));
    GetText(part + AtCardTail, 5, start->cardTail);
    std::memcpy(start->match, part + AtMatch, RecordMatchSize);
    GetText(part + AtClient, RecordClientSize, start->client);
    GetText(part + AtReference, RecordReferenceSize, start->reference);
}

// The reply is masked as the journal masks it. A digit run that the cut at
// RecordReplySize would split is left out whole, since its kept part could be
// too short to be masked.
void EncodeOutcome(uint64_t writeId, RecordOutcome outcome, bool recovered, int httpStatus,
                   int64_t serverUs, const char* reply, unsigned char* part) {
    std::memset(part, 0, OutcomePartSize);
    Put(part + AtWriteId, writeId, 8);
    part[AtOutcome] = static_cast<unsigned char>(outcome);
    part[AtOutcomeFlags] = recovered ? FlagRecovered : 0;
    Put(part + AtStatus, static_cast<uint16_t>(httpStatus), 2);
    Put(part + AtServerUs, static_cast<uint64_t>(serverUs), 8);
    char* text = reinterpret_cast<char*>(part + AtReply);
    size_t whole = reply != nullptr ? strnlen(reply, RecordReplySize + 1) : 0;
    size_t length = whole < RecordReplySize ? whole : RecordReplySize;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (length < whole && digit(reply[length])) {
        while (length > 0 && digit(reply[length - 1]))
            --length;
    }
    std::memcpy(text, reply, length);
    MaskDigitRuns(text, length);
    Put(part + AtReplyLength, length, 2);
    Seal(part, OutcomePartSize, OutcomeMagic);
}

void DecodeOutcome(const unsigned char* part, RecoveredRecord* record) {
    record->outcome = static_cast<RecordOutcome>(part[AtOutcome]);
    record->recovered = (part[AtOutcomeFlags] & FlagRecovered) != 0;
    record->httpStatus = static_cast<int>(Get(part + AtStatus, 2));
    record->serverUs = static_cast<int64_t>(Get(part + AtServerUs, 8));
    size_t length = Get(part + AtReplyLength, 2);
    if (length > RecordReplySize)
        length = RecordReplySize;
    std::memcpy(record->reply, part + AtReply, length);
    record->reply[length] = '\0';
}

// A position on the ring of numbers the counter goes round.
int RingOf(int number) {
    return ((number % Ring) + Ring) % Ring;
}

// True when a is ahead of b, less than half way round the ring.
bool Ahead(int a, int b) {
    int distance = (RingOf(a) - RingOf(b) + Ring) % Ring;
    return distance > 0 && distance < Ring / 2;
}

// ---------------------------------------------------------------------------
// Writing

// One caller of RecordTransactionStart, on its own stack until done. Each
// waits on a condition of its own: a group's end wakes its members and the
// next group's first caller alone, not every caller waiting.
struct Member {
    const RecordStart* start;
    RecordTicket* ticket;
    int error = 0;
    bool counter = false; // the error was the counter file's
    bool done = false;
    Member* next = nullptr;
    std::condition_variable wake;
};

constexpr int ErrorWrite = -3; // a write or flush failed without a system code

struct Writer {
    // Everything here but the file's own I/O.
    std::mutex guard;
    std::condition_variable wake; // a group's end, for CloseRecords
    PlatformFile* file = nullptr;
    Member* head = nullptr;
    Member** tail = &head;
    int waiting = 0;
    bool flushing = false;
    uint64_t lastWriteId = 0;
    uint64_t generation = 0; // of the header last written
    uint64_t flushes = 0;
    uint64_t used[RecordSlots / 64] = {};
    uint64_t slotWriteId[RecordSlots] = {}; // of the use holding each slot
    // Held around each write, so that the file is never closed under one;
    // taken before guard when both are held. Never held across a flush.
    std::mutex io;
};
static_assert(RecordSlots % 64 == 0);

Writer& writer = *new Writer; // never destroyed: a late outcome may still come

int LastErrorOr(int fallback) {
    int error = PlatformLastError();
    return error != 0 ? error : fallback;
}

bool WriteAt(PlatformFile* file, long offset, const void* data, long size) {
    std::lock_guard<std::mutex> hold(writer.io);
    return PlatformFileWriteAt(file, offset, data, static_cast<size_t>(size)) == size;
}

// The lowest free slot, so the file stays as short as the load allows; -1
// when none is free. Under guard.
int TakeSlot() {
    for (int word = 0; word < RecordSlots / 64; ++word) {
        uint64_t free = ~writer.used[word];
        if (free == 0)
            continue;
        int bit = 0;
        while ((free >> bit & 1) == 0)
            ++bit;
        writer.used[word] |= uint64_t(1) << bit;
        return word * 64 + bit;
    }
    return -1;
}

// Under guard.
void ReleaseSlot(int slot) {
    writer.used[slot / 64] &= ~(uint64_t(1) << (slot % 64));
    writer.slotWriteId[slot] = 0;
}

// Numbers, writes and flushes the group's parts and the header; 0, or the
// error of the step that failed, *counter telling whether it was the counter
// file's. Runs without guard: the members wait.
int StoreGroup(PlatformFile* file, Member* group, int count, uint64_t generation, bool* counter) {
    int number = 0;
    int error = 0;
    *counter = false;
    if (!ReserveSequenceNumbers(count, &number, &error)) {
        *counter = true;
        return error != 0 ? error : ErrorWrite;
    }
    unsigned char part[StartPartSize];
    bool written = true;
    for (Member* m = group; m != nullptr && written; m = m->next) {
        if (m->error != 0)
            continue;
        m->ticket->sequence = number;
        EncodeStart(*m->start, m->ticket->writeId, number, part);
        written = WriteAt(file, SlotOffset(m->ticket->slot), part, StartPartSize);
        number = SequenceAfter(number);
    }
    unsigned char block[HeaderBlockSize] = {};
    Put(block + AtGeneration, generation, 8);
    Put(block + AtNext, static_cast<uint32_t>(number), 4);
    Put(block + AtWrittenMs, static_cast<uint64_t>(PlatformUtcMilliseconds()), 8);
    Seal(block, HeaderBlockSize, HeaderMagic);
    written = written && WriteAt(file, (generation % 2) * HeaderBlockSize, block, HeaderBlockSize);
    if (written && PlatformFileFlush(file))
        return 0;
    error = LastErrorOr(ErrorWrite);
    // Parts that went in are spoiled again, so a restart does not take them
    // for transactions in flight: none of them was sent.
    std::memset(part, 0, sizeof part);
    for (Member* m = group; m != nullptr; m = m->next) {
        if (m->error == 0)
            WriteAt(file, SlotOffset(m->ticket->slot), part, StartPartSize);
    }
    return error;
}

// Takes every caller waiting now, in the order they came, and stores them as
// one group. Called and returns with guard held.
void LeadGroup(std::unique_lock<std::mutex>& hold) {
    writer.flushing = true;
    Member* group = writer.head;
    writer.head = nullptr;
    writer.tail = &writer.head;
    writer.waiting = 0;
    int count = 0;
    for (Member* m = group; m != nullptr; m = m->next) {
        int slot = TakeSlot();
        if (slot < 0) {
            m->error = RecordErrorFull;
            continue;
        }
        m->ticket->slot = slot;
        m->ticket->writeId = ++writer.lastWriteId;
        writer.slotWriteId[slot] = m->ticket->writeId;
        ++count;
    }
    PlatformFile* file = writer.file;
    uint64_t generation = writer.generation + 1;
    hold.unlock();
    bool counter = false;
    int error = count > 0 ? StoreGroup(file, group, count, generation, &counter) : 0;
    hold.lock();
    if (count > 0 && error == 0) {
        writer.generation = generation;
        ++writer.flushes;
    }
    // The members stay until they see done under guard, which is held.
    for (Member* m = group; m != nullptr; m = m->next) {
        if (m->error == 0 && error != 0) {
            m->error = error;
            m->counter = counter;
            ReleaseSlot(m->ticket->slot);
            *m->ticket = RecordTicket{};
        }
        m->done = true;
        m->wake.notify_one();
    }
    writer.flushing = false;
    if (writer.head != nullptr)
        writer.head->wake.notify_one(); // leads the next group
    writer.wake.notify_all();
}

// ---------------------------------------------------------------------------
// Reading

struct Found {
    int64_t startedUtcMs;
    int file;
    int slot;
    uint64_t writeId;
    int sequence;
    bool inFlight;
    bool keep; // a window entry in the own file: its slot stays taken
};

struct Header {
    bool valid = false;
    uint64_t generation = 0;
    int next = 0;
    int64_t writtenMs = 0;
};

void ReadHeader(const unsigned char* data, long size, Header* header) {
    for (int block = 0; block < 2; ++block) {
        const unsigned char* at = data + block * HeaderBlockSize;
        if ((block + 1) * HeaderBlockSize > size || !Sealed(at, HeaderBlockSize, HeaderMagic))
            continue;
        uint64_t generation = Get(at + AtGeneration, 8);
        if (header->valid && generation <= header->generation)
            continue;
        header->valid = true;
        header->generation = generation;
        header->next = static_cast<int32_t>(Get(at + AtNext, 4));
        header->writtenMs = static_cast<int64_t>(Get(at + AtWrittenMs, 8));
    }
}

// What one slot's bytes hold: false when no whole start part. available is
// how many of the slot's bytes the file has.
bool ReadSlot(const unsigned char* at, long available, RecoveredRecord* record, uint64_t* writeId) {
    if (available < StartPartSize || !Sealed(at, StartPartSize, StartMagic))
        return false;
    DecodeStart(at, &record->start, &record->sequence);
    *writeId = Get(at + AtWriteId, 8);
    record->outcome = RecordOutcome::None;
    record->recovered = false;
    record->httpStatus = 0;
    record->serverUs = -1;
    record->reply[0] = '\0';
    const unsigned char* outcome = at + StartPartSize;
    if (available >= SlotSize && Sealed(outcome, OutcomePartSize, OutcomeMagic) &&
        Get(outcome + AtWriteId, 8) == *writeId)
        DecodeOutcome(outcome, record);
    return true;
}

bool InWindow(const RecoveredRecord& record, int64_t now, int64_t windowMs) {
    if (!record.start.windowed || record.outcome == RecordOutcome::NotSent)
        return false;
    int64_t age = now - record.start.startedUtcMs;
    return age < windowMs && -age < windowMs;
}

// Reads every slot of one file into found.
bool ScanFile(PlatformFile* file, int n, int64_t now, int64_t windowMs, Header* header,
              std::vector<Found>* found) {
    long size = PlatformFileSize(file);
    if (size < 0)
        return false;
    unsigned char head[2 * HeaderBlockSize];
    long got = PlatformFileReadAt(file, 0, head, sizeof head);
    if (got < 0)
        return false;
    ReadHeader(head, got, header);
    long slots = size > DataOffset ? (size - DataOffset + SlotSize - 1) / SlotSize : 0;
    if (slots > ReadableSlots)
        slots = ReadableSlots;
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[ChunkSlots * SlotSize]);
    std::unique_ptr<RecoveredRecord> record(new (std::nothrow) RecoveredRecord);
    if (!chunk || !record)
        return false;
    for (long first = 0; first < slots; first += ChunkSlots) {
        long bytes = PlatformFileReadAt(file, SlotOffset(static_cast<int>(first)), chunk.get(),
                                        ChunkSlots * SlotSize);
        if (bytes < 0)
            return false;
        for (long i = 0; i < ChunkSlots && i * SlotSize < bytes; ++i) {
            uint64_t writeId = 0;
            if (!ReadSlot(chunk.get() + i * SlotSize, bytes - i * SlotSize, record.get(), &writeId))
                continue;
            bool inFlight = record->outcome == RecordOutcome::None;
            if (!inFlight && !InWindow(*record, now, windowMs))
                continue;
            found->push_back(Found{record->start.startedUtcMs, n, static_cast<int>(first + i),
                                   writeId, record->sequence, inFlight, false});
        }
    }
    return true;
}

// The header of a file another live process holds, for its counter number.
void PeekHeader(const char* path, Header* header) {
    unsigned char head[2 * HeaderBlockSize];
    int error = 0;
    long got = PlatformReadFileHead(path, head, sizeof head, &error);
    if (got > 0)
        ReadHeader(head, got, header);
}

bool Exists(const char* path) {
    unsigned char byte;
    int error = 0;
    return PlatformReadFileHead(path, &byte, 0, &error) >= 0 || error != PlatformFileNotFound;
}

struct Reading {
    bool change; // a start, not check
    int own = -1;
    PlatformFile* files[RecordFileCount] = {};
    bool ownCreated = false;
    Header headers[RecordFileCount];
    std::vector<Found> found;
    ~Reading() {
        for (PlatformFile* file : files) {
            if (file != nullptr)
                PlatformFileClose(file);
        }
    }
};

// Claims the files: the first free one as this process's own (made if need
// be) when change is set, then every other existing one no live process holds.
bool ClaimFiles(Reading* reading, char* reason, size_t reasonSize) {
    char path[GatewayPathSize + 8];
    for (int n = 0; n < RecordFileCount; ++n) {
        RecordFilePath(n, path, sizeof path);
        bool mayMake = reading->change && reading->own < 0;
        if (!mayMake && !Exists(path))
            continue;
        int error = 0;
        bool created = false;
        PlatformFile* file = PlatformOpenForUpdate(path, &error, &created);
        if (file == nullptr && error == PlatformSharingViolation) {
            PeekHeader(path, &reading->headers[n]);
            continue;
        }
        if (file == nullptr) {
            if (!mayMake)
                continue; // left for a start that can open it
            char text[256];
            FormatErrorText(error, text, sizeof text);
            std::snprintf(reason, reasonSize, "Unable to open the record file %s: %s", path, text);
            return false;
        }
        reading->files[n] = file;
        if (mayMake) {
            reading->own = n;
            reading->ownCreated = created;
        }
    }
    if (reading->change && reading->own < 0) {
        std::snprintf(reason, reasonSize,
                      "Unable to open a record file: all %d are held by other processes",
                      RecordFileCount);
        return false;
    }
    return true;
}

// The counter's next number: the counter file's, or the number after every
// one that a fresh header or a record in flight shows was reserved, when that
// is ahead; *ahead tells which. Numbers reserved but not yet in the counter
// file on disk at a power cut are found this way.
int NextNumber(const Reading& reading, int counted, bool counterMissing, bool* ahead) {
    int64_t newest = 0;
    for (const Header& header : reading.headers) {
        if (header.valid && header.writtenMs > newest)
            newest = header.writtenMs;
    }
    int next = counted;
    bool taken = !counterMissing;
    *ahead = false;
    auto consider = [&](int number) {
        if (!taken || Ahead(number, next)) {
            next = number;
            *ahead = true;
        }
        taken = true;
    };
    for (const Header& header : reading.headers) {
        if (header.valid && newest - header.writtenMs <= FreshHeaderMs)
            consider(header.next);
    }
    for (const Found& found : reading.found) {
        if (found.inFlight)
            consider(SequenceAfter(found.sequence));
    }
    return next;
}

bool ReadAll(bool change, int64_t windowMs, RecordProc proc, void* context, RecordSummary* summary,
             char* reason, size_t reasonSize) {
    *summary = RecordSummary{-1, 0, 0, 0, false};
    if (reasonSize > 0)
        reason[0] = '\0';
    Reading reading;
    reading.change = change;
    if (!ClaimFiles(&reading, reason, reasonSize))
        return false;
    int64_t now = PlatformUtcMilliseconds();
    char path[GatewayPathSize + 8];
    for (int n = 0; n < RecordFileCount; ++n) {
        if (reading.files[n] == nullptr)
            continue;
        if (!ScanFile(reading.files[n], n, now, windowMs, &reading.headers[n], &reading.found)) {
            RecordFilePath(n, path, sizeof path);
            std::snprintf(reason, reasonSize, "Unable to read the record file %s: %s", path,
                          GetLastErrorText());
            if (n == reading.own)
                return false;
            PlatformFileClose(reading.files[n]); // left for a later start
            reading.files[n] = nullptr;
            reason[0] = '\0';
        }
    }

    // In flight first, each group in the order they started.
    std::stable_sort(reading.found.begin(), reading.found.end(),
                     [](const Found& a, const Found& b) {
                         if (a.inFlight != b.inFlight)
                             return a.inFlight;
                         return a.startedUtcMs < b.startedUtcMs;
                     });
    std::unique_ptr<unsigned char[]> slot(new (std::nothrow) unsigned char[SlotSize]);
    std::unique_ptr<RecoveredRecord> record(new (std::nothrow) RecoveredRecord);
    if (!slot || !record) {
        std::snprintf(reason, reasonSize, "Unable to read the record files: out of memory");
        return false;
    }
    bool marked[RecordFileCount] = {};
    int markError = 0;
    for (Found& found : reading.found) {
        PlatformFile* file = reading.files[found.file];
        long bytes = PlatformFileReadAt(file, SlotOffset(found.slot), slot.get(), SlotSize);
        uint64_t writeId = 0;
        if (bytes < 0 || !ReadSlot(slot.get(), bytes, record.get(), &writeId) ||
            writeId != found.writeId)
            continue;
        record->file = found.file;
        record->inWindow = InWindow(*record, now, windowMs);
        bool own = change && found.file == reading.own && record->inWindow;
        record->ticket =
            own ? RecordTicket{found.slot, found.writeId, found.sequence} : RecordTicket{};
        record->kept = false;
        if (proc != nullptr)
            proc(record.get(), context);
        found.keep = own && record->kept;
        if (found.inFlight)
            ++summary->inFlight;
        if (record->inWindow)
            ++summary->windowed;
        if (!found.inFlight || !change)
            continue;
        RecordOutcome outcome = record->outcome;
        const char* reply = record->reply;
        if (outcome == RecordOutcome::None) {
            outcome = RecordOutcome::InDoubt;
            reply = RecoveredReply;
        }
        unsigned char part[OutcomePartSize];
        EncodeOutcome(found.writeId, outcome, true, record->httpStatus, record->serverUs, reply,
                      part);
        if (PlatformFileWriteAt(file, SlotOffset(found.slot) + StartPartSize, part,
                                OutcomePartSize) != OutcomePartSize)
            markError = LastErrorOr(ErrorWrite);
        marked[found.file] = true;
    }
    for (int n = 0; n < RecordFileCount && change; ++n) {
        bool flush = marked[n] || (n == reading.own && reading.ownCreated);
        if (flush && !PlatformFileFlush(reading.files[n]))
            markError = LastErrorOr(ErrorWrite);
    }
    if (change && reading.ownCreated) {
        RecordFilePath(reading.own, path, sizeof path);
        if (!PlatformFlushDirectoryOf(path))
            markError = LastErrorOr(ErrorWrite);
    }
    if (markError != 0) {
        char text[256];
        DescribeRecordError(markError, text, sizeof text);
        std::snprintf(reason, reasonSize,
                      "Unable to mark the transactions in flight at the last stop: %s", text);
        return false;
    }

    int counted = 0;
    bool counterMissing = PeekSequenceNumber(&counted) == PlatformFileNotFound;
    bool ahead = false;
    summary->nextNumber = NextNumber(reading, counted, counterMissing, &ahead);
    if (change && ahead && (counterMissing || summary->nextNumber != counted)) {
        int error = 0;
        if (!StoreSequenceNumber(summary->nextNumber, &error)) {
            char text[256];
            FormatErrorText(error, text, sizeof text);
            std::snprintf(reason, reasonSize, "Unable to store the sequence number: %s", text);
            return false;
        }
        summary->counterSet = true;
    }

    if (!change)
        return true;
    std::lock_guard<std::mutex> hold(writer.guard);
    writer.file = reading.files[reading.own];
    reading.files[reading.own] = nullptr;
    summary->ownFile = reading.own;
    writer.generation = reading.headers[reading.own].generation;
    uint64_t writeId = 0;
    PlatformRandomBytes(&writeId, sizeof writeId);
    writer.lastWriteId = writeId >> 1; // far from wrapping
    std::memset(writer.used, 0, sizeof writer.used);
    std::memset(writer.slotWriteId, 0, sizeof writer.slotWriteId);
    for (const Found& found : reading.found) {
        if (found.keep && found.slot < RecordSlots) {
            writer.used[found.slot / 64] |= uint64_t(1) << (found.slot % 64);
            writer.slotWriteId[found.slot] = found.writeId;
        }
    }
    return true;
}

} // namespace

void RecordFilePath(int n, char* out, size_t size) {
    if (n == 0)
        std::snprintf(out, size, "%s.rec", JournalStem);
    else
        std::snprintf(out, size, "%s.%d.rec", JournalStem, n);
}

bool OpenRecords(int64_t windowMs, RecordProc proc, void* context, RecordSummary* summary,
                 char* reason, size_t reasonSize) {
    CloseRecords();
    return ReadAll(true, windowMs, proc, context, summary, reason, reasonSize);
}

bool ListRecords(int64_t windowMs, RecordProc proc, void* context, RecordSummary* summary,
                 char* reason, size_t reasonSize) {
    return ReadAll(false, windowMs, proc, context, summary, reason, reasonSize);
}

void CloseRecords() {
    PlatformFile* file = nullptr;
    {
        std::unique_lock<std::mutex> hold(writer.guard);
        writer.wake.wait(hold, [] { return !writer.flushing; });
        file = writer.file;
        writer.file = nullptr;
        for (Member* m = writer.head; m != nullptr; m = m->next) {
            m->error = RecordErrorClosed;
            m->done = true;
            m->wake.notify_one();
        }
        writer.head = nullptr;
        writer.tail = &writer.head;
        writer.waiting = 0;
        writer.wake.notify_all();
    }
    if (file != nullptr) {
        std::lock_guard<std::mutex> io(writer.io);
        PlatformFileClose(file);
    }
}

bool RecordTransactionStart(const RecordStart& start, RecordTicket* ticket, int* error,
                            bool* counter, RecordJoined joined, void* context) {
    *ticket = RecordTicket{};
    if (counter != nullptr)
        *counter = false;
    Member me;
    me.start = &start;
    me.ticket = ticket;
    std::unique_lock<std::mutex> hold(writer.guard);
    if (writer.file == nullptr) {
        *error = RecordErrorClosed;
        return false;
    }
    Member** place = writer.tail;
    *place = &me;
    writer.tail = &me.next;
    ++writer.waiting;
    if (joined != nullptr && !joined(context)) {
        // Still the last: nobody took the queue while the lock was held.
        *place = nullptr;
        writer.tail = place;
        --writer.waiting;
        *error = RecordErrorLeft;
        return false;
    }
    while (!me.done) {
        if (!writer.flushing)
            LeadGroup(hold);
        else
            me.wake.wait(hold);
    }
    *error = me.error;
    if (counter != nullptr)
        *counter = me.counter;
    return me.error == 0;
}

bool RecordTransactionOutcome(const RecordTicket& ticket, RecordOutcome outcome, int httpStatus,
                              int64_t serverUs, const char* reply) {
    if (ticket.slot < 0 || ticket.slot >= RecordSlots)
        return false;
    unsigned char part[OutcomePartSize];
    EncodeOutcome(ticket.writeId, outcome, false, httpStatus, serverUs, reply, part);
    std::lock_guard<std::mutex> io(writer.io);
    PlatformFile* file = nullptr;
    {
        std::lock_guard<std::mutex> hold(writer.guard);
        if (writer.slotWriteId[ticket.slot] == ticket.writeId)
            file = writer.file;
    }
    return file != nullptr && PlatformFileWriteAt(file, SlotOffset(ticket.slot) + StartPartSize,
                                                  part, OutcomePartSize) == OutcomePartSize;
}

void FreeRecordSlot(const RecordTicket& ticket) {
    if (ticket.slot < 0 || ticket.slot >= RecordSlots)
        return;
    std::lock_guard<std::mutex> hold(writer.guard);
    if (writer.slotWriteId[ticket.slot] == ticket.writeId)
        ReleaseSlot(ticket.slot);
}

void DescribeRecordError(int error, char* out, size_t size) {
    switch (error) {
    case RecordErrorClosed:
        std::snprintf(out, size, "no record file is open");
        break;
    case RecordErrorFull:
        std::snprintf(out, size, "all %d record slots hold transactions", RecordSlots);
        break;
    case RecordErrorLeft:
        std::snprintf(out, size, "the transaction left before it was recorded");
        break;
    case ErrorWrite:
        std::snprintf(out, size, "a write to the record file failed");
        break;
    default:
        FormatErrorText(error, out, size);
        break;
    }
}

void ReadRecordCounts(RecordCounts* counts) {
    std::lock_guard<std::mutex> hold(writer.guard);
    counts->flushes = writer.flushes;
    counts->waiting = writer.waiting;
}
