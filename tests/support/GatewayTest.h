// GatewayTest.h - the gateway under test: the real listener on a thread of
// its own, on a fresh port, with fresh gateway files and the journal, in
// front of whatever transaction server a suite puts on serverPort.
#pragma once

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

class GatewayTest : public ::testing::Test {
  protected:
    // Sockets, a stop event, the previous test's server connection dropped,
    // and a counter file holding 17.
    void SetUp() override;
    void TearDown() override;

    // Writes the settings: a fresh listen port (kept while the gateway
    // runs, so a test may rewrite them), serverPort, terminal 3, entry mode
    // 2, the extra "Settings" lines and the "Allowed Clients" lines.
    void WriteSettings(const std::string& extraSettings = "",
                       const std::string& allowedClients = "127.0.0.1=5\n");
    // Writes the settings and starts what the run sequence starts: the
    // transactions with the test's lock, the journal and RunListener, with a
    // stop event of their own; returns once the port accepts.
    void StartGateway(const std::string& extraSettings = "",
                      const std::string& allowedClients = "127.0.0.1=5\n");
    // Sets the stop event and waits for RunListener; the milliseconds that took.
    int64_t StopGateway();
    bool GatewayRunning() const { return listener_.joinable(); }

    // Connects until the gateway on port accepts, at most 5 s; false if it
    // never did or the fixture's listener ended.
    bool WaitForListener() const;

    std::string Send(const std::string& request, const char* fromAddress = nullptr) const {
        return RawExchange(port, request, fromAddress);
    }

    TempGatewayFiles files;
    PlatformEvent* stopEvent = nullptr;
    unsigned short serverPort = 0;
    unsigned short port = 0;

  private:
    std::thread listener_;
    std::atomic<bool> listenerDone_{false};
};
