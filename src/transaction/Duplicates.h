// Duplicates.h - the duplicate window: the recent sales and voids, each by a
// keyed hash of what tells two purchases apart (kind, client address, card
// item, amount, reference), with what became of it, so that a till's repeat
// is answered 409 from the first one instead of reaching the server again.
// Safe from any thread.
#pragma once

#include "Metrics.h"
#include "Records.h"
#include "Transaction.h"

#include <cstdint>

// Empties the window. Its key is the one given (the key file's, which
// outlasts the process), or else one made from the system's random source
// for this run alone; false when neither could be had (every check is then
// refused).
bool StartDuplicates(const unsigned char* storedKey);

// The entry a request holds while it goes on to the server.
struct DuplicateClaim {
    int slot = -1; // none: the request was not checked
    unsigned generation = 0;
    // The keyed hash it is matched by, and whether the key outlasts the run:
    // only then is the hash worth recording for a later start.
    unsigned char match[RecordMatchSize];
    bool lasting = false;
};

enum class DuplicateVerdict {
    Proceed, // not a repeat; a checked request holds its new entry in claim
    Repeat,  // replyArea holds the till's text; *original tells the first's state
    Refused, // not checked (every entry live, or no key); replyArea holds the text
};

// Looks a sale or void up in the window of DuplicateWindow seconds (read
// here; 0 checks nothing), as does a funds-available request or one without
// a reference: never. The items are read before replyArea is written.
DuplicateVerdict CheckDuplicate(char* replyArea, const TransactionRequest& request,
                                DuplicateClaim* claim, MetricOriginal* original);

// Records what became of the claimed request: NotSent drops its entry (the
// server never saw it), Replied keeps the till's text, InDoubt stays so
// until it expires. Nothing for an empty claim, or for one whose entry has
// expired and been taken by another since. True when the entry stays: it
// then holds the record's ticket and frees its slot when it leaves the
// window; otherwise the caller frees it.
bool SettleDuplicate(const DuplicateClaim& claim, TransactionOutcome outcome, int sequence,
                     const char* tillText, const RecordTicket& ticket);

// Puts back an entry of a replied or in-doubt sale or void recorded before
// the last stop, startedUtcMs being its start. True when the window keeps it
// (and the ticket with it); false when it has already passed, the window is
// off, or every entry is live.
bool RestoreDuplicate(const unsigned char* match, int64_t startedUtcMs, TransactionOutcome outcome,
                      int sequence, const char* tillText, const RecordTicket& ticket);
