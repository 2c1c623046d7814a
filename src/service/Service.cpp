// Service.cpp - the service host: picks the mode from the account and the
// first argument, talks to the service control manager (entry, control
// handler, status reports, install and remove), and runs the gateway between
// start and stop, as a service or in the foreground ("debug").
#include "service/Service.h"

#include "files/Files.h"
#include "files/Journal.h"
#include "frontend/Frontend.h"
#include "platform/Platform.h"
#include "service/Version.h"
#include "transaction/Transaction.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

const char ServiceName[] = "QuilletHollinGateway";
const char ServiceDisplayName[] = "Quillet Hollin Gateway";

ServiceStatusSink ServiceStatusReporter = PlatformSetServiceStatus;

namespace {

// Only Windows has a service control manager; elsewhere the gateway runs in
// the foreground under systemd (see QuilletHollinGateway.service).
#ifdef _WIN32
constexpr bool HasServiceManager = true;
#else
constexpr bool HasServiceManager = false;
#endif

const char ServiceDescription[] =
    "Passes HTTP GET transaction requests from shop clients to the payment transaction server.";
// How long the service control manager waits before restarting a crashed gateway.
constexpr unsigned RestartDelayMs = 5000;
// Room for a full executable path in double quotes.
constexpr size_t CommandLineSize = 520;
constexpr size_t UserNameSize = 47;

// What the service control manager was last told, guarded by StatusLock: the
// dispatcher's thread (control handler) and the service's thread both report.
std::mutex StatusLock;
unsigned CurrentState = PlatformServiceStartPending;
unsigned CheckPoint = 1;

// A stop that arrives before the run sequence has its StopEvent (Ctrl+C right
// after start) is remembered here and honoured as soon as the event exists.
std::atomic<bool> StopRequested{false};
std::atomic<PlatformEvent*> ActiveStopEvent{nullptr};

bool SameWordIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

// Outside Windows the install and remove commands always end at the service
// manager; say where the service set-up lives instead.
void PrintServiceManagerHint() {
    if (!HasServiceManager)
        std::printf("On Linux the gateway runs as a systemd service: install the unit file "
                    "QuilletHollinGateway.service (see README.md) instead.\n");
}

// Fills ServerAddress from the "ServerAddress" setting, resolving a host name
// once here: the exchange itself only takes dotted addresses. Returns false
// when the name could not be resolved; the text is then kept as configured.
bool ObtainServerAddress() {
    char configured[sizeof(ServerAddress)];
    PlatformProfileString("Settings", "ServerAddress", "127.0.0.1", configured, sizeof configured,
                          SettingsPath);
    char dotted[sizeof(ServerAddress)];
    bool resolved = PlatformResolveIPv4(configured, dotted, sizeof dotted);
    std::snprintf(ServerAddress, sizeof ServerAddress, "%s", resolved ? dotted : configured);
    return resolved;
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
        WriteLogLine(line);
    }
    PlatformCloseServiceHandle(service);
    PlatformCloseServiceHandle(manager);
}

} // namespace

void PrintUsage() {
    std::printf("\n%s\n", "Quillet Hollin Gateway - Copyright (c) 2009 Quillet Hollin");
    std::printf("http://www.quillethollin.example/\n");
    std::printf("Version: %s (%s)\n", GATEWAY_VERSION, GATEWAY_RELEASE_DATE);
    std::printf("\n");
    std::printf("Syntax:\n");
    std::printf("QuilletHollinGateway install           Install service\n");
    std::printf("QuilletHollinGateway remove            Remove service\n");
    std::printf("QuilletHollinGateway check             Check settings and connections\n");
}

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
        if (PlatformDeleteService(service))
            std::printf("%s removed.\n", ServiceDisplayName);
        else
            std::printf("Unable to delete service:\n%s\n", GetLastErrorText());
        PlatformCloseServiceHandle(service);
    }
    PlatformCloseServiceHandle(manager);
}

void ServiceMain(int argc, char** argv) {
    if (!PlatformRegisterServiceCtrlHandler(ServiceName, ServiceCtrlHandler))
        return;
    if (ReportServiceStatus(PlatformServiceStartPending, 0, 3000)) {
        EnsureRestartOnFailure();
        RunGateway(argc, argv);
    }
    ReportServiceStatus(PlatformServiceStopped, 0, 0);
}

