// Service.cpp - the service control manager's side: the service entry, its
// control handler, install and remove.
#include "Service.h"

#include "ErrorText.h"
#include "Events.h"
#include "Files.h"
#include "Log.h"
#include "Platform.h"
#include "Run.h"
#include "ServiceStatus.h"

#include <cstdio>

namespace {

const char ServiceDescription[] =
    "Passes HTTP GET transaction requests from shop clients to the payment transaction server.";
// How long the service control manager waits before restarting a crashed gateway.
constexpr unsigned RestartDelayMs = 5000;
// Room for a full executable path in double quotes.
constexpr size_t CommandLineSize = 520;

// Outside Windows the install and remove commands always end at the service
// manager; say where the service set-up lives instead.
void PrintServiceManagerHint() {
    if (!HasServiceManager)
        std::printf("On Linux the gateway runs as a systemd service: install the unit file "
                    "QuilletHollinGateway.service (see README.md) instead.\n");
}

// A service that `install` did not set up (the .msi: wixl cannot write failure
// actions) gives itself the restart after a crash that `install` sets.
// Failure actions an operator has chosen are kept. A failure is logged; the
// service runs all the same.
void EnsureRestartOnFailure() {
    PlatformServiceHandle* manager = PlatformOpenServiceManager();
    PlatformServiceHandle* service = manager ? PlatformOpenService(manager, ServiceName) : nullptr;
    bool configured =
        service && (PlatformServiceHasRecovery(service) ||
                    PlatformConfigureServiceRecovery(service, ServiceDescription, RestartDelayMs));
    if (!configured) {
        char line[320];
        std::snprintf(line, sizeof line, "Unable to set the restart on failure: %s",
                      GetLastErrorText());
        WriteLogLine(line, LogEvent::Warning);
    }
    PlatformCloseServiceHandle(service);
    PlatformCloseServiceHandle(manager);
}

} // namespace

void InstallService() {
    char path[CommandLineSize - 2];
    if (!PlatformExecutablePath(path, sizeof path))
        path[0] = '\0';
    // Quoted, so that a path with blanks can never be read as a shorter
    // program followed by arguments.
    char commandLine[CommandLineSize];
    std::snprintf(commandLine, sizeof commandLine, "\"%s\"", path);

    PlatformServiceHandle* manager = PlatformOpenServiceManager();
    if (!manager) {
        std::printf("Unable to open service manager:\n%s\n", GetLastErrorText());
        PrintServiceManagerHint();
        return;
    }
    PlatformServiceHandle* service =
        PlatformCreateService(manager, ServiceName, ServiceDisplayName, commandLine);
    if (service) {
        // The text is taken before anything else can change the last error.
        bool configured =
            PlatformConfigureServiceRecovery(service, ServiceDescription, RestartDelayMs);
        const char* recoveryError = configured ? "" : GetLastErrorText();
        std::printf("%s installed.\n", ServiceDisplayName);
        if (!configured)
            std::printf("Unable to set the service description and restart on failure:\n%s\n",
                        recoveryError);
        // The Event Log finds the texts of the gateway's events in the
        // executable's own message table.
        int error = PlatformAddEventSource(ServiceName, path);
        if (error != 0) {
            char text[256];
            FormatErrorText(error, text, sizeof text);
            std::printf("Unable to register the event source:\n%s\n", text);
        }
        PlatformCloseServiceHandle(service);
    } else {
        std::printf("Unable to create service:\n%s\n", GetLastErrorText());
    }
    PlatformCloseServiceHandle(manager);
}

void RemoveService() {
    PlatformServiceHandle* manager = PlatformOpenServiceManager();
    if (!manager) {
        std::printf("Unable to open service manager:\n%s\n", GetLastErrorText());
        PrintServiceManagerHint();
        return;
    }
    PlatformServiceHandle* service = PlatformOpenService(manager, ServiceName);
    if (!service) {
        std::printf("Unable to open service:\n%s\n", GetLastErrorText());
    } else {
        if (PlatformDeleteService(service)) {
            std::printf("%s removed.\n", ServiceDisplayName);
            int error = PlatformRemoveEventSource(ServiceName);
            if (error != 0) {
                char text[256];
                FormatErrorText(error, text, sizeof text);
                std::printf("Unable to remove the event source:\n%s\n", text);
            }
        } else
            std::printf("Unable to delete service:\n%s\n", GetLastErrorText());
        PlatformCloseServiceHandle(service);
    }
    PlatformCloseServiceHandle(manager);
}

void ServiceMain(int argc, char** argv) {
    if (!PlatformRegisterServiceCtrlHandler(ServiceName, ServiceCtrlHandler))
        return;
    StartEventLog(ServiceName);
    if (ReportServiceStatus(PlatformServiceStartPending, 0, 3000)) {
        EnsureRestartOnFailure();
        if (!RunGateway(argc, argv))
            ReportLogEvent(LogEvent::Error, "The gateway stopped without a stop request.");
    }
    StopEventLog();
    ReportServiceStatus(PlatformServiceStopped, 0, 0);
}

void ServiceCtrlHandler(unsigned control) {
    if (control == PlatformServiceControlStop) {
        ReportServiceStatus(PlatformServiceStopPending, 0, 0);
        StopGateway();
        return;
    }
    ReportServiceStatus(ReportedServiceState(), 0, 0);
}
