// Run.cpp - the run sequence: the gateway between start and stop, as a
// service or in the foreground ("debug").
#include "Run.h"

#include "Journal.h"
#include "Listener.h"
#include "Log.h"
#include "Platform.h"
#include "Recovery.h"
#include "ServiceStatus.h"
#include "Transaction.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace {

// A stop that arrives before the run sequence has its stop event (Ctrl+C right
// after start) is remembered here and honoured as soon as the event exists.
std::atomic<bool> StopRequested{false};
std::atomic<PlatformEvent*> ActiveStopEvent{nullptr};

} // namespace

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
    TransactionsStarted started = StartTransactions(transactionLock);
    ReportServiceStatus(PlatformServiceRunning, 0, 3000);

    WriteLogLine("Service started", LogEvent::Information);
    char line[128];
    if (!started.serverResolved) {
        std::snprintf(line, sizeof line,
                      "Unable to resolve the transaction server name %s; using it as written.",
                      started.serverAddress);
        WriteLogLine(line, LogEvent::Warning);
    }
    if (started.keyProblem != nullptr && started.duplicateKeyMade) {
        std::string text = std::string("The duplicate window's key file cannot be used: ") +
                           started.keyProblem +
                           ". The window starts empty and does not outlast this run.";
        WriteLogLine(text.c_str(), LogEvent::Warning);
    }
    if (!started.duplicateKeyMade)
        WriteLogLine("Unable to make the duplicate window's key: while DuplicateWindow is on, "
                     "sales and voids are refused.",
                     LogEvent::Warning);
    if (!transactionLock) {
        // Without the lock no transaction could run safely: do not listen.
        std::snprintf(line, sizeof line, "Unable to create the transaction lock: Error %d",
                      lockError);
        WriteLogLine(line, LogEvent::Error);
    } else {
        std::snprintf(line, sizeof line, "Transaction server address is %s.",
                      started.serverAddress);
        WriteLogLine(line);
        LogTransactionSettings();
        StartJournal();
        // Before the listener accepts: the sales in doubt are journaled and
        // the window is back before any repeat can come.
        RecoverTransactions();
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
