// ListenerTest.cpp - the listener and the connection's life: start-time and
// per-request settings, clients that send nothing or close at once, many
// clients at a time, stopping, a busy port, and a real HTTP client.
#include "frontend/GatewayHarness.h"

#include "files/Files.h"
#include "frontend/Frontend.h"
#include "transaction/Transaction.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Get(const std::string& url) {
    return "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

// Connects and sends nothing; returns what arrived and how long the gateway
// kept the connection open.
std::string SilentClient(unsigned short port, bool halfClose, const char* from,
                         int64_t* elapsedMs) {
    PlatformSocket socket = ConnectLoopback(port, from);
    if (socket == PlatformNoSocket)
        return "<no connection>";
    int64_t start = PlatformMonotonicMs();
    if (halfClose)
        PlatformShutdownSend(socket);
    std::string received = ReadUntilClosed(socket, 15000);
    *elapsedMs = PlatformMonotonicMs() - start;
    PlatformCloseSocket(socket);
    return received;
}

} // namespace

TEST_F(GatewayTest, ClientThatSendsNothingIsDroppedAfterFiveSeconds) {
    StartGateway();
    int64_t elapsed = 0;
    EXPECT_EQ(SilentClient(port, false, nullptr, &elapsed), "");
    EXPECT_GE(elapsed, 4800);
    EXPECT_LT(elapsed, 7000);
}

TEST_F(GatewayTest, ClientThatClosesAtOnceIsStillAnswered) {
    StartGateway();
    int64_t elapsed = 0;
    ExpectResponse(SilentClient(port, true, nullptr, &elapsed), "405 Method Not Allowed",
                   "Method not allowed.");
    EXPECT_LT(elapsed, 2000);
    ExpectResponse(SilentClient(port, true, "127.0.0.2", &elapsed), "403 Forbidden",
                   "Access denied.");
    EXPECT_LT(elapsed, 2000);
}

TEST_F(GatewayTest, PerRequestSettingsApplyWithoutRestart) {
    StartGateway();
    ExpectResponse(Send(Get("/FundsAvailable?1+2"), "127.0.0.2"), "403 Forbidden",
                   "Access denied.");
    ExpectResponse(Send(Get("/Sale?1+2+3")), "200 OK", "OK");

    // Admit 127.0.0.2 as client 9, refuse 127.0.0.1, move to terminal 7.
    files.WriteSettings("[Settings]\nListenPortNumber=" + std::to_string(port) +
                        "\nServerPortNumber=1\nTerminalAddress=7\nEntryMode=5\nAllowVoid=1\n"
                        "[Allowed Clients]\n127.0.0.1=0\n127.0.0.2=9\n");
    ExpectResponse(Send(Get("/Sale?1+2+3")), "403 Forbidden", "Access denied.");
    ExpectResponse(Send(Get("/Sale?4+5+6"), "127.0.0.2"), "200 OK", "OK");
    // Start-time settings stay as they were: no void, same server.
    ExpectResponse(Send(Get("/Void?4+5+6"), "127.0.0.2"), "404 Not Found", "File not found");

    EXPECT_EQ(server->Messages(), (std::vector<std::string>{
                                      NumberedMessage(51, "17", "1", "2", "3"),
                                      Framed(std::string("0718") + FS + "9" + FS + "51" + FS + "5" +
                                             FS + FS + "6" + FS + FS + "4" + FS + "5"),
                                  }));
}

