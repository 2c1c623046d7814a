// Check.h - the "check" command: the settings the gateway would use and
// every problem found in them, then the transaction server, the listen port
// and the counter tried without changing anything: no log line, no counter,
// no message sent.
#pragma once

// Returns 1 if an error was found, else 0.
int CheckGateway();
