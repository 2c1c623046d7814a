// ReliabilityHarness.h - the gateway under test in front of an in-process
// txsim whose misbehaviours a test switches between transactions. Every
// answer is checked whole: status line, the fixed headers and the exact body.
#pragma once

#include "support/GatewayTest.h"

#include "TxSim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

// The socket error a refused connect reports on this platform.
#ifdef _WIN32
constexpr int ConnectionRefusedCode = 10061;
#else
constexpr int ConnectionRefusedCode = 111;
#endif

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

class ReliabilityTest : public GatewayTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts txsim on the fixture's server port (reserved in SetUp, so a
    // gateway may be started while the server is still down).
    void StartServer(const TxSimOptions& options = {});
    void StopServer();
    // Switches misbehaviours of the running txsim for the messages to come.
    void SetServerOptions(const TxSimOptions& options);

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

    std::unique_ptr<TxSim> server;
    // Where txsim listens; 0: serverPort.
    unsigned short backendPort = 0;
};

// The same gateway with ServerTls=1 in front of the TLS fronts of
// support/tls-peers.sh, txsim on their backend port behind them; serverPort
// is the good front's port unless a test points it at another.
class ReliabilityTlsTest : public ReliabilityTest {
  protected:
    void SetUp() override;

    // "ServerTls=1" and the test CA as ServerCaFile (another file, or none
    // for the system's store), then extra.
    static std::string TlsSettings(const std::string& extra = "",
                                   const std::string& caFile = Env("QHG_TLS_CA"));
    // The client certificate keys of this platform: on Linux the files, on
    // Windows the fingerprint in the variable named (the store holds it).
    static std::string ClientSettings(const std::string& certificate, const std::string& key,
                                      const char* sha256Variable);
    // What "check" prints with the settings as they are.
    static std::string CheckOutput();
};

// The value of one sample of the gateway's /metrics text, e.g.
// "qhg_server_tls_handshakes_total{result=\"ok\"}"; -1 when absent.
long long MetricValue(const std::string& sample);
