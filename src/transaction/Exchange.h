// Exchange.h - what the transaction layer's files share, and nothing above
// them uses: the size check of a message, and the one persistent connection
// to the transaction server. Every server link call but StartServerLink is
// made with the transaction lock held.
#pragma once

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
