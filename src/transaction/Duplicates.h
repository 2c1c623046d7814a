// Duplicates.h - the duplicate window: the recent sales and voids, each by a
// keyed hash of what tells two purchases apart (kind, client address, card
// item, amount, reference), with what became of it, so that a till's repeat
// is answered 409 from the first one instead of reaching the server again.
// Safe from any thread.
#pragma once

#include "Metrics.h"
#include "Transaction.h"

// Empties the window and makes its key from the system's random source;
// false when no random bytes could be had (every check is then refused).
bool StartDuplicates();

// The entry a request holds while it goes on to the server.
struct DuplicateClaim {
    int slot = -1; // none: the request was not checked
    unsigned generation = 0;
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
// expired and been taken by another since.
void SettleDuplicate(const DuplicateClaim& claim, TransactionOutcome outcome, int sequence,
                     const char* tillText);
