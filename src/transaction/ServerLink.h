// ServerLink.h - the one persistent connection to the transaction server.
// Every call but StartServerLink is made with the transaction lock held.
#pragma once

#include "TillAnswer.h"

// Reads the server's address, port and TLS settings, and drops any
// connection an earlier start left; false when the name did not resolve.
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
TransactionResult CollectServerReply(char* replyArea, int replyTimeoutSeconds);
