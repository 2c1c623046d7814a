// FrontendTest.cpp - the real RunListener on a free port with fresh gateway
// files and a recording fake transaction server: raw requests in, exact
// responses and exact server messages out.
#include "support/GatewayTest.h"

#include "Files.h"
#include "Listener.h"
#include "Request.h"
#include "Transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

const char Ok[] = "200 OK";
const char BadRequest[] = "400 Bad Request";
const char Forbidden[] = "403 Forbidden";
const char NotFound[] = "404 Not Found";
const char NotAllowed[] = "405 Method Not Allowed";
const char Syntax[] = "Syntax error.";

// Messages for terminal 3 and entry mode 2; sales and voids from client 5.
std::string Funds(const std::string& first, const std::string& amount) {
    return Framed(std::string("03") + FS + FS + "84" + FS + amount + FS + FS + FS + FS + first +
                  FS + "2");
}
std::string Numbered(int code, int sequence, const std::string& first, const std::string& amount,
                     const std::string& third) {
    return Framed("03" + std::to_string(sequence) + FS + "5" + FS + std::to_string(code) + FS +
                  amount + FS + FS + third + FS + FS + first + FS + "2");
}

int64_t UtcSecond() {
    return PlatformUtcMilliseconds() / 1000;
}

// The whole response, byte for byte; the Date must be one of the last seconds,
// or lie between sentSecond (when the request went out) and now: a batch of
// requests on a busy machine can take longer than those few seconds.
void ExpectResponse(const std::string& response, const std::string& status, const std::string& body,
                    int64_t sentSecond = -1) {
    EXPECT_ANSWER(response, status, body);
    std::string date = ParseAnswer(response).date;
    int64_t now = UtcSecond();
    bool recent = false;
    for (int64_t second = sentSecond < 0 ? now - 6 : sentSecond; second <= now + 1; ++second)
        recent = recent || date == HttpDateOf(second);
    EXPECT_TRUE(recent) << "Date: " << date;
}

// The gateway under test in front of a recording fake server.
class Frontend : public GatewayTest {
  protected:
    void SetUp() override {
        GatewayTest::SetUp();
        UseServer(nullptr);
    }

    void UseServer(FakeServer::Handler handler) {
        server = std::make_unique<FakeServer>(std::move(handler));
        serverPort = server->Port();
    }

    std::unique_ptr<FakeServer> server;
};

} // namespace

TEST_F(Frontend, RefusedRequestsNeverReachTheServer) {
    StartGateway("", "127.0.0.1=5\n127.0.0.2=0\n");
    const std::vector<std::pair<std::string, const char*>> cases = {
        {"POST /Sale?1+2+3 HTTP/1.1\r\n\r\n", NotAllowed},
        {"get /Sale?1+2+3 HTTP/1.1\r\n\r\n", NotAllowed}, // the method's case counts
        {"GET\t/Sale?1+2+3 HTTP/1.1\r\n\r\n", NotAllowed},
        {Get("/FundsAvailable"), BadRequest},
        {Get("/FundsAvailable?+123++"), BadRequest},
        {Get("/Sale?++123+++500+"), BadRequest},
        {Get("/Sale?"), BadRequest},
        {"GET /Sale HTTP/1.1\r\nX-Query: ?1+2+3\r\n\r\n", BadRequest}, // "?" on a later line
        {Get("/Void?1+2+3"), NotFound},                                // void not allowed
        {Get("/Sales?1+2+3"), NotFound},
        {Get("?1+2+3"), NotFound},
    };
    for (const auto& [request, status] : cases) {
        SCOPED_TRACE(request);
        ExpectResponse(Send(request), status,
                       status == NotAllowed ? "Method not allowed."
                       : status == NotFound ? "File not found"
                                            : Syntax);
    }
    // Listed with 0, or not listed: refused whatever is asked.
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        for (const char* request : {"GET /Sale?1+2+3 HTTP/1.1\r\n\r\n", "POST /x\r\n\r\n"})
            ExpectResponse(Send(request, from), Forbidden, "Access denied.");
    }
    EXPECT_EQ(server->Received(), "");
}

