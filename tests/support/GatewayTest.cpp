// GatewayTest.cpp - starting and stopping the gateway under test.
#include "support/GatewayTest.h"

#include "Journal.h"
#include "Listener.h"
#include "Recovery.h"
#include "Transaction.h"

void GatewayTest::SetUp() {
    EnsureSockets();
    stopEvent = PlatformCreateEvent();
    files.WriteSequence("17");
}

void GatewayTest::TearDown() {
    if (GatewayRunning())
        StopGateway();
    StopJournal();
}

void GatewayTest::WriteSettings(const std::string& extraSettings,
                                const std::string& allowedClients) {
    if (!GatewayRunning())
        port = FreePort();
    files.WriteSettings(SettingsText(
        port, serverPort, "TerminalAddress=3\nEntryMode=2\n" + extraSettings, allowedClients));
}

bool GatewayTest::WaitForListener() const {
    // A probe that gets through tells that the port listens. It sends
    // nothing and ends its side, so the gateway answers it (405, or 403);
    // waiting for that close keeps its answer out of what a test counts.
    return WaitUntil(
               [this] {
                   if (listenerDone_)
                       return true;
                   PlatformSocket probe = ConnectLoopback(port);
                   if (probe == PlatformNoSocket)
                       return false;
                   PlatformShutdownSend(probe);
                   ReadUntilClosed(probe, 5000);
                   PlatformCloseSocket(probe);
                   return true;
               },
               5000) &&
           !listenerDone_;
}

void GatewayTest::StartGateway(const std::string& extraSettings,
                               const std::string& allowedClients) {
    WriteSettings(extraSettings, allowedClients);
    // A stop event is set only once, so every run gets its own.
    if (PlatformEventIsSet(stopEvent))
        stopEvent = PlatformCreateEvent();
    StartTransactions(TestTransactionLock());
    LogTransactionSettings();
    StartJournal();
    RecoverTransactions();
    listenerDone_ = false;
    PlatformEvent* stop = stopEvent;
    listener_ = std::thread([this, stop] {
        RunListener(stop);
        listenerDone_ = true;
    });
    ASSERT_TRUE(WaitForListener())
        << "no listener on port " << port << "; log: " << files.ReadLog();
}

int64_t GatewayTest::StopGateway() {
    int64_t start = PlatformMonotonicMs();
    PlatformSetEvent(stopEvent);
    listener_.join();
    return PlatformMonotonicMs() - start;
}
