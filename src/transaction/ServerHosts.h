// ServerHosts.h - the transaction server and its backup: where new server
// connections go, the move to the backup when a connect fails and the way
// back after ServerFailBackSeconds, each said once in the log and the Event
// Log. Safe from any thread.
#pragma once

#include "TlsSettings.h"

constexpr int PrimaryHost = 0;
constexpr int BackupHost = 1;

struct ServerHost {
    char address[32]; // dotted, or the name as written when it did not resolve
    unsigned short port;
    char where[48]; // "address:port"
    ServerTlsSettings tls;
    bool backup;
};

// Reads both hosts' addresses, ports and TLS settings, and starts on the
// transaction server; false when ServerAddress did not resolve (the backup's
// name is told by LogServerHostSettings).
bool StartServerHosts();
// 1, or 2 with a backup.
int ServerHostCount();
const ServerHost& GetServerHost(int host);
// ServerConnectTimeout, in milliseconds.
int ServerConnectLimitMs();

// The host a link should be connected to now, given the one it is connected
// to (-1: none): the one in use, except that once ServerFailBackSeconds have
// passed on the backup one link at a time is sent to try the transaction
// server again. A link given PrimaryHost must then connect and tell the
// outcome with NoteHostReached or NoteHostFailed.
int ChooseHost(int connectedHost);
// A connect (and handshake) to host made, or failed with the till's text.
void NoteHostReached(int host);
void NoteHostFailed(int host, const char* replyArea);

// At start, in the log (errors also in the Event Log): a backup name that
// did not resolve, and TLS settings that would refuse every connection (a
// fingerprint that is not one, an unusable ServerCaFile).
void LogServerHostSettings();
