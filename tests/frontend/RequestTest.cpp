// RequestTest.cpp - one request per connection through the running gateway:
// every status of the response table, how the request line is cut and split,
// and the exact message each request puts on the server connection.
#include "frontend/GatewayHarness.h"

#include <string>
#include <vector>

namespace {

const char Forbidden[] = "403 Forbidden";
const char BadRequest[] = "400 Bad Request";
const char NotFound[] = "404 Not Found";
const char NotAllowed[] = "405 Method Not Allowed";

std::string Get(const std::string& url) {
    return "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

// Requests the gateway must answer by itself, without a word to the server.
struct Refusal {
    const char* request;
    const char* status;
    const char* body;
};

} // namespace

TEST_F(GatewayTest, RefusedRequestsNeverReachTheServer) {
    StartGateway("", "127.0.0.1=5\n127.0.0.2=0\n");
    const std::vector<Refusal> cases = {
        {"POST /Sale?1+2+3 HTTP/1.1\r\n\r\n", NotAllowed, "Method not allowed."},
        {"get /Sale?1+2+3 HTTP/1.1\r\n\r\n", NotAllowed, "Method not allowed."},
        {"GET\t/Sale?1+2+3 HTTP/1.1\r\n\r\n", NotAllowed, "Method not allowed."},
        {"GET /FundsAvailable HTTP/1.1\r\n\r\n", BadRequest, "Syntax error."},
        {"GET /FundsAvailable?123 HTTP/1.1\r\n\r\n", BadRequest, "Syntax error."},
        {"GET /FundsAvailable?+123++ HTTP/1.1\r\n\r\n", BadRequest, "Syntax error."},
        {"GET /Sale?123+500 HTTP/1.1\r\n\r\n", BadRequest, "Syntax error."},
        {"GET /Sale?++123+++500+ HTTP/1.1\r\n\r\n", BadRequest, "Syntax error."},
        {"GET /Sale? HTTP/1.1\r\n\r\n", BadRequest, "Syntax error."},
        // The "?" after the line end does not belong to the URL.
        {"GET /Sale HTTP/1.1\r\nX-Query: ?1+2+3\r\n\r\n", BadRequest, "Syntax error."},
        {"GET /Void?1+2+3 HTTP/1.1\r\n\r\n", NotFound, "File not found"},
        {"GET /Refund?1+2+3 HTTP/1.1\r\n\r\n", NotFound, "File not found"},
        {"GET /Sales?1+2+3 HTTP/1.1\r\n\r\n", NotFound, "File not found"},
        {"GET /Sale/?1+2+3 HTTP/1.1\r\n\r\n", NotFound, "File not found"},
        {"GET Sale?1+2+3 HTTP/1.1\r\n\r\n", NotFound, "File not found"},
        {"GET ?1+2+3 HTTP/1.1\r\n\r\n", NotFound, "File not found"},
    };
    for (const Refusal& refusal : cases) {
        SCOPED_TRACE(refusal.request);
        ExpectResponse(Send(refusal.request), refusal.status, refusal.body);
    }

    // A client that is not listed, or listed with 0, is refused whatever it asks.
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        for (const char* request : {"GET /Sale?1+2+3 HTTP/1.1\r\n\r\n", "POST / HTTP/1.1\r\n\r\n",
                                    "GET /Refund HTTP/1.1\r\n\r\n"}) {
            SCOPED_TRACE(std::string(from) + " " + request);
            ExpectResponse(Send(request, from), Forbidden, "Access denied.");
        }
    }
    EXPECT_EQ(server->Received(), "");
}

TEST_F(GatewayTest, TransactionsCarryTheirItemsToTheServer) {
    int replies = 0;
    UseServer([&replies](FakeConnection& connection, const std::string&) {
        connection.Send(Framed("APPROVED " + std::to_string(++replies)));
    });
    StartGateway();

    ExpectResponse(Send(Get("/FundsAvailable?12345+500")), "200 OK", "APPROVED 1");
    ExpectResponse(Send(Get("/Sale?12345+250+ABC")), "200 OK", "APPROVED 2");
    // The path ignores letter case, further items are ignored and empty
    // items vanish; funds available sends no third item and no number.
    ExpectResponse(Send(Get("/sAlE?4111+1+XYZ+extra+more")), "200 OK", "APPROVED 3");
    ExpectResponse(Send(Get("/FUNDSAVAILABLE?+123++500+++third+fourth")), "200 OK", "APPROVED 4");

    const std::vector<std::string> expected = {
        FundsMessage("12345", "500"),
        NumberedMessage(51, "17", "12345", "250", "ABC"),
        NumberedMessage(51, "18", "4111", "1", "XYZ"),
        FundsMessage("123", "500"),
    };
    EXPECT_EQ(server->Messages(), expected);
    EXPECT_EQ(files.ReadSequence(), "19");
}