TEST_F(Frontend, TransactionsCarryTheirItemsToTheServer) {
    int replies = 0;
    UseServer([&replies](FakeConnection& connection, const std::string&) {
        connection.Send(Framed("APPROVED " + std::to_string(++replies)));
    });
    StartGateway("AllowVoid=7\n");
    ExpectResponse(Send(Get("/FundsAvailable?12345+500")), Ok, "APPROVED 1");
    ExpectResponse(Send(Get("/Sale?12345+250+ABC")), Ok, "APPROVED 2");
    // Path case is ignored, empty items vanish, further items are dropped.
    ExpectResponse(Send(Get("/vOiD?4111+1+XYZ+extra+more")), Ok, "APPROVED 3");
    ExpectResponse(Send(Get("/FUNDSAVAILABLE?+123++500+++third")), Ok, "APPROVED 4");
    // The method may stand on a later line; a bare LF ends a line; without a
    // version nothing is cut; only the last space goes; nothing is decoded.
    ExpectResponse(Send("POST /x HTTP/1.1\r\nGET /Sale?1+2+3 HTTP/1.1\r\n\r\n"), Ok, "APPROVED 5");
    ExpectResponse(Send("GET /Sale?1+2+LF HTTP/1.1\nHost: x\n\n"), Ok, "APPROVED 6");
    ExpectResponse(Send("GET /Sale?1+2+BARE"), Ok, "APPROVED 7");
    ExpectResponse(Send("GET /Sale?1+2+a b%20c HTTP/1.0\r\n"), Ok, "APPROVED 8");
    // CR wins over an earlier bare LF, which is then a control byte in an item.
    ExpectResponse(Send("GET /Sale?1+2+CR\nx HTTP/1.1\r\n"), BadRequest, Syntax);

    EXPECT_EQ(server->Messages(), (std::vector<std::string>{
                                      Funds("12345", "500"),
                                      Numbered(51, 17, "12345", "250", "ABC"),
                                      Numbered(52, 18, "4111", "1", "XYZ"),
                                      Funds("123", "500"),
                                      Numbered(51, 19, "1", "2", "3"),
                                      Numbered(51, 20, "1", "2", "LF"),
                                      Numbered(51, 21, "1", "2", "BARE"),
                                      Numbered(51, 22, "1", "2", "a b%20c"),
                                  }));
}

TEST_F(Frontend, AmountIsTheLeadingIntegerWrappedTo32Bits) {
    StartGateway();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"abc", "0"},         {"-25", "-25"},         {"12x34", "12"},
        {" 42", "42"},        {"--5", "0"},           {"2147483648", "-2147483648"},
        {"4294967346", "50"}, {"-4294967346", "-50"}, {"99999999999", "1215752191"},
    };
    std::vector<std::string> expected;
    for (const auto& [item, amount] : cases) {
        ExpectResponse(Send(Get("/FundsAvailable?9+" + item)), Ok, "OK");
        expected.push_back(Funds("9", amount));
    }
    EXPECT_EQ(server->Messages(), expected);
}

TEST_F(Frontend, OneReadOfAtMost2047BytesIsJudged) {
    StartGateway();
    // Items beyond the first 1024 bytes lie in the reply area: sent intact.
    ExpectResponse(Send("X: " + std::string(1200, 'p') + "\r\n" + Get("/Sale?4111+1999+REF-42")),
                   Ok, "OK");
    // "GET " cut by the 2047-byte limit.
    ExpectResponse(Send(std::string(2042, 'x') + "\r\n" + Get("/Sale?1+2+3")), NotAllowed,
                   "Method not allowed.");
    // The 2048th byte is not read: the item loses its last letter.
    std::string line = "GET /Sale?1+2+AB";
    std::string padded = "X: " + std::string(2047 - line.size() - 5, 'p') + "\r\n" + line;
    ExpectResponse(Send(padded + "C HTTP/1.1\r\n\r\n"), Ok, "OK");
    // A request in two pieces is judged on the first.
    PlatformSocket socket = ConnectLoopback(port);
    PlatformSend(socket, "GET /Sa", 7);
    PlatformSleepMs(300);
    PlatformSend(socket, "le?1+2+3 HTTP/1.1\r\n\r\n", 21);
    ExpectResponse(ReadUntilClosed(socket), BadRequest, Syntax);
    PlatformCloseSocket(socket);

    EXPECT_EQ(server->Messages(), (std::vector<std::string>{
                                      Numbered(51, 17, "4111", "1999", "REF-42"),
                                      Numbered(51, 18, "1", "2", "AB"),
                                  }));
}

TEST_F(Frontend, RepliesAndFailuresBecomeTheBody) {
    UseServer([](FakeConnection& connection, const std::string& message) {
        if (message.find("EMPTY") != std::string::npos) {
            connection.Send(std::string("\0\0", 2));
        } else if (message.find("LONGEST") != std::string::npos) {
            connection.Send(Framed(std::string(1020, 'L') + "!"));
        } else {
            // Announces 0x141 bytes and gives up: the body is the area from
            // its first byte, length bytes included.
            connection.Send("\x01\x41partial");
            PlatformSleepMs(100);
            connection.Close();
        }
    });
    StartGateway();
    ExpectResponse(Send(Get("/Sale?EMPTY+1+X")), Ok, "");
    ExpectResponse(Send(Get("/Sale?LONGEST+1+X")), Ok, std::string(1020, 'L') + "!");
    ExpectResponse(Send(Get("/Sale?PARTIAL+1+X")), "504 Gateway Timeout", "\x01\x41partial");

    // A server that refuses connections: the code differs between systems.
    server->Stop();
    PlatformSocket probe = PlatformTcpSocket();
    int refused = PlatformConnect(probe, "127.0.0.1", server->Port());
    PlatformCloseSocket(probe);
    ExpectResponse(Send(Get("/FundsAvailable?1+2")), "504 Gateway Timeout",
                   "Unable to connect to server: Error " + std::to_string(refused));
}

