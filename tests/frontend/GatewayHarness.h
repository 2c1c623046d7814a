// GatewayHarness.h - the front end's test bench: the real RunListener on a
// thread of its own, listening on a port that was free a moment ago, with
// fresh gateway files and a recording fake transaction server behind it.
#pragma once

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// Defined in Connection.cpp; not part of the front end's interface.
void FormatHttpDate(int64_t utcMilliseconds, char* out, size_t size);

constexpr char FS = '\x1C';

// The framed funds-available message for terminal 3 and entry mode 2.
std::string FundsMessage(const std::string& first, const std::string& amount);
// The framed sale (51) or void (52) message for terminal 3, client 5, entry mode 2.
std::string NumberedMessage(int code, const std::string& sequence, const std::string& first,
                            const std::string& amount, const std::string& third);

class GatewayTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the fake transaction server; call before StartGateway.
    void UseServer(FakeServer::Handler handler);

    // Writes the settings: the listen and server ports, terminal 3, entry
    // mode 2, the given extra "Settings" lines and the "Allowed Clients" lines.
    void WriteSettings(const std::string& extraSettings = "",
                       const std::string& allowedClients = "127.0.0.1=5\n");
    // Writes the settings and starts RunListener; returns once it accepts.
    void StartGateway(const std::string& extraSettings = "",
                      const std::string& allowedClients = "127.0.0.1=5\n");
    // Sets the stop event and waits for RunListener; returns the ms it took.
    int64_t StopGateway();
    bool ListenerRunning() const { return listener_.joinable() && !listenerDone_; }

    // One raw exchange with the running gateway.
    std::string Send(const std::string& request, const char* fromAddress = nullptr) {
        return RawExchange(port, request, fromAddress);
    }

    TempGatewayFiles files;
    std::unique_ptr<FakeServer> server;
    unsigned short port = 0;

  private:
    std::thread listener_;
    std::atomic<bool> listenerDone_{false};
};

// Checks the whole response byte for byte; the Date header must be a well
// formed HTTP date within a few seconds of now.
void ExpectResponse(const std::string& response, const std::string& status,
                    const std::string& body);
