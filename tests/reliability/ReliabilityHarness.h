// ReliabilityHarness.h - the gateway's front end (the real RunListener on a
// thread of its own) in front of an in-process txsim whose misbehaviours a
// test switches between transactions, with fresh gateway files. Every answer
// is checked whole: status line, the fixed headers and the exact body.
#pragma once

#include "support/TestSupport.h"

#include "TxSim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

constexpr char FS = '\x1C';

// The socket error a refused connect reports on this platform.
#ifdef _WIN32
constexpr int ConnectionRefusedCode = 10061;
#else
constexpr int ConnectionRefusedCode = 111;
#endif

// "GET <url> HTTP/1.1" with a Host line, as a till sends it.
std::string Get(const std::string& url);

// The status line and body of one response, after checking that the header
// block between them is exactly the gateway's.
struct Answer {
    std::string status;
    std::string body;
    bool wellFormed = false;
};
Answer ParseAnswer(const std::string& response);

// Asserts that response is exactly status and body with the gateway's headers.
// The response expression is evaluated once.
#define EXPECT_ANSWER(response, expectedStatus, expectedBody)                                      \
    do {                                                                                           \
        const std::string response_ = (response);                                                  \
        Answer answer_ = ParseAnswer(response_);                                                   \
        EXPECT_TRUE(answer_.wellFormed) << response_;                                              \
        EXPECT_EQ(answer_.status, expectedStatus) << response_;                                    \
        EXPECT_EQ(answer_.body, expectedBody) << response_;                                        \
    } while (0)

// Connects (from the given local address, or any), sends bytes (none:
// nothing), optionally ends the sending side, and returns what came back and
// how long the gateway kept the connection.
std::string Client(unsigned short port, const std::string& bytes, bool endSending,
                   int64_t* elapsedMs, const char* from = nullptr);

// The approval txsim gives to a sale from terminal 3, client 5.
std::string SaleApproval(int sequence, int amount);
std::string FundsApproval(int amount);

// A journal row's fields, as read from the file. Rows compare with the time
// and server time each replaced by a placeholder once their form is checked.
using JournalFields = std::vector<std::string>;
constexpr int NoNumber = -1000000000;
// The row a transaction of the listed client 127.0.0.1 (client 5) leaves;
// card is the masked card field.
JournalFields Row(const std::string& kind, int sequence, int amount, const std::string& outcome,
                  int status, const std::string& reply, const std::string& reference = "INV7731",
                  const std::string& card = "************5556");
// Masks every run of 12 or more digits but its last four, as the journal does.
std::string MaskDigitRuns(const std::string& text);

class ReliabilityTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts txsim on the fixture's server port (reserved in SetUp, so a
    // gateway may be started while the server is still down).
    void StartServer(const TxSimOptions& options = {});
    void StopServer();
    // Switches misbehaviours of the running txsim for the messages to come.
    void SetServerOptions(const TxSimOptions& options);

    // Writes the settings: a fresh listen port, the server port, terminal 3,
    // entry mode 2, the extra "Settings" lines and the "Allowed Clients" lines.
    void WriteSettings(const std::string& extraSettings, const std::string& allowedClients);
    // Writes the settings and starts RunListener; returns once it accepts.
    void StartGateway(const std::string& extraSettings = "",
                      const std::string& allowedClients = "127.0.0.1=5\n");
    void StopListener();
    // Connects until the gateway accepts, at most 5 s; false if it never did.
    bool WaitForListener() const;

    std::string Send(const std::string& request, const char* fromAddress = nullptr) {
        return RawExchange(port, request, fromAddress);
    }
    // A sale of amount from the listed client; the answer it gets.
    std::string Sale(int amount, const std::string& card = "4000056655665556",
                     const std::string& reference = "INV7731");

    // The counter file's number: the sequence number of the next sale.
    int NextSequence() const;
    // Asserts that the gateway still serves: a sale gets its own approval
    // with the next sequence number, the counter moves on by one, and the
    // journal's last row says so.
    void ExpectServing(int amount = 4242);

    // Every row of the fixture's journal files, oldest day first, each
    // file's header checked and left out; times and server times replaced
    // by placeholders once their form is checked. raw, when given, gets the
    // rows as read.
    std::vector<JournalFields> JournalRows(std::vector<JournalFields>* raw = nullptr) const;

    TempGatewayFiles files;
    std::unique_ptr<TxSim> server;
    unsigned short serverPort = 0;
    unsigned short port = 0;

  private:
    std::thread listener_;
};

// Waits until condition() holds, polling every 10 ms; false on time-out.
template <typename Condition> bool WaitUntil(Condition condition, int timeoutMs) {
    for (int64_t end = PlatformMonotonicMs() + timeoutMs; PlatformMonotonicMs() < end;) {
        if (condition())
            return true;
        PlatformSleepMs(10);
    }
    return condition();
}
