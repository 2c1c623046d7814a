// Run.h - the run sequence shared by service and debug mode, and stopping it.
#pragma once

// Runs the gateway from start to stop; returns once stopped: true when a
// stop was asked for, false when it ended by itself (the port could not be
// bound, say).
bool RunGateway(int argc, char** argv);
// Asks the running gateway to stop; a stop that comes before the run has
// its stop event is honoured as soon as it does.
void StopGateway();
// Debug mode; returns the process's exit code: 1 when the gateway ended
// without a stop request, else 0.
int DebugService(int argc, char** argv);
// Ctrl+C and Ctrl+Break (SIGINT and SIGTERM on Linux) stop the gateway.
bool ConsoleCtrlHandler(unsigned event);