void ServiceCtrlHandler(unsigned control) {
    if (control == PlatformServiceControlStop) {
        ReportServiceStatus(PlatformServiceStopPending, 0, 0);
        StopGateway();
        return;
    }
    unsigned state;
    {
        std::lock_guard<std::mutex> hold(StatusLock);
        state = CurrentState;
    }
    ReportServiceStatus(state, 0, 0);
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

void RunGateway(int, char**) {
    PlatformEvent* stopEvent = PlatformCreateEvent();
    if (!stopEvent) {
        char line[64];
        std::snprintf(line, sizeof line, "Unable to create the stop event: Error %d",
                      PlatformLastError());
        WriteLogLine(line);
        return;
    }
    StopEvent = stopEvent;
    ActiveStopEvent.store(stopEvent);
    if (StopRequested.exchange(false))
        PlatformSetEvent(stopEvent);

    ReportServiceStatus(PlatformServiceStartPending, 0, 3000);
    bool resolved = ObtainServerAddress();
    ReportServiceStatus(PlatformServiceRunning, 0, 3000);

    TransactionLock = PlatformCreateMutex("Mutex");
    WriteLogLine("Service started");
    char line[128];
    if (!resolved) {
        std::snprintf(line, sizeof line,
                      "Unable to resolve the transaction server name %s; using it as written.",
                      ServerAddress);
        WriteLogLine(line);
    }
    if (!TransactionLock) {
        // Without the lock no transaction could run safely: do not listen.
        std::snprintf(line, sizeof line, "Unable to create the transaction lock: Error %d",
                      PlatformLastError());
        WriteLogLine(line);
    } else {
        std::snprintf(line, sizeof line, "Transaction server address is %s.", ServerAddress);
        WriteLogLine(line);
        StartJournal();
        RunListener();
        StopJournal();
    }
    WriteLogLine("Service stopped");
    // StopEvent itself stays open: connection threads may still wait on it.
    ActiveStopEvent.store(nullptr);
}

void StopGateway() {
    PlatformEvent* stopEvent = ActiveStopEvent.load();
    if (!stopEvent) {
        StopRequested.store(true);
        // The run sequence may have published its event meanwhile.
        stopEvent = ActiveStopEvent.load();
    }
    if (stopEvent)
        PlatformSetEvent(stopEvent);
}

void DebugService(int argc, char** argv) {
    std::printf("Debugging %s.\n", ServiceDisplayName);
    PlatformSetConsoleCtrlHandler(ConsoleCtrlHandler);
    RunGateway(argc, argv);
}

bool ConsoleCtrlHandler(unsigned event) {
    if (event != 0 && event != 1)
        return false;
    std::printf("Stopping %s.\n", ServiceDisplayName);
    StopGateway();
    return true;
}

int GatewayMain(int argc, char** argv) {
    // Console lines go out as they are written, also into a pipe (the journal).
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    char user[UserNameSize];
    bool isSystem = PlatformUserName(user, sizeof user) && std::strcmp(user, "SYSTEM") == 0;

    char executable[GatewayPathSize];
    if (!PlatformExecutablePath(executable, sizeof executable))
        executable[0] = '\0';
    DeriveFilePaths(executable);

    if (!PlatformIsSupportedSystem()) {
        std::printf("Quillet Hollin Gateway requires Windows NT 4.0 or later.\n");
        return 0;
    }
    if (isSystem && argc < 2 && HasServiceManager) {
        PlatformStartServiceDispatcher(ServiceName, ServiceMain);
        return 0;
    }
    if (argc >= 2) {
        if (SameWordIgnoringCase(argv[1], "install")) {
            InstallService();
            return 0;
        }
        if (SameWordIgnoringCase(argv[1], "remove")) {
            RemoveService();
            return 0;
        }
        if (SameWordIgnoringCase(argv[1], "check"))
            return CheckGateway();
        if (SameWordIgnoringCase(argv[1], "debug")) {
            DebugMode = true;
            DebugService(argc, argv);
            return 0;
        }
    }
    PrintUsage();
    return 0;
}
