// CommandLine.h - the whole command line: the mode from the account and the
// first argument (service, install, remove, check, debug, or the usage text).
#pragma once

void PrintUsage();
// Chooses the mode and runs it; returns the process's exit code.
int GatewayMain(int argc, char** argv);
