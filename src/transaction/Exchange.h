// Exchange.h - what the transaction layer's files share, and nothing above
// them uses: the size check of a message, and the one persistent connection
// to the transaction server. Every server link call but StartServerLink is
// made with the transaction lock held.
#pragma once

#include "Metrics.h"
#include "Transaction.h"

// The length BuildMessage gives a sale or void, counted without formatting
// it: the size check before a number is taken costs no second format.
int SaleMessageLength(int terminalAddress, int sequenceNumber, int clientNumber, int amount,
                      const char* card, const char* reference, int entryMode);

// Reads the server's address and port; false when the name did not resolve.
bool StartServerLink();
const char* ServerLinkAddress();
unsigned short ServerLinkPort();

// Makes the connection ready for a message: stray bytes on an idle one are
// discarded, and a closed, reset or out-of-step one is replaced. False, with
// the till's error text in replyArea, when the server cannot be reached.
bool ReadyServerLink(char* replyArea);
// Sends the whole message. False, with the error text in replyArea, when the
// send failed (a failed send took no byte); the link is then out of step.
bool SendToServer(const char* message, int length, char* replyArea);
// Collects the reply to the message just sent (CollectReply over the link).
// Anything but a whole reply leaves the link out of step.
int CollectServerReply(char* replyArea, int replyTimeoutSeconds);

// Tells the status port how an exchange went, with card numbers masked in
// the failure text.
void NoteExchange(bool reached, const char* failure);

// The duplicate window: the recent sales and voids, each by a keyed hash of
// what tells two purchases apart (kind, client address, card item, amount,
// reference), with what became of it. Safe from any thread.

// Empties the window and makes its key from the system's random source;
// false when no random bytes could be had (every check is then refused).
bool StartDuplicates();
bool DuplicateKeyMade();
// The key, PlatformHmacSize bytes; for the test that it never leaves memory.
void CopyDuplicateKey(unsigned char* out);

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
