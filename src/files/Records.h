// Records.h - the write-ahead record file: every sale and void is on stable
// storage before its message leaves, its outcome follows once known, and a
// start after a crash reads back what was in flight and the duplicate
// window's entries. No card number is kept, nor anything it could be computed
// from without the match key: only its length, last four and the keyed hash.
//
// A process writes "<JournalStem>.rec", or the first of "<JournalStem>.1.rec"
// to ".7.rec" no other live process holds (the one-writer rule). The file is
// a table of fixed slots behind a two-block header that carries the sequence
// counter's next number; it never grows past the slots in use at once.
#pragma once

#include "Platform.h"

#include <cstddef>
#include <cstdint>

constexpr int RecordFileCount = 8;
// The duplicate window's entries, and transactions between their start and
// their outcome beyond those (waiting for the server's connection or reply).
constexpr int RecordWindowSlots = 4096;
constexpr int RecordInFlightSlots = 1024;
constexpr int RecordSlots = RecordWindowSlots + RecordInFlightSlots;

constexpr size_t RecordClientSize = 48;     // a dotted address and its zero
constexpr size_t RecordReferenceSize = 256; // any reference that fits a message
constexpr size_t RecordReplySize = 992;     // the longest reply text kept
constexpr size_t RecordMatchSize = 32;      // the keyed hash of the window

enum class RecordKind : uint8_t { Sale = 1, Void = 2 };
enum class RecordOutcome : uint8_t { None = 0, Replied = 1, InDoubt = 2, NotSent = 3 };

// A transaction as it starts. Texts end with a zero byte; longer ones are cut.
struct RecordStart {
    int64_t startedUtcMs;
    PlatformLocalTime started; // for the journal: its day's file and time
    char client[RecordClientSize];
    int clientNumber;
    RecordKind kind;
    int amount;
    char reference[RecordReferenceSize];
    int cardLength;
    char cardTail[5]; // the card's last four, empty when it has four or fewer
    bool windowed;    // match holds the duplicate window's hash of the items
    unsigned char match[RecordMatchSize];
};

// A recorded transaction: its slot, which use of the slot, and its number.
struct RecordTicket {
    int slot = -1; // -1: nothing to write or free
    uint64_t writeId = 0;
    int sequence = 0;
};

// Error codes of their own beside the system's, for DescribeRecordError.
constexpr int RecordErrorClosed = -1; // no record file is open
constexpr int RecordErrorFull = -2;   // every slot holds a live record
constexpr int RecordErrorLeft = -4;   // the caller's joined procedure left the queue

// Called under the queue's lock as a caller of RecordTransactionStart takes
// its place, so that it may take a place in another queue in the same order
// (its numbers follow the order of the places). False: it leaves at once.
using RecordJoined = bool (*)(void* context);

// Numbers the transaction and writes its start part, returning once that is
// on stable storage. Callers that come while another group is being flushed
// wait and form the next group: one of them reserves the counter's numbers
// for all of them in the order they came, writes their parts and the header,
// flushes the file once and wakes the rest. False with *error (a system code
// or RecordError*) when the part is not known to be stored: the transaction
// must not be sent, and its number, if one was reserved, is never used;
// *counter tells whether it was the counter file that failed. joined, when
// given, is called with context once the caller has its place.
bool RecordTransactionStart(const RecordStart& start, RecordTicket* ticket, int* error,
                            bool* counter = nullptr, RecordJoined joined = nullptr,
                            void* context = nullptr);

// The outcome, written into the transaction's slot without a flush. The
// reply is masked as the journal masks it (digit runs of a card's length
// show their last four) and cut to RecordReplySize. False when it could not
// be written; the record then reads as in flight after a restart.
bool RecordTransactionOutcome(const RecordTicket& ticket, RecordOutcome outcome, int httpStatus,
                              int64_t serverUs, const char* reply);

// Lets the slot be used again, once the outcome is written and the record has
// left the duplicate window (or never was in it). A stale ticket is ignored.
void FreeRecordSlot(const RecordTicket& ticket);

// "<error text>" for a system code, or the sentence for a RecordError code.
void DescribeRecordError(int error, char* out, size_t size);

// One record read back at start.
struct RecoveredRecord {
    RecordStart start;
    int sequence;
    int file; // 0 for "<JournalStem>.rec", n for "<JournalStem>.n.rec"
    // None: it was in flight when its process stopped. The reader's
    // procedure then sets the outcome it is to be marked with (InDoubt, or
    // the outcome of a journal row that came out before the stop).
    RecordOutcome outcome;
    bool recovered; // marked by an earlier start, not by its own process
    int httpStatus;
    int64_t serverUs;
    char reply[RecordReplySize + 1];
    // A replied or in-doubt record that started within the window before
    // now: the window takes it back.
    bool inWindow;
    // In this process's own file, a window entry's slot, which the
    // procedure may keep: it sets kept, and frees the slot at the window's
    // end. Slot -1 otherwise.
    RecordTicket ticket;
    bool kept;
};

// Called for every record in flight at the stop, in the order they started,
// then for every other window entry. For one in flight the procedure writes
// what it needs (the journal row) before it returns, and sets outcome,
// httpStatus, serverUs and reply (left None: in doubt, with the reply "The
// gateway stopped before the reply came."): the record is marked with them
// after the call, so a later start does not recover it again.
using RecordProc = void (*)(RecoveredRecord* record, void* context);

struct RecordSummary {
    int ownFile;     // the file this process writes; -1 for ListRecords
    int inFlight;    // records in flight at the stop, now marked
    int windowed;    // window entries handed back, those in flight included
    int nextNumber;  // the counter's next number once started
    bool counterSet; // the counter file was behind and has been set to nextNumber
};

// At start: claims this process's file, reads it and every other record file
// whose process has ended, calls proc for what they hold, marks what was in
// flight, sets the counter past every number recorded (when the counter file
// is behind) and lets the other files go. windowMs is the duplicate window's
// length (0 when it is off). False, with a sentence in reason, when no record
// file could be claimed or the marks could not be stored.
bool OpenRecords(int64_t windowMs, RecordProc proc, void* context, RecordSummary* summary,
                 char* reason, size_t reasonSize);

// The same reading for "check", changing nothing: no file is made, claimed
// for longer than the reading or written, and files of live processes are
// left out.
bool ListRecords(int64_t windowMs, RecordProc proc, void* context, RecordSummary* summary,
                 char* reason, size_t reasonSize);

// Lets go of this process's record file. Callers that wait are told
// RecordErrorClosed.
void CloseRecords();

// The path of record file n (0 to RecordFileCount - 1).
void RecordFilePath(int n, char* out, size_t size);

// How many group flushes this process has made, and how many callers wait to
// join the next group.
struct RecordCounts {
    uint64_t flushes;
    int waiting;
};
void ReadRecordCounts(RecordCounts* counts);
