// Frontend.h - the HTTP side: the listener, which watches every connection
// until its request is there and answers what needs no transaction, and the
// connection threads that carry out transactions.
#pragma once

#include "frontend/Request.h"
#include "platform/Platform.h"

// Start-time settings, written by RunListener before any connection thread.
extern int ListenPort;
extern bool VoidAllowed;
// Connections from one address that may wait for their request at once; 0: no cap.
// Read at start.
extern int MaxPendingPerAddress;

// One accepted connection. The listener owns it until its request has been
// read; a transaction's connection thread owns its copy, and the copy's area.
struct ConnectionRecord {
    PlatformSocket socket;
    char clientAddress[32];
    char date[32];      // the HTTP date of the moment it was accepted
    int64_t deadlineMs; // monotonic: a silent client is let go then
    bool announced;     // its "Received connection" line is out
    ConnectionRecord* older;
    ConnectionRecord* newer;
    char* area; // WorkAreaSize bytes, given when the request is read
    RequestDecision decision;
};

// Serves connections until StopEvent is set or the listening socket fails.
int RunListener();

// Accepts one connection into record and takes the date. False if none
// could be taken.
bool AcceptConnection(PlatformSocket listener, ConnectionRecord* record);

// Writes the connection's "Received connection" line, once, unless
// CloseConnection writes it together with its own.
void AnnounceConnection(ConnectionRecord* record);

// Judges the request of received bytes (already in the area) and either
// answers it and closes the connection, or hands a copy of the record and
// its area to a connection thread for the transaction. Either way the
// record and area stay the caller's.
void ServeRequest(ConnectionRecord* record, long received);

// Sends the one response of a connection.
void SendAnswer(ConnectionRecord* record, HttpAnswer answer);

// Writes the "Closed connection" line (after the "Received connection" line
// if that is not out yet) and closes the socket; the record itself stays the
// owner's to free or reuse.
void CloseConnection(ConnectionRecord* record);

// While a batch is begun on a thread, the debug lines of the connections it
// handles are gathered and go out when it is flushed or ended: the listener
// flushes once per pass of its loop, and before a transaction starts.
void BeginConsoleBatch();
void FlushConsoleBatch();
void EndConsoleBatch();

// The status port ("StatusPort", off at 0, on "StatusAddress"): started by
// RunListener once it listens, ended when its accept loop has ended. A bind
// failure is logged and leaves the tills' listener alone.
void StartStatusListener();
void EndStatusListener();
