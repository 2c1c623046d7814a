// GatewayHarness.cpp - starting and stopping the listener under test, and the
// response check shared by the front end suites.
#include "frontend/GatewayHarness.h"

#include "files/Files.h"
#include "frontend/Frontend.h"
#include "transaction/Transaction.h"

#include <cstdio>

std::string FundsMessage(const std::string& first, const std::string& amount) {
    return Framed(std::string("03") + FS + FS + "84" + FS + amount + FS + FS + FS + FS + first +
                  FS + "2");
}

std::string NumberedMessage(int code, const std::string& sequence, const std::string& first,
                            const std::string& amount, const std::string& third) {
    return Framed("03" + sequence + FS + "5" + FS + std::to_string(code) + FS + amount + FS + FS +
                  third + FS + FS + first + FS + "2");
}

void GatewayTest::SetUp() {
    EnsureSockets();
    // A stop event can be set only once, so every test gets its own.
    StopEvent = PlatformCreateEvent();
    static PlatformMutex* lock = PlatformCreateMutex("Mutex");
    TransactionLock = lock;
    std::snprintf(ServerAddress, sizeof ServerAddress, "127.0.0.1");
    // The previous test's server is gone; its connection must not be reused.
    CloseServerConnection();
    server = std::make_unique<FakeServer>();
    files.WriteSequence("17");
}

void GatewayTest::TearDown() {
    if (listener_.joinable())
        StopGateway();
    if (server)
        server->Stop();
}

void GatewayTest::UseServer(FakeServer::Handler handler) {
    server = std::make_unique<FakeServer>(std::move(handler));
}

void GatewayTest::WriteSettings(const std::string& extraSettings,
                                const std::string& allowedClients) {
    if (port == 0)
        port = FreePort();
    files.WriteSettings("[Settings]\nListenPortNumber=" + std::to_string(port) +
                        "\nServerPortNumber=" + std::to_string(server->Port()) +
                        "\nTerminalAddress=3\nEntryMode=2\n" + extraSettings +
                        "[Allowed Clients]\n" + allowedClients);
}

void GatewayTest::StartGateway(const std::string& extraSettings,
                               const std::string& allowedClients) {
    WriteSettings(extraSettings, allowedClients);
    ServerPort = 0; // the listener must take it from the settings
    listenerDone_ = false;
    listener_ = std::thread([this] {
        RunListener();
        listenerDone_ = true;
    });
    // The first connection that gets through tells that the port listens.
    // Its answer (405 to an empty request) is awaited, so that no thread of
    // it is left running into the test.
    for (int attempt = 0; attempt < 300 && !listenerDone_; ++attempt) {
        PlatformSocket probe = ConnectLoopback(port);
        if (probe != PlatformNoSocket) {
            PlatformShutdownSend(probe);
            ReadUntilClosed(probe, 10000);
            PlatformCloseSocket(probe);
            return;
        }
        PlatformSleepMs(10);
    }
    FAIL() << "the gateway does not listen on port " << port << "; log: " << files.ReadLog();
}

int64_t GatewayTest::StopGateway() {
    int64_t start = PlatformMonotonicMs();
    PlatformSetEvent(StopEvent);
    listener_.join();
    return PlatformMonotonicMs() - start;
}

void ExpectResponse(const std::string& response, const std::string& status,
                    const std::string& body) {
    const std::string head = "HTTP/1.1 " + status + "\r\nServer: BraskHollinServer\r\nDate: ";
    const std::string tail = "\r\nContent-type: text/html\r\nPragma: no-cache\r\n"
                             "Cache-Control: no-cache\r\n\r\n";
    ASSERT_EQ(response.substr(0, head.size()), head) << response;
    size_t dateEnd = response.find("\r\n", head.size());
    ASSERT_NE(dateEnd, std::string::npos) << response;
    std::string date = response.substr(head.size(), dateEnd - head.size());

    // The date is taken when the connection thread starts, a moment ago.
    bool recent = false;
    int64_t now = PlatformUtcMilliseconds() / 1000;
    for (int64_t second = now - 6; second <= now + 1 && !recent; ++second) {
        char expected[64];
        FormatHttpDate(second * 1000, expected, sizeof expected);
        recent = date == expected;
    }
    EXPECT_TRUE(recent) << "Date: " << date;
    EXPECT_EQ(response, head + date + tail + body);
}
