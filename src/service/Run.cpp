// Run.cpp - the command line and the run sequence: picks the mode from the
// account and the first argument, and runs the gateway between start and
// stop, as a service or in the foreground ("debug").
#include "Service.h"

#include "Files.h"
#include "Frontend.h"
#include "Journal.h"
#include "Platform.h"
#include "Report.h"
#include "Transaction.h"
#include "Version.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t UserNameSize = 47;

// A stop that arrives before the run sequence has its stop event (Ctrl+C right
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
    std::printf("QuilletHollinGateway report [date]     Report a day from the journal (YYYY-MM-DD, "
                "default today)\n");
}

bool RunGateway(int, char**) {
    // Owned here, and handed to the listener and through it to every
    // transaction. It stays open after the run: connection threads may
    // still wait on it.
    PlatformEvent* stopEvent = PlatformCreateEvent();
    if (!stopEvent) {
        char line[64];
        std::snprintf(line, sizeof line, "Unable to create the stop event: Error %d",
                      PlatformLastError());
        WriteLogLine(line, LogEvent::Error);
        return false;
    }
    ActiveStopEvent.store(stopEvent);
    if (StopRequested.exchange(false))
        PlatformSetEvent(stopEvent);

    ReportServiceStatus(PlatformServiceStartPending, 0, 3000);
    PlatformMutex* transactionLock = PlatformCreateMutex("Mutex");
    int lockError = transactionLock ? 0 : PlatformLastError();
    bool resolved = StartTransactions(transactionLock);
    ReportServiceStatus(PlatformServiceRunning, 0, 3000);

    WriteLogLine("Service started", LogEvent::Information);
    char line[128];
    if (!resolved) {
        std::snprintf(line, sizeof line,
                      "Unable to resolve the transaction server name %s; using it as written.",
                      ServerAddressInUse());
        WriteLogLine(line, LogEvent::Warning);
    }
    if (!DuplicateWindowReady())
        WriteLogLine("Unable to make the duplicate window's key: while DuplicateWindow is on, "
                     "sales and voids are refused.",
                     LogEvent::Warning);
    if (!transactionLock) {
        // Without the lock no transaction could run safely: do not listen.
        std::snprintf(line, sizeof line, "Unable to create the transaction lock: Error %d",
                      lockError);
        WriteLogLine(line, LogEvent::Error);
    } else {
        std::snprintf(line, sizeof line, "Transaction server address is %s.", ServerAddressInUse());
        WriteLogLine(line);
        StartJournal();
        RunListener(stopEvent);
        StopJournal();
    }
    WriteLogLine("Service stopped", LogEvent::Information);
    ActiveStopEvent.store(nullptr);
    return PlatformEventIsSet(stopEvent);
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

int DebugService(int argc, char** argv) {
    std::printf("Debugging %s.\n", ServiceDisplayName);
    PlatformSetConsoleCtrlHandler(ConsoleCtrlHandler);
    return RunGateway(argc, argv) ? 0 : 1;
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
        if (SameWordIgnoringCase(argv[1], "report"))
            return ReportCommand(argc, argv);
        if (SameWordIgnoringCase(argv[1], "debug")) {
            DebugMode = true;
            return DebugService(argc, argv);
        }
    }
    PrintUsage();
    return 0;
}
