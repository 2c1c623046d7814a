// ServiceStatus.cpp - the status reports to the service control manager.
#include "ServiceStatus.h"

#include "Files.h"
#include "Platform.h"

#include <mutex>

const char ServiceName[] = "QuilletHollinGateway";
const char ServiceDisplayName[] = "Quillet Hollin Gateway";

ServiceStatusSink ServiceStatusReporter = PlatformSetServiceStatus;

namespace {

// What the service control manager was last told, guarded by StatusLock: the
// dispatcher's thread (control handler) and the service's thread both report.
std::mutex StatusLock;
unsigned CurrentState = PlatformServiceStartPending;
unsigned CheckPoint = 1;

} // namespace

unsigned ReportedServiceState() {
    std::lock_guard<std::mutex> hold(StatusLock);
    return CurrentState;
}

bool ReportServiceStatus(unsigned state, unsigned exitCode, unsigned waitHint) {
    if (DebugMode)
        return true;
    std::lock_guard<std::mutex> hold(StatusLock);
    // No stop is accepted until the gateway is up.
    unsigned accepted = state == PlatformServiceStartPending ? 0 : PlatformServiceAcceptStop;
    CurrentState = state;
    unsigned checkPoint = 0;
    if (state != PlatformServiceRunning && state != PlatformServiceStopped)
        checkPoint = CheckPoint++;
    return ServiceStatusReporter(state, accepted, exitCode, checkPoint, waitHint);
}
