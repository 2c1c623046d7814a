// Service.h - the service host: modes, the service entry and control handler,
// status reports, the run sequence, stopping, install and remove.
#pragma once

extern const char ServiceName[];
extern const char ServiceDisplayName[];

// Only Windows has a service control manager; elsewhere the gateway runs in
// the foreground under systemd (see QuilletHollinGateway.service).
#ifdef _WIN32
constexpr bool HasServiceManager = true;
#else
constexpr bool HasServiceManager = false;
#endif

void PrintUsage();
void InstallService();
void RemoveService();
// The "check" command: shows the settings the gateway would use and every
// problem found in them, then tries the transaction server, the listen port
// and the counter without changing anything. Returns 1 if an error was
// found, else 0.
int CheckGateway();

void ServiceMain(int argc, char** argv);
void ServiceCtrlHandler(unsigned control);
bool ReportServiceStatus(unsigned state, unsigned exitCode, unsigned waitHint);

// The run sequence shared by service and debug mode; returns once stopped:
// true when a stop was asked for, false when it ended by itself (the port
// could not be bound, say).
bool RunGateway(int argc, char** argv);
void StopGateway();
// Debug mode; returns the process's exit code: 1 when the gateway ended
// without a stop request, else 0.
int DebugService(int argc, char** argv);
bool ConsoleCtrlHandler(unsigned event);

// The whole command line: chooses the mode and runs it.
int GatewayMain(int argc, char** argv);

// Where ReportServiceStatus sends each report: PlatformSetServiceStatus unless
// a test puts a recorder here to watch the states and check points.
using ServiceStatusSink = bool (*)(unsigned state, unsigned controlsAccepted, unsigned exitCode,
                                   unsigned checkPoint, unsigned waitHint);
extern ServiceStatusSink ServiceStatusReporter;