TEST_F(GatewayTest, VoidIsServedOnlyWhenAllowed) {
    StartGateway("AllowVoid=1\n");
    ExpectResponse(Send(Get("/Void?12345+250+ABC")), "200 OK", "OK");
    ExpectResponse(Send(Get("/void?12345+250")), BadRequest, "Syntax error.");
    EXPECT_EQ(server->Messages(),
              std::vector<std::string>{NumberedMessage(52, "17", "12345", "250", "ABC")});
}

TEST_F(GatewayTest, AmountIsTheLeadingIntegerOfTheSecondItem) {
    StartGateway();
    // A space inside the URL survives: only the last one is cut off.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"abc", "0"},
        {"-25", "-25"},
        {"007", "7"},
        {"12x34", "12"},
        {"%2D5", "0"},
        {" 42", "42"},
        {"- 5", "0"},
        {"--5", "0"},
        {"2147483647", "2147483647"},
        {"2147483648", "-2147483648"},
        {"4294967346", "50"},
        {"-4294967346", "-50"},
        {"99999999999", "1215752191"},
        {"18446744073709551666", "50"},
    };
    std::vector<std::string> expected;
    for (const auto& [item, amount] : cases) {
        SCOPED_TRACE(item);
        ExpectResponse(Send(Get("/FundsAvailable?99+" + item)), "200 OK", "OK");
        expected.push_back(FundsMessage("99", amount));
    }
    EXPECT_EQ(server->Messages(), expected);
}

TEST_F(GatewayTest, RequestLineIsCutAtTheLineEndAndTheLastSpace) {
    StartGateway();
    const std::vector<std::pair<std::string, std::string>> cases = {
        // The method may stand on a later line than the first.
        {"POST /x HTTP/1.1\r\nGET /Sale?1+2+3 HTTP/1.1\r\n\r\n", "3"},
        // A bare line feed ends the line when there is no carriage return.
        {"GET /Sale?1+2+LF HTTP/1.1\nHost: x\n\n", "LF"},
        // No protocol version and nothing after the line: nothing is cut.
        {"GET /Sale?1+2+BARE", "BARE"},
        // Only the last space goes; no decoding of any kind.
        {"GET /Sale?1+2+a b%20c HTTP/1.0\r\n", "a b%20c"},
    };
    std::vector<std::string> expected;
    int sequence = 17;
    for (const auto& [request, third] : cases) {
        SCOPED_TRACE(request);
        ExpectResponse(Send(request), "200 OK", "OK");
        expected.push_back(NumberedMessage(51, std::to_string(sequence++), "1", "2", third));
    }
    // A carriage return wins over an earlier bare line feed, which then
    // stays inside the item and is refused as a control byte.
    ExpectResponse(Send("GET /Sale?1+2+CR\nx HTTP/1.1\r\n"), BadRequest, "Syntax error.");
    EXPECT_EQ(server->Messages(), expected);
}

TEST_F(GatewayTest, ItemsLyingInTheReplyAreaAreSentIntact) {
    StartGateway();
    // The request line starts beyond the first 1024 bytes, so its items lie
    // where the server's reply is collected.
    std::string request = "X-Padding: " + std::string(1200, 'p') + "\r\n" +
                          Get("/Sale?4111111111111111+1999+REF-0042");
    ExpectResponse(Send(request), "200 OK", "OK");
    EXPECT_EQ(server->Messages(), std::vector<std::string>{NumberedMessage(
                                      51, "17", "4111111111111111", "1999", "REF-0042")});
}

TEST_F(GatewayTest, OnlyTheFirst2047BytesAreJudged) {
    StartGateway();
    // "GET " starting at byte 2044 is cut in the middle.
    std::string late = std::string(2042, 'x') + "\r\n" + Get("/Sale?1+2+3");
    ExpectResponse(Send(late), NotAllowed, "Method not allowed.");
    // The 2048th byte is not read: the third item loses its last letter.
    std::string line = "GET /Sale?1+2+AB";
    std::string padding = "X-Padding: " + std::string(2047 - line.size() - 13, 'p') + "\r\n";
    ASSERT_EQ((padding + line).size(), 2047u);
    ExpectResponse(Send(padding + line + "C HTTP/1.1\r\n\r\n"), "200 OK", "OK");
    EXPECT_EQ(server->Messages(),
              std::vector<std::string>{NumberedMessage(51, "17", "1", "2", "AB")});
}

