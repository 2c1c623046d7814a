// CheckProbes.h - what "check" tries beyond the file, changing nothing.
#pragma once

#include "CheckSettings.h"

// With ServerTls=1 the client certificate loaded and shown, once; a connect
// to the transaction server and to the backup server, if any (with
// ServerTls=1 the handshake too; with ServerTls=0 a handshake's first
// flight, to notice a TLS server; never a message).
void ProbeServer(CheckReport* report, const CheckTargets& targets);
// A bind of the port, let go at once.
void ProbePort(CheckReport* report, const char* what, const char* address, int configured);
// The counter read.
void ShowSequence(CheckReport* report);
// What a start would recover from the record files, read without a change.
void ShowRecovery(CheckReport* report);
