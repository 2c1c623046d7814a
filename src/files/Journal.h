// Journal.h - the transaction journal: one CSV file per local day beside the
// executable ("<JournalStem>-YYYY-MM-DD.csv"), one row for every transaction
// that reached the exchange, with the card masked to its last four.
#pragma once

#include "Files.h"
#include "Platform.h"

#include <climits>
#include <cstddef>
#include <cstdint>

// The sequence field of a row for which no number was taken. A counter file
// may hold any number, -1 included, so -1 cannot mean "none" here.
constexpr int JournalNoSequence = INT_MIN;

struct JournalRow {
    PlatformLocalTime started; // when the transaction began; names the day's file
    const char* client;        // dotted address; null gives an empty field
    int clientNumber;
    const char* kind; // "funds", "sale" or "void"
    int sequence;     // JournalNoSequence: no number taken
    int amount;
    // The card item itself is never handed over: only its length and its
    // last four characters, which is all the masked field shows.
    size_t cardLength;
    char cardTail[5];
    const char* reference; // null for funds
    const char* outcome;   // "not-sent", "replied", "in-doubt" or "duplicate"
    int httpStatus;
    int64_t serverUs;  // -1: nothing was sent
    const char* reply; // the till's body; long digit runs are masked when written
};

// The path of a day's file: "<JournalStem>-YYYY-MM-DD.csv".
constexpr size_t JournalDayPathSize = GatewayPathSize + 16;
void JournalDayPath(int year, int month, int day, char* out, size_t size);

// The instant a row's time names, in milliseconds since 1970 UTC.
int64_t JournalUtcMs(const PlatformLocalTime& time);

// The first line of every day's file, CR LF included.
extern const char JournalHeader[];

// Reads JournalDays (default 90; 0 or less turns the journal off), opens
// today's file and deletes day files older than that many days. Called by the
// run sequence before the listener starts; logs a failure to open.
void StartJournal();
// Lets go of the day's file; a row that still comes opens it again.
void StopJournal();

// Fills in the card fields of a row from the first item.
void SetJournalCard(JournalRow* row, const char* card);

// Formats a row as one CSV line ending in CR LF. Returns its length, or 0
// when it does not fit.
size_t FormatJournalRow(const JournalRow& row, char* out, size_t size);

// Appends a row to its day's file, opening that file when it is not the one
// held. Never waits for anything but the journal's own short lock and one
// write: a failure drops the row and is left for RunJournalChores to log.
void WriteJournalRow(const JournalRow& row);

// What must not happen while a till waits or under the transaction lock:
// logs "Unable to write the journal: <error text>" at most once per day, and
// deletes expired day files after a change of day. Cheap when there is
// nothing to do.
void RunJournalChores();
