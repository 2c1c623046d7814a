// JournalReader.h - the one reader of the journal's day files: typed rows in
// file order, and each damaged row with the line it starts on, skipped. It
// reads a day file while the gateway appends to it, and never reads outside
// the text it is given, whatever that holds.
#pragma once

#include "Files.h"
#include "Journal.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class JournalKind { Funds, Sale, Void };
enum class JournalOutcome { Replied, InDoubt, NotSent, Duplicate };
constexpr int JournalKindCount = 3;
constexpr int JournalOutcomeCount = 4;

// "funds", "sale", "void"; "replied", "in-doubt", "not-sent", "duplicate":
// the words of the file.
const char* JournalKindName(JournalKind kind);
const char* JournalOutcomeName(JournalOutcome outcome);

// One sound row. The texts are the fields as written, unquoted; the card
// field and digit runs in the reply are masked again the way the writer
// masks them, so a hand-edited file shows no more card data than the
// gateway writes.
struct JournalEntry {
    int line = 0;      // the line the row starts on; the header is line 1
    std::string time;  // "2026-12-08T14:03:07.123+01:00"
    int64_t utcMs = 0; // the same instant, in milliseconds since 1970 UTC
    std::string client;
    int clientNumber = 0;
    JournalKind kind = JournalKind::Sale;
    int sequence = JournalNoSequence; // JournalNoSequence: no number taken
    int amount = 0;
    std::string card;
    std::string reference;
    JournalOutcome outcome = JournalOutcome::Replied;
    int httpStatus = 0;
    int64_t serverUs = -1; // -1: nothing was sent
    std::string reply;
};

// A row that is skipped. The reason is a fixed text, never the row's bytes.
struct JournalDamage {
    int line; // where the row starts
    const char* reason;
};

using JournalEntryProc = void (*)(const JournalEntry& entry, void* context);
using JournalDamageProc = void (*)(const JournalDamage& damage, void* context);

// Reads a day file's text: the header line, then rows ending in CR LF (a
// bare LF is taken too), fields as RFC 4180 has them; a quoted reply may
// hold line ends. Calls onEntry for each sound row and onDamage for each
// damaged one, in file order. After a row whose quotes or fields do not add
// up (cut short by a power cut, say), reading goes on at the next line that
// starts with a row's time; a last row without its line end is cut short.
void ReadJournalText(const char* text, size_t size, JournalEntryProc onEntry,
                     JournalDamageProc onDamage, void* context);

// Reads the day file at path as it is at that moment, sharing it with the
// gateway's writer. Returns 0, the system's error code when it cannot be
// read (PlatformFileNotFound when it does not exist), or JournalTooLarge.
constexpr int JournalTooLarge = -1;
int ReadJournalFile(const char* path, JournalEntryProc onEntry, JournalDamageProc onDamage,
                    void* context);

// The same into two lists.
struct JournalDay {
    std::vector<JournalEntry> entries;
    std::vector<JournalDamage> damaged;
};
int ReadJournalDay(const char* path, JournalDay* day);