TEST_F(GatewayTest, ServerRepliesBecomeTheBody) {
    // The first message tells the fake server how to answer.
    UseServer([](FakeConnection& connection, const std::string& message) {
        if (message.find("EMPTY") != std::string::npos) {
            connection.Send(std::string("\0\0", 2));
        } else if (message.find("LONGEST") != std::string::npos) {
            connection.Send(Framed(std::string(1020, 'L') + "!"));
        } else if (message.find("PARTIAL") != std::string::npos) {
            // Claims 0x141 bytes, then gives up: the body starts at the
            // length bytes themselves.
            connection.Send("\x01\x41partial");
            PlatformSleepMs(100);
            connection.Close();
        } else if (message.find("SHORT") != std::string::npos) {
            connection.Send(std::string("\0\x30", 2) + "cut");
            PlatformSleepMs(100);
            connection.Close();
        }
    });
    StartGateway();
    ExpectResponse(Send(Get("/Sale?EMPTY+1+X")), "200 OK", "");
    ExpectResponse(Send(Get("/Sale?LONGEST+1+X")), "200 OK", std::string(1020, 'L') + "!");
    ExpectResponse(Send(Get("/Sale?PARTIAL+1+X")), "504 Gateway Timeout", "\x01\x41partial");
    // A partial reply whose length is below 256 starts with a zero byte.
    ExpectResponse(Send(Get("/Sale?SHORT+1+X")), "504 Gateway Timeout", "");
    EXPECT_EQ(server->Messages().size(), 4u);
}

TEST_F(GatewayTest, UnreachableServerGives504WithTheErrorText) {
    // The stopped server's port refuses connections; the code a refused
    // connect gets differs between systems, so ask the system first.
    server->Stop();
    PlatformSocket probe = PlatformTcpSocket();
    int refused = PlatformConnect(probe, "127.0.0.1", server->Port());
    PlatformCloseSocket(probe);
    ASSERT_NE(refused, 0);
    StartGateway();
    std::string body = "Unable to connect to server: Error " + std::to_string(refused);
    ExpectResponse(Send(Get("/FundsAvailable?1+2")), "504 Gateway Timeout", body);
    ExpectResponse(Send(Get("/Sale?1+2+3")), "504 Gateway Timeout", body);
}

TEST_F(GatewayTest, ControlBytesInUsedItemsAreRefused) {
    StartGateway();
    const std::vector<std::string> urls = {
        std::string("/Sale?12") + FS + "34+100+REF", // would add a field
        "/Sale?1234+100+RE\x01",
        "/Sale?1234+\t100+REF", // even where the amount would skip it
        "/Sale?1234+100\x7F+REF",
        "/FundsAvailable?12\x1F"
        "34+100",
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        ExpectResponse(Send(Get(url)), BadRequest, "Syntax error.");
    }
    // Items that are never sent are not judged.
    ExpectResponse(Send(Get("/FundsAvailable?1234+100+n\x01t+sent")), "200 OK", "OK");
    ExpectResponse(Send(Get("/Sale?1234+100+REF+n\x02t")), "200 OK", "OK");
    EXPECT_EQ(server->Messages(), (std::vector<std::string>{
                                      FundsMessage("1234", "100"),
                                      NumberedMessage(51, "17", "1234", "100", "REF"),
                                  }));
}

TEST_F(GatewayTest, ItemsTooLongForOneMessageAreRefusedUnsent) {
    StartGateway();
    // The message area holds 255 bytes; these items fit only just, or not.
    std::string longFirst(300, '9');
    ExpectResponse(Send(Get("/Sale?" + longFirst + "+100+REF")), BadRequest, "Syntax error.");
    ExpectResponse(Send(Get("/FundsAvailable?" + longFirst + "+100")), BadRequest, "Syntax error.");
    ExpectResponse(Send(Get("/Sale?1+100+" + std::string(240, 'R'))), BadRequest, "Syntax error.");
    EXPECT_EQ(server->Received(), "");
    EXPECT_EQ(files.ReadSequence(), "17");

    ExpectResponse(Send(Get("/Sale?1+100+" + std::string(200, 'R'))), "200 OK", "OK");
    EXPECT_EQ(server->Messages(), std::vector<std::string>{NumberedMessage(51, "17", "1", "100",
                                                                           std::string(200, 'R'))});
}