TEST_F(GatewayTest, ManyClientsAtOnceAreAllServed) {
    StartGateway();
    constexpr int Clients = 40;
    std::vector<std::string> responses(Clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i) {
        threads.emplace_back([this, i, &responses] {
            responses[i] =
                Send(Get("/FundsAvailable?" + std::to_string(1000 + i) + "+" + std::to_string(i)));
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int i = 0; i < Clients; ++i) {
        SCOPED_TRACE(i);
        ExpectResponse(responses[i], "200 OK", "OK");
    }
    std::vector<std::string> messages = server->Messages();
    ASSERT_EQ(messages.size(), static_cast<size_t>(Clients));
    for (int i = 0; i < Clients; ++i) {
        std::string expected = FundsMessage(std::to_string(1000 + i), std::to_string(i));
        EXPECT_EQ(std::count(messages.begin(), messages.end(), expected), 1) << i;
    }
}

TEST_F(GatewayTest, StopEndsTheListenerPromptly) {
    StartGateway();
    // A client still waiting to send does not hold the listener up.
    PlatformSocket idle = ConnectLoopback(port);
    ASSERT_NE(idle, PlatformNoSocket);
    PlatformSleepMs(200);
    int64_t elapsed = StopGateway();
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(ConnectLoopback(port), PlatformNoSocket);
    PlatformCloseSocket(idle);
    // Set-up failures are the only things a running listener logs.
    EXPECT_EQ(files.ReadLog(), "");
}

TEST_F(GatewayTest, StartTimeSettingsAreReadAtStart) {
    // Nothing configured: the HTTP port defaults to 80 and the server port to 3770.
    files.WriteSettings("");
    StopEvent = PlatformCreateEvent();
    PlatformSetEvent(StopEvent);
    ListenPort = 0;
    ServerPort = 0;
    VoidAllowed = true;
    EXPECT_EQ(RunListener(), 0);
    EXPECT_EQ(ListenPort, 80);
    EXPECT_EQ(ServerPort, 3770);
    EXPECT_FALSE(VoidAllowed);

    StopEvent = PlatformCreateEvent();
    StartGateway("AllowVoid=7\n");
    EXPECT_EQ(ListenPort, port);
    EXPECT_EQ(ServerPort, server->Port());
    EXPECT_TRUE(VoidAllowed);
}

TEST_F(GatewayTest, BusyPortIsLoggedAndEndsTheListener) {
    EnsureSockets();
    PlatformSocket holder = PlatformTcpSocket();
    ASSERT_EQ(PlatformBind(holder, nullptr, 0), 0);
    ASSERT_EQ(PlatformListen(holder, 4), 0);
    port = PlatformLocalPort(holder);

    // Only the low 16 bits are the port; the message shows the value as set.
    int configured = port + 65536;
    files.WriteSettings("[Settings]\nListenPortNumber=" + std::to_string(configured) + "\n");
    // A listener that got the port anyway would never return by itself.
    std::atomic<bool> returned{false};
    std::thread listener([&returned] {
        RunListener();
        returned = true;
    });
    for (int waited = 0; waited < 2000 && !returned; waited += 10)
        PlatformSleepMs(10);
    EXPECT_TRUE(returned);
    PlatformSetEvent(StopEvent);
    listener.join();
    PlatformCloseSocket(holder);

    std::string log = files.ReadLog();
    std::string line = "Bind error " + std::to_string(PlatformErrorAddressInUse) + ": Port " +
                       std::to_string(configured) + " is in use";
    // The log is a text file: its lines end in CR LF on Windows.
    size_t at = log.find(": " + line);
    ASSERT_NE(at, std::string::npos) << log;
    std::string lineEnd = log.substr(at + 2 + line.size(), 2);
    EXPECT_TRUE(lineEnd == "\r\n" || lineEnd.substr(0, 1) == "\n") << log;
    EXPECT_EQ(log.find("Bind error"), log.rfind("Bind error")) << log;
}

TEST_F(GatewayTest, DebugModeTellsEachConnectionOnTheConsole) {
    testing::internal::CaptureStdout();
    DebugMode = true;
    StartGateway();
    ExpectResponse(Send(Get("/Sale?1+2+3"), "127.0.0.2"), "403 Forbidden", "Access denied.");
    StopGateway();
    DebugMode = false;
    std::string console = testing::internal::GetCapturedStdout();

    // The first connection is the probe that found the port listening.
    EXPECT_EQ(console, "Begin Listener thread [" + std::to_string(port) +
                           "]\n"
                           "Received connection: 127.0.0.1\nClosed connection: 127.0.0.1\n"
                           "Received connection: 127.0.0.2\nClosed connection: 127.0.0.2\n"
                           "End Listener thread\n");
}

TEST_F(GatewayTest, CurlReadsTheWholeResponse) {
#ifdef _WIN32
    GTEST_SKIP() << "curl is driven from the native build only";
#else
    if (std::system("curl --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "curl is not installed";
    std::string reply = "APPROVED " + std::string(900, 'z') + " END";
    UseServer([reply](FakeConnection& connection, const std::string&) {
        connection.Send(Framed(reply));
    });
    StartGateway();
    std::string output = files.Directory() + "/curl.out";
    std::string command = "curl -s -S -i --max-time 20 -o '" + output +
                          "' 'http://127.0.0.1:" + std::to_string(port) +
                          "/Sale?4111111111111111+1250+REF7'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ExpectResponse(ReadWholeFile(output), "200 OK", reply);
    EXPECT_EQ(server->Messages(), std::vector<std::string>{NumberedMessage(
                                      51, "17", "4111111111111111", "1250", "REF7")});
#endif
}
