// ServiceStatus.h - the service's names, and what the service control
// manager is told of its state (nothing in debug mode).
#pragma once

extern const char ServiceName[];
extern const char ServiceDisplayName[];

// Reports a state with a check point while it is pending; stops are
// accepted once the gateway is up.
bool ReportServiceStatus(unsigned state, unsigned exitCode, unsigned waitHint);
// The state last reported.
unsigned ReportedServiceState();

// Where ReportServiceStatus sends each report: PlatformSetServiceStatus unless
// a test puts a recorder here to watch the states and check points.
using ServiceStatusSink = bool (*)(unsigned state, unsigned controlsAccepted, unsigned exitCode,
                                   unsigned checkPoint, unsigned waitHint);
extern ServiceStatusSink ServiceStatusReporter;
