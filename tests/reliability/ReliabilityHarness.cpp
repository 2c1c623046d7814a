// ReliabilityHarness.cpp - starting and stopping the listener and txsim for
// the reliability and security suites, and the whole-response check.
#include "reliability/ReliabilityHarness.h"

#include "files/Files.h"
#include "files/Journal.h"
#include "frontend/Frontend.h"
#include "transaction/Transaction.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>

std::string Get(const std::string& url) {
    return "GET " + url + " HTTP/1.1\r\nHost: gateway\r\n\r\n";
}

Answer ParseAnswer(const std::string& response) {
    Answer answer;
    const std::string start = "HTTP/1.1 ";
    if (response.compare(0, start.size(), start) != 0)
        return answer;
    size_t statusEnd = response.find("\r\n");
    answer.status = response.substr(start.size(), statusEnd - start.size());
    const std::string server = "\r\nServer: BraskHollinServer\r\nDate: ";
    if (response.compare(statusEnd, server.size(), server) != 0)
        return answer;
    // "Tue, 06 Oct 2009 08:05:09 GMT" is always 29 characters.
    size_t date = statusEnd + server.size();
    const std::string rest = "\r\nContent-type: text/html\r\nPragma: no-cache\r\n"
                             "Cache-Control: no-cache\r\n\r\n";
    if (response.size() < date + 29 || response.compare(date + 25, 4, " GMT") != 0 ||
        response.compare(date + 29, rest.size(), rest) != 0)
        return answer;
    answer.body = response.substr(date + 29 + rest.size());
    answer.wellFormed = true;
    return answer;
}

std::string Client(unsigned short port, const std::string& bytes, bool endSending,
                   int64_t* elapsedMs, const char* from) {
    PlatformSocket socket = ConnectLoopback(port, from);
    if (socket == PlatformNoSocket)
        return "<no connection>";
    int64_t start = PlatformMonotonicMs();
    if (!bytes.empty())
        PlatformSend(socket, bytes.data(), bytes.size());
    if (endSending)
        PlatformShutdownSend(socket);
    std::string received = ReadUntilClosed(socket, 15000);
    *elapsedMs = PlatformMonotonicMs() - start;
    PlatformCloseSocket(socket);
    return received;
}

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
            outcome == "not-sent" ? "" : "<ms>",
            MaskDigitRuns(reply)};
}

std::string MaskDigitRuns(const std::string& text) {
    std::string masked = text;
    for (size_t start = 0; start < masked.size();) {
        size_t end = start;
        while (end < masked.size() && std::isdigit(static_cast<unsigned char>(masked[end])))
            ++end;
        if (end - start >= 12)
            std::fill(masked.begin() + long(start), masked.begin() + long(end - 4), '*');
        start = end + 1;
    }
    return masked;
}

std::vector<JournalFields> ReliabilityTest::JournalRows(std::vector<JournalFields>* raw) const {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(files.Directory())) {
        if (entry.path().filename().string().rfind("gateway-", 0) == 0)
            paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    // No field in these tests needs quotes: lines split on CR LF, fields on commas.
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
            for (char c : text.substr(at, end - at)) {
                if (c == ',')
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
    EnsureSockets();
    // A stop event is set only once, so every test gets its own.
    StopEvent = PlatformCreateEvent();
    TransactionLock = TestTransactionLock();
    std::snprintf(ServerAddress, sizeof ServerAddress, "127.0.0.1");
    // The previous test's server is gone; its connection must not be reused.
    CloseServerConnection();
    serverPort = FreePort();
    files.WriteSequence("17");
}

void ReliabilityTest::TearDown() {
    if (listener_.joinable())
        StopListener();
    StopServer();
    StopJournal();
}

void ReliabilityTest::StartServer(const TxSimOptions& options) {
    TxSimOptions bound = options;
    bound.port = serverPort;
    server = std::make_unique<TxSim>();
    std::string error;
    // The port may still be held for a moment by the previous run's
    // connections; binding over closed ones is allowed, so retry briefly.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (server->Start(bound, &error))
            return;
        PlatformSleepMs(100);
    }
    FAIL() << "txsim did not start on port " << serverPort << ": " << error;
}

void ReliabilityTest::StopServer() {
    if (server)
        server->Stop();
}

void ReliabilityTest::SetServerOptions(const TxSimOptions& options) {
    ASSERT_TRUE(server);
    server->SetOptions(options);
}

void ReliabilityTest::WriteSettings(const std::string& extraSettings,
                                    const std::string& allowedClients) {
    port = FreePort();
    files.WriteSettings("[Settings]\nListenPortNumber=" + std::to_string(port) +
                        "\nServerPortNumber=" + std::to_string(serverPort) +
                        "\nTerminalAddress=3\nEntryMode=2\n" + extraSettings +
                        "[Allowed Clients]\n" + allowedClients);
}

bool ReliabilityTest::WaitForListener() const {
    // A probe that gets through tells that the port listens. It sends
    // nothing and ends its side, so the gateway answers it (405, or 403);
    // waiting for that close keeps its answer out of what a test counts.
    return WaitUntil(
        [this] {
            PlatformSocket probe = ConnectLoopback(port);
            if (probe == PlatformNoSocket)
                return false;
            PlatformShutdownSend(probe);
            ReadUntilClosed(probe, 5000);
            PlatformCloseSocket(probe);
            return true;
        },
        5000);
}

void ReliabilityTest::StartGateway(const std::string& extraSettings,
                                   const std::string& allowedClients) {
    WriteSettings(extraSettings, allowedClients);
    StartJournal();
    listener_ = std::thread([] { RunListener(); });
    ASSERT_TRUE(WaitForListener())
        << "no listener on port " << port << "; log: " << files.ReadLog();
}

void ReliabilityTest::StopListener() {
    PlatformSetEvent(StopEvent);
    listener_.join();
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