TEST_F(Frontend, ControlBytesAndOversizedItemsAreRefusedUnsent) {
    StartGateway();
    for (const std::string& url :
         {std::string("/Sale?12") + FS + "34+100+REF",
          std::string("/Sale?1234+\t100+REF"), // amount too
          std::string("/Sale?1234+100+RE\x7F"),
          std::string("/FundsAvailable?12\x01"
                      "34+100"),
          "/Sale?" + std::string(300, '9') + "+100+REF", "/Sale?1+100+" + std::string(240, 'R')}) {
        SCOPED_TRACE(url);
        ExpectResponse(Send(Get(url)), BadRequest, Syntax);
    }
    EXPECT_EQ(server->Received(), "");
    EXPECT_EQ(files.ReadSequence(), "17");
    // Items that are never sent are not judged; a long item that fits is sent.
    ExpectResponse(Send(Get("/FundsAvailable?1234+100+n\x01t")), Ok, "OK");
    ExpectResponse(Send(Get("/Sale?1+100+" + std::string(200, 'R') + "+n\x02t")), Ok, "OK");
    EXPECT_EQ(server->Messages(), (std::vector<std::string>{
                                      Funds("1234", "100"),
                                      Numbered(51, 17, "1", "100", std::string(200, 'R')),
                                  }));
}

TEST_F(Frontend, SilentClientsAreDroppedOrAnswered) {
    StartGateway();
    int64_t ms = 0;
    ExpectResponse(Client(port, "", true, &ms), NotAllowed, "Method not allowed.");
    EXPECT_LT(ms, 2000);
    ExpectResponse(Client(port, "", true, &ms, "127.0.0.2"), Forbidden, "Access denied.");
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(Client(port, "", false, &ms), "");
    EXPECT_GE(ms, 4800);
    EXPECT_LT(ms, 7000);
}

// The Date tells when the client came: a request sent 2.5 s after its
// connection still carries the second of the connection.
TEST_F(Frontend, DateIsTakenWhenTheConnectionIsAccepted) {
    StartGateway();
    PlatformSocket socket = ConnectLoopback(port, "127.0.0.2");
    int64_t connected = PlatformUtcMilliseconds();
    PlatformSleepMs(2500);
    std::string request = Get("/Sale?1+2+3");
    PlatformSend(socket, request.data(), request.size());
    std::string response = ReadUntilClosed(socket);
    PlatformCloseSocket(socket);
    ExpectResponse(response, Forbidden, "Access denied.");
    int64_t second = (connected + 500) / 1000;
    std::string head = "Date: ";
    std::string date = response.substr(response.find(head) + head.size(), 29);
    EXPECT_TRUE(date == HttpDateOf(second) || date == HttpDateOf(second + 1)) << date;
}

TEST_F(Frontend, PerRequestSettingsApplyAtOnceStartTimeOnesAtStart) {
    StartGateway();
    ExpectResponse(Send(Get("/Sale?1+2+3"), "127.0.0.2"), Forbidden, "Access denied.");
    // Admit 127.0.0.2 as client 9, refuse 127.0.0.1, terminal 7, entry mode 5.
    files.WriteSettings("[Settings]\nServerPortNumber=1\nTerminalAddress=7\nEntryMode=5\n"
                        "AllowVoid=1\n[Allowed Clients]\n127.0.0.1=0\n127.0.0.2=9\n");
    ExpectResponse(Send(Get("/Sale?1+2+3")), Forbidden, "Access denied.");
    ExpectResponse(Send(Get("/Sale?4+5+6"), "127.0.0.2"), Ok, "OK");
    ExpectResponse(Send(Get("/Void?4+5+6"), "127.0.0.2"), NotFound, "File not found");
    EXPECT_EQ(server->Messages(),
              std::vector<std::string>{Framed(std::string("0717") + FS + "9" + FS + "51" + FS +
                                              "5" + FS + FS + "6" + FS + FS + "4" + FS + "5")});

    // Nothing configured: port 80 and server port 3770, read afresh.
    StopGateway();
    files.WriteSettings("");
    EXPECT_EQ(StartTransactions(TestTransactionLock()).serverPort, 3770);
    testing::internal::CaptureStdout();
    DebugMode = true;
    RunListener(stopEvent); // the stop event is still set: returns at once
    DebugMode = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Begin Listener thread [80]\n", 0), 0u);
}

