// DayFigures.h - a day's figures from its journal file, computed in one place
// for the "report" command and the status page: totals by kind and outcome,
// the sales and voids in doubt, what was not sent and why, the first, last
// and slowest transactions, and the damaged rows.
#pragma once

#include "JournalReader.h"

#include <cstdint>
#include <string>
#include <vector>

struct DayTotal {
    int64_t count = 0;
    int64_t amount = 0; // the sum of the rows' amounts
};

// The not-sent rows that gave the till one text.
struct DayReason {
    std::string text; // the reply field
    int64_t count = 0;
};

struct DayFigures {
    DayTotal totals[JournalKindCount][JournalOutcomeCount]; // by kind, then outcome
    // Sales and voids in doubt, in file order: each must be looked up with
    // the transaction server before the till tries again. A funds request in
    // doubt moved no money and is only counted.
    std::vector<JournalEntry> inDoubt;
    // The most frequent reason first; equal counts in order of appearance.
    std::vector<DayReason> notSent;
    int64_t rows = 0; // sound rows
    // The earliest and latest start (the first and last in the file among
    // equal times); meaningful when rows > 0.
    JournalEntry first;
    JournalEntry last;
    // The longest time at the server; meaningful when slowest.serverUs >= 0.
    JournalEntry slowest;
    std::vector<JournalDamage> damaged;
};

// Reads the day file at path into figures, which start afresh. Returns
// ReadJournalFile's code: 0, or why the file could not be read.
int ReadDayFigures(const char* path, DayFigures* figures);
