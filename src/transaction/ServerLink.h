// ServerLink.h - one persistent connection to a transaction server (a
// "link"), used by one transaction at a time: whichever transaction holds it
// makes every call below.
#pragma once

#include "Platform.h"
#include "TillAnswer.h"

struct ServerLink {
    int index = 0;     // among the links, for the status port
    int terminal = -1; // the link's terminal address; -1: TerminalAddress, read per transaction
    PlatformSocket socket = PlatformNoSocket;
    PlatformTls* session = nullptr; // with ServerTls=1, while connected
    bool reconnectNeeded = true;
    int host = -1; // the host connected to, or last tried
    int64_t certificateNotAfter = 0;
};

// Drops the connection and tells the status port the link is there, not
// connected.
void ResetServerLink(ServerLink* link, int index, int terminal);

// Makes the link ready for a message: stray bytes on an idle connection are
// discarded, a closed, reset or out-of-step one is replaced, and one on the
// backup is replaced when the transaction server is to be tried again. A
// connect that fails tries the other host at once. False, with the till's
// error text in replyArea, when no host can be reached. *tried tells whether
// a connect was tried.
bool ReadyServerLink(ServerLink* link, char* replyArea, bool* tried);
// Sends the whole message. False, with the error text in replyArea, when the
// send failed (a failed send took no byte; over TLS, the text of a refused
// client certificate when that was why); the link is then out of step.
bool SendToServer(ServerLink* link, const char* message, int length, char* replyArea);
// Collects the reply to the message just sent (CollectReply over the link):
// Refused when the server ended the session over our client certificate.
// Anything but a whole reply leaves the link out of step.
TransactionResult CollectServerReply(ServerLink* link, char* replyArea, int replyTimeoutSeconds);