TEST_F(Frontend, ManyClientsAtOnceThenAPromptStop) {
    StartGateway();
    constexpr int Clients = 40;
    int64_t sent = UtcSecond();
    std::vector<std::string> responses(Clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i)
        threads.emplace_back(
            [&, i] { responses[i] = Send(Get("/FundsAvailable?7+" + std::to_string(i))); });
    for (auto& thread : threads)
        thread.join();
    std::vector<std::string> messages = server->Messages();
    for (int i = 0; i < Clients; ++i) {
        ExpectResponse(responses[i], Ok, "OK", sent);
        EXPECT_EQ(std::count(messages.begin(), messages.end(), Funds("7", std::to_string(i))), 1);
    }
    // A client that has not sent yet does not hold the listener up.
    PlatformSocket idle = ConnectLoopback(port);
    PlatformSleepMs(100);
    EXPECT_LT(StopGateway(), 1000);
    EXPECT_EQ(ConnectLoopback(port), PlatformNoSocket);
    PlatformCloseSocket(idle);
    EXPECT_EQ(files.ReadLog(), ""); // only set-up failures are logged
}

TEST_F(Frontend, BusyPortIsLoggedAndEndsTheListener) {
    PlatformSocket holder = PlatformTcpSocket();
    ASSERT_EQ(PlatformBind(holder, nullptr, 0), 0);
    ASSERT_EQ(PlatformListen(holder, 4), 0);
    // Only the low 16 bits are the port; the message shows the value as set.
    int configured = PlatformLocalPort(holder) + 65536;
    files.WriteSettings("[Settings]\nListenPortNumber=" + std::to_string(configured) + "\n");
    // A listener that got the port anyway would never return by itself.
    std::atomic<bool> returned{false};
    std::thread listener([this, &returned] {
        RunListener(stopEvent);
        returned = true;
    });
    for (int waited = 0; waited < 2000 && !returned; waited += 10)
        PlatformSleepMs(10);
    EXPECT_TRUE(returned);
    PlatformSetEvent(stopEvent);
    listener.join();
    PlatformCloseSocket(holder);

    std::string log = files.ReadLog();
    std::string line = ": Bind error " + std::to_string(PlatformErrorAddressInUse) + ": Port " +
                       std::to_string(configured) + " is in use";
    size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find_first_not_of("\r", at + line.size()), log.size() - 1) << log; // and last
}

TEST_F(Frontend, DebugModeTellsEachConnectionOnTheConsole) {
    testing::internal::CaptureStdout();
    DebugMode = true;
    StartGateway();
    ExpectResponse(Send(Get("/Sale?1+2+3"), "127.0.0.2"), Forbidden, "Access denied.");
    StopGateway();
    DebugMode = false;
    // Addresses only, never request items. The first connection is the probe.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Begin Listener thread [" + std::to_string(port) +
                  "]\nReceived connection: 127.0.0.1\nClosed connection: 127.0.0.1\n"
                  "Received connection: 127.0.0.2\nClosed connection: 127.0.0.2\n"
                  "End Listener thread\n");
}

TEST_F(Frontend, CurlReadsTheWholeResponse) {
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
    ExpectResponse(ReadWholeFile(output), Ok, reply);
    EXPECT_EQ(server->Messages(),
              std::vector<std::string>{Numbered(51, 17, "4111111111111111", "1250", "REF7")});
#endif
}

// The Date text against the C library's calendar ("C" locale) over four
// years of days, leap days, a century without one, and the rounding edge.
TEST(HttpDate, MatchesTheCalendarAndRoundsToTheNearestSecond) {
    std::vector<int64_t> seconds = {0, 951782400, 4107542399, 4107542400};
    for (int64_t day = 0; day < 4 * 366; ++day)
        seconds.push_back(1577836800 + day * 86400 + (day * 3607) % 86400);
    for (int64_t second : seconds) {
        std::time_t time = static_cast<std::time_t>(second);
        char expected[64];
        std::strftime(expected, sizeof expected, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&time));
        ASSERT_EQ(HttpDateOf(second), expected) << second;
    }
    char text[64];
    FormatHttpDate(1262303999499, text, sizeof text);
    EXPECT_STREQ(text, "Thu, 31 Dec 2009 23:59:59 GMT");
    FormatHttpDate(1262303999500, text, sizeof text);
    EXPECT_STREQ(text, "Fri, 01 Jan 2010 00:00:00 GMT");
}
