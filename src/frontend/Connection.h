// Connection.h - one accepted till connection, shared by the listener that
// accepts it and the connection thread that may carry out its transaction:
// exactly one response, then the close.
#pragma once

#include "Platform.h"
#include "Request.h"

// One accepted connection. The listener owns it until its request has been
// read; a transaction's connection thread owns its copy, and the copy's area.
struct ConnectionRecord {
    PlatformSocket socket;
    char clientAddress[32];
    char date[32];  // the HTTP date of the moment it was accepted
    bool announced; // its "Received connection" line is out
    char* area;     // WorkAreaSize bytes, given when the request is read
    RequestDecision decision;
};

// What a listener's run gives every request it serves.
struct ListenerRun {
    PlatformEvent* stopEvent; // a transaction waiting for the lock gives up when it is set
    bool voidAllowed;
};

// Accepts one connection into record and takes the date. False if none
// could be taken.
bool AcceptConnection(PlatformSocket listener, ConnectionRecord* record);

// Writes the connection's "Received connection" line, once, unless
// CloseConnection writes it together with its own.
void AnnounceConnection(ConnectionRecord* record);

// Judges the request of received bytes (already in the area) and either
// answers it and closes the connection, or hands a copy of the record and
// its area to a connection thread for the transaction. Either way the
// record and area stay the caller's, and the caller wipes the area.
void ServeRequest(const ListenerRun& run, ConnectionRecord* record, long received);

// Sends the one response of a connection.
void SendAnswer(ConnectionRecord* record, HttpAnswer answer);

// Writes the "Closed connection" line (after the "Received connection" line
// if that is not out yet) and closes the socket; the record itself stays the
// owner's to free or reuse.
void CloseConnection(ConnectionRecord* record);
