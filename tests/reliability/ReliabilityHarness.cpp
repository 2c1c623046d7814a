// ReliabilityHarness.cpp - txsim behind the gateway under test, for the
// reliability and security suites, and the journal's rows.
#include "reliability/ReliabilityHarness.h"

#include "Check.h"
#include "Files.h"
#include "Journal.h"
#include "Listener.h"
#include "Metrics.h"
#include "Transaction.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>

std::string SaleApproval(int sequence, int amount) {
    return "APPROVED SALE TERMINAL=03 SEQ=" + std::to_string(sequence) +
           " CLIENT=5 AMOUNT=" + std::to_string(amount);
}

std::string FundsApproval(int amount) {
    return "FUNDS AVAILABLE TERMINAL=03 AMOUNT=" + std::to_string(amount);
}

JournalFields Row(const std::string& kind, int sequence, int amount, const std::string& outcome,
                  int status, const std::string& reply, const std::string& reference,
                  const std::string& card) {
    return {"<time>",
            "127.0.0.1",
            "5",
            kind,
            sequence == NoNumber ? "" : std::to_string(sequence),
            std::to_string(amount),
            card,
            kind == "funds" ? "" : reference,
            outcome,
            std::to_string(status),
            outcome == "not-sent" || outcome == "duplicate" ? "" : "<ms>",
            reply};
}

std::vector<JournalFields> ReliabilityTest::JournalRows(std::vector<JournalFields>* raw) const {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(files.Directory())) {
        if (entry.path().filename().string().rfind("gateway-", 0) == 0)
            paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    // No field in these tests holds a line end: lines split on CR LF, fields on
    // commas outside quotes, and "" in quotes is one quote.
    const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}"
                          "[+-][0-9]{2}:[0-9]{2}");
    std::vector<JournalFields> rows;
    for (const std::string& path : paths) {
        std::string text = ReadWholeFile(path);
        EXPECT_EQ(text.compare(0, strlen(JournalHeader), JournalHeader), 0) << path;
        for (size_t at = text.find("\r\n") + 2; at < text.size();) {
            size_t end = text.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "a row without CR LF in " << path;
            JournalFields row(1);
            bool quoted = false;
            for (size_t i = at; i < end && i < text.size(); ++i) {
                char c = text[i];
                if (c == '"' && quoted && i + 1 < end && text[i + 1] == '"')
                    row.back() += text[++i];
                else if (c == '"')
                    quoted = !quoted;
                else if (c == ',' && !quoted)
                    row.emplace_back();
                else
                    row.back() += c;
            }
            at = end == std::string::npos ? text.size() : end + 2;
            EXPECT_EQ(row.size(), 12u) << path;
            row.resize(12);
            if (raw != nullptr)
                raw->push_back(row);
            if (std::regex_match(row[0], time))
                row[0] = "<time>";
            if (std::regex_match(row[10], std::regex("[0-9]+\\.[0-9]{3}")))
                row[10] = "<ms>";
            rows.push_back(row);
        }
    }
    return rows;
}

void ReliabilityTest::SetUp() {
    GatewayTest::SetUp();
    serverPort = FreePort();
}

void ReliabilityTest::TearDown() {
    GatewayTest::TearDown();
    StopServer();
}

void ReliabilityTest::StartServer(const TxSimOptions& options) {
    TxSimOptions bound = options;
    bound.port = backendPort != 0 ? backendPort : serverPort;
    server = std::make_unique<TxSim>();
    std::string error;
    // The port may still be held for a moment by the previous run's
    // connections; binding over closed ones is allowed, so retry briefly.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (server->Start(bound, &error))
            return;
        PlatformSleepMs(100);
    }
    FAIL() << "txsim did not start on port " << bound.port << ": " << error;
}

void ReliabilityTest::StopServer() {
    if (server)
        server->Stop();
}

void ReliabilityTest::SetServerOptions(const TxSimOptions& options) {
    ASSERT_TRUE(server);
    server->SetOptions(options);
}

std::string ReliabilityTest::Sale(int amount, const std::string& card,
                                  const std::string& reference) {
    return Send(Get("/Sale?" + card + "+" + std::to_string(amount) + "+" + reference));
}

int ReliabilityTest::NextSequence() const {
    return std::atoi(files.ReadSequence().c_str());
}

void ReliabilityTest::ExpectServing(int amount) {
    int sequence = NextSequence();
    EXPECT_ANSWER(Sale(amount), "200 OK", SaleApproval(sequence, amount));
    EXPECT_EQ(NextSequence(), sequence + 1);
    std::vector<JournalFields> rows = JournalRows();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back(),
              Row("sale", sequence, amount, "replied", 200, SaleApproval(sequence, amount)));
}

void ReliabilityTlsTest::SetUp() {
    ReliabilityTest::SetUp();
    ASSERT_FALSE(Env("QHG_TLS_CA").empty())
        << "the TLS cases need the servers of tests/support/tls-peers.sh";
    serverPort = EnvPort("QHG_TLS_GOOD_PORT");
    backendPort = EnvPort("QHG_TLS_BACKEND_PORT");
}

std::string ReliabilityTlsTest::TlsSettings(const std::string& extra, const std::string& caFile) {
    return "ServerTls=1\nServerCaFile=" + caFile + "\n" + extra;
}

std::string ReliabilityTlsTest::ClientSettings(const std::string& certificate,
                                               const std::string& key, const char* sha256Variable) {
#ifdef _WIN32
    (void)certificate;
    (void)key;
    return "ServerClientCertificateHash=" + Env(sha256Variable) + "\n";
#else
    (void)sha256Variable;
    return "ServerClientCertificateFile=" + certificate + "\nServerClientKeyFile=" + key + "\n";
#endif
}

std::string ReliabilityTlsTest::CheckOutput() {
    testing::internal::CaptureStdout();
    CheckGateway();
    return testing::internal::GetCapturedStdout();
}

long long MetricValue(const std::string& sample) {
    std::string text(64 * 1024, '\0');
    text.resize(FormatMetrics(text.data(), text.size(), false, 0));
    size_t at = text.find("\n" + sample + " ");
    if (at == std::string::npos)
        return -1;
    return std::atoll(text.c_str() + at + sample.size() + 2);
}
