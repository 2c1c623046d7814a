// StatusPortTest.cpp - the status port beside the tills' listener: /metrics
// counts what the tills got and what became of each transaction, /health
// follows the last exchange with the server, and "Allowed Clients" has no
// say over either. Counts are process-wide, so each test compares before
// and after.
#include "reliability/ReliabilityHarness.h"

#include "Journal.h"
#include "Metrics.h"
#include "StatusPage.h"
#include "Transaction.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>

namespace {

std::string StatusGet(unsigned short port, const std::string& path,
                      const char* from = "127.0.0.3") {
    return RawExchange(port, "GET " + path + " HTTP/1.1\r\nHost: monitor\r\n\r\n", from);
}

// The body of a /metrics answer, after checking the header block: the
// gateway's own with the exposition's content type.
std::string MetricsText(unsigned short port) {
    std::string response = StatusGet(port, "/metrics");
    const std::string type = "\r\nContent-Type: text/plain; version=0.0.4\r\n"
                             "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n";
    size_t body = response.find(type);
    bool head = response.rfind("HTTP/1.1 200 OK\r\nServer: BraskHollinServer\r\nDate: ", 0) == 0;
    EXPECT_TRUE(head && body != std::string::npos) << response;
    return body == std::string::npos ? "" : response.substr(body + type.size());
}

// "name{labels}" to value for each sample line of an exposition text; lines
// starting with "TYPE " (the parser's family lines) and "#" are skipped.
std::map<std::string, double> Samples(const std::string& text) {
    std::map<std::string, double> samples;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || line.rfind("TYPE ", 0) == 0 ||
            space == std::string::npos)
            continue;
        std::string name = line.substr(0, space);
        if (name.size() > 2 && name.compare(name.size() - 2, 2, "{}") == 0)
            name.resize(name.size() - 2);
        samples[name] = std::stod(line.substr(space + 1));
    }
    return samples;
}

#ifndef _WIN32
// The samples as Prometheus' own Python parser reads the text.
std::map<std::string, double> SamplesByPrometheus(const std::string& text,
                                                  const std::string& directory) {
    std::string path = directory + "/metrics.txt";
    WriteWholeFile(path, text);
    std::string command =
        "/usr/bin/python3 " GATEWAY_METRICS_PARSER " <" + path + " >" + path + ".parsed 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadWholeFile(path + ".parsed");
    return Samples(ReadWholeFile(path + ".parsed"));
}
#endif

// The samples that changed between two scrapes, by how much.
std::map<std::string, double> Changes(const std::map<std::string, double>& before,
                                      const std::map<std::string, double>& after) {
    std::map<std::string, double> changed;
    for (const auto& [name, value] : after) {
        auto old = before.find(name);
        double delta = value - (old == before.end() ? 0 : old->second);
        if (delta != 0 && name.find("_bucket") == std::string::npos &&
            name.find("_sum") == std::string::npos && name != "qhg_sequence_next" &&
            name != "qhg_server_up")
            changed[name] = delta;
    }
    return changed;
}

bool Idle(unsigned short statusPort) {
    return Samples(MetricsText(statusPort))["qhg_connections_open"] == 0;
}

} // namespace

TEST_F(ReliabilityTest, StatusPortCountsAnswersAndFollowsTheServer) {
    unsigned short status = FreePort();
    StartServer();
    StartGateway("AllowVoid=1\nDuplicateWindow=120\nStatusPort=" + std::to_string(status) + "\n",
                 "127.0.0.1=5\n127.0.0.2=0\n");
    // The harness's probes are answered on threads of their own.
    ASSERT_TRUE(WaitUntil([&] { return Idle(status); }, 5000));
    std::map<std::string, double> before = Samples(MetricsText(status));

    ExpectServing(100);
    EXPECT_ANSWER(Sale(100), "409 Conflict",
                  "Duplicate of sequence 17, answered: " + SaleApproval(17, 100));
    EXPECT_ANSWER(StatusGet(status, "/health"), "200 OK", "OK");
    ExpectServing(200);
    EXPECT_ANSWER(Send(Get("/FundsAvailable?4000056655665556+300")), "200 OK", FundsApproval(300));
    EXPECT_ANSWER(Send(Get("/Void?4000056655665556+100+INV7731")), "200 OK",
                  "APPROVED VOID TERMINAL=03 SEQ=19 CLIENT=5 AMOUNT=100");
    EXPECT_ANSWER(Send(Get("/Sale?1+2+3"), "127.0.0.2"), "403 Forbidden", "Access denied.");
    EXPECT_ANSWER(Send(Get("/Refund?1+2+3")), "404 Not Found", "File not found");
    EXPECT_ANSWER(Send(Get("/Sale?")), "400 Bad Request", "Syntax error.");
    EXPECT_ANSWER(Send("POST /Sale?1+2+3 HTTP/1.1\r\n\r\n"), "405 Method Not Allowed",
                  "Method not allowed.");

    // Sent, then the connection closes without a reply: in doubt.
    TxSimOptions closing;
    closing.closeBeforeReply = true;
    SetServerOptions(closing);
    EXPECT_ANSWER(Sale(300), "504 Gateway Timeout", "");
    EXPECT_ANSWER(Sale(300), "409 Conflict",
                  "Duplicate of sequence 20, whose outcome is unknown: check it with the "
                  "transaction server before trying again.");
    EXPECT_ANSWER(StatusGet(status, "/health"), "503 Service Unavailable",
                  "No whole reply from the transaction server.");
    // No server at all: not sent, and the health says why.
    StopServer();
    const std::string refused =
        "Unable to connect to server: Error " + std::to_string(ConnectionRefusedCode);
    EXPECT_ANSWER(Sale(400), "504 Gateway Timeout", refused);
    EXPECT_ANSWER(StatusGet(status, "/health"), "503 Service Unavailable", refused);
    EXPECT_EQ(MetricValue("qhg_server_up"), 0);
    StartServer();
    ExpectServing(500);
    EXPECT_ANSWER(StatusGet(status, "/health"), "200 OK", "OK");

    ASSERT_TRUE(WaitUntil([&] { return Idle(status); }, 5000));
    std::string text = MetricsText(status);
    std::map<std::string, double> after = Samples(text);
#ifndef _WIN32
    EXPECT_EQ(SamplesByPrometheus(text, files.Directory()), after) << text;
#endif
    std::map<std::string, double> expected = {
        {"qhg_requests_total{status=\"200\"}", 5},
        {"qhg_requests_total{status=\"400\"}", 1},
        {"qhg_requests_total{status=\"403\"}", 1},
        {"qhg_requests_total{status=\"404\"}", 1},
        {"qhg_requests_total{status=\"405\"}", 1},
        {"qhg_requests_total{status=\"409\"}", 2},
        {"qhg_duplicates_total{original=\"replied\"}", 1},
        {"qhg_duplicates_total{original=\"in_doubt\"}", 1},
        {"qhg_requests_total{status=\"504\"}", 2},
        {"qhg_transactions_total{kind=\"sale\",outcome=\"replied\"}", 3},
        {"qhg_transactions_total{kind=\"sale\",outcome=\"in_doubt\"}", 1},
        {"qhg_transactions_total{kind=\"sale\",outcome=\"not_sent\"}", 1},
        {"qhg_transactions_total{kind=\"funds\",outcome=\"replied\"}", 1},
        {"qhg_transactions_total{kind=\"void\",outcome=\"replied\"}", 1},
        {"qhg_server_connects_total", 2},
        {"qhg_exchange_seconds_count", 6}, // every exchange that was sent
        {"qhg_lock_wait_seconds_count", 7},
        {"qhg_server_connected", 1}, // from 0: each test starts without a connection
        {"qhg_server_link_connected{link=\"0\",terminal=\"\"}", 1},
    };
    EXPECT_EQ(Changes(before, after), expected);
    EXPECT_EQ(after["qhg_sequence_next"], NextSequence());
    EXPECT_EQ(after["qhg_server_up"], 1);
    EXPECT_GT(after["process_start_time_seconds"], 1.2e9);
    EXPECT_LE(after["process_start_time_seconds"], PlatformUtcMilliseconds() / 1000.0);
}

// The port answers whoever can reach its address, one request per
// connection, alongside a silent client; a busy port is logged and the
// tills are served all the same; a stop closes it.
TEST_F(ReliabilityTest, StatusPortServesAnyoneUntilTheStopAndABusyOneIsOnlyLogged) {
    unsigned short status = FreePort();
    StartServer();
    StartGateway("StatusPort=" + std::to_string(status) + "\n", "127.0.0.2=0\n");
    PlatformSocket silent = ConnectLoopback(status);
    int64_t start = PlatformMonotonicMs();
    EXPECT_ANSWER(StatusGet(status, "/health", "127.0.0.2"), "200 OK", "OK");
    EXPECT_LT(PlatformMonotonicMs() - start, 1000);
    EXPECT_ANSWER(StatusGet(status, "/metrics/x"), "404 Not Found", "File not found");
    EXPECT_ANSWER(RawExchange(status, "HEAD /health HTTP/1.1\r\n\r\n"), "405 Method Not Allowed",
                  "Method not allowed.");
    EXPECT_EQ(ReadUntilClosed(silent, 5000), "");
    PlatformCloseSocket(silent);
    StopGateway();
    EXPECT_EQ(ConnectLoopback(status), PlatformNoSocket);

    PlatformSocket holder = PlatformTcpSocket();
    ASSERT_EQ(PlatformBind(holder, "127.0.0.1", 0), 0);
    ASSERT_EQ(PlatformListen(holder, 4), 0);
    int busy = PlatformLocalPort(holder);
    StartGateway("StatusPort=" + std::to_string(busy) + "\n");
    ExpectServing();
    PlatformCloseSocket(holder);
    EXPECT_NE(files.ReadLog().find(": Status port error " +
                                   std::to_string(PlatformErrorAddressInUse) + ": Port " +
                                   std::to_string(busy) + " is in use"),
              std::string::npos)
        << files.ReadLog();
}

#ifndef _WIN32
// The alert rules and their promtool tests name only series a gateway really
// exports: a scrape over TLS with a client certificate (which makes both
// certificates' expiry known) against both.
TEST_F(ReliabilityTlsTest, AlertRulesUseOnlySeriesTheGatewayExports) {
    unsigned short status = FreePort();
    StartServer();
    StartGateway(TlsSettings("StatusPort=" + std::to_string(status) + "\n" +
                             ClientSettings(Env("QHG_TLS_CLIENT_CERT"), Env("QHG_TLS_CLIENT_KEY"),
                                            "QHG_TLS_CLIENT_SHA256")));
    ExpectServing();
    const std::string path = files.Directory() + "/metrics.txt";
    WriteWholeFile(path, MetricsText(status));
    const std::string command = "/usr/bin/python3 " GATEWAY_RULE_SERIES " " + path +
                                " " GATEWAY_ALERT_RULES " " GATEWAY_ALERT_RULES_TEST " >" + path +
                                ".out 2>&1";
    int result = std::system(command.c_str());
    std::string out = ReadWholeFile(path + ".out");
    std::printf("%s", out.c_str());
    EXPECT_EQ(result, 0) << out;
    // The page shows the certificate /metrics holds.
    std::string page = StatusGet(status, "/");
    long long expiry = MetricValue("qhg_server_certificate_expiry_timestamp_seconds");
    EXPECT_NE(page.find("<td>TLS</td><td><span class=\"ok\">" + HttpDateOf(expiry) + ", in "),
              std::string::npos)
        << page;
}
#endif

// The page's p50 and p99 from /metrics' buckets, as histogram_quantile
// reads them: within the bucket, from its lower bound to its upper one.
TEST(StatusPage, QuantilesLieWithinTheirBucket) {
    TimeBuckets buckets;
    ReadExchangeTimes(&buckets);
    EXPECT_EQ(buckets.upperUs[0], 100);
    EXPECT_EQ(buckets.upperUs[TimeBucketCount - 2], 30000000);
    EXPECT_EQ(buckets.upperUs[TimeBucketCount - 1], -1);
    std::fill(std::begin(buckets.count), std::end(buckets.count), 0);
    EXPECT_EQ(BucketQuantileUs(buckets, 0.5), -1);
    buckets.count[0] = 2; // up to 100 us
    buckets.count[3] = 2; // 500 to 1000 us
    EXPECT_EQ(BucketQuantileUs(buckets, 0.25), 50);
    EXPECT_EQ(BucketQuantileUs(buckets, 0.5), 100);
    EXPECT_EQ(BucketQuantileUs(buckets, 0.75), 750);
    buckets.count[TimeBucketCount - 1] = 96; // beyond 30 s
    EXPECT_EQ(BucketQuantileUs(buckets, 0.03), 750);
    EXPECT_EQ(BucketQuantileUs(buckets, 0.99), BeyondLastBound);
}

// A busy day's in-doubt list: the newest rows by their time, whatever the
// file's order, the rest counted; each text cut, and the page whole.
TEST(StatusPage, ABusyDayShowsItsNewestInDoubtRowsAndFits) {
    TempGatewayFiles files;
    PlatformLocalTime now;
    PlatformLocalNow(&now);
    char path[JournalDayPathSize];
    JournalDayPath(now.year, now.month, now.day, path, sizeof path);
    const std::string quotes(200, '\'');
    auto row = [&](int sequence, const char* time) {
        return std::string("2026-12-08T") + time + ".000+01:00,127.0.0.1,5,sale," +
               std::to_string(sequence) + ",100,************5556,\"" + quotes +
               "\",in-doubt,504,30000.000,Timeout error.\r\n";
    };
    std::string day = JournalHeader + row(999, "18:00:00");
    char time[16];
    for (int i = 0; i < PageInDoubtRows + 4; ++i) {
        std::snprintf(time, sizeof time, "10:%02d:%02d", i / 60, i % 60);
        day += row(i, time);
    }
    WriteWholeFile(path, day);
    std::string page(StatusPageSize, '\0');
    page.resize(FormatStatusPage(page.data(), page.size()));
    ASSERT_GT(page.size(), 16u);
    EXPECT_EQ(page.substr(page.size() - 16), "</body>\n</html>\n");
    size_t list = page.find("<table id=\"in-doubt-list\">");
    std::string table = page.substr(list, page.find("</table>", list) - list);
    size_t rows = 0;
    for (size_t at = table.find("<tr><td>"); at != std::string::npos;
         at = table.find("<tr><td>", at + 1))
        ++rows;
    EXPECT_EQ(rows, static_cast<size_t>(PageInDoubtRows));
    std::string cut;
    for (int i = 0; i < 64; ++i)
        cut += "&#39;";
    EXPECT_NE(table.find("<tr><td>18:00:00</td><td>127.0.0.1 #5</td><td class=\"n\">999</td>"),
              std::string::npos);
    EXPECT_NE(table.find("<td class=\"n\">103</td><td>sale</td><td>************5556</td>"
                         "<td class=\"n\">100</td><td>" +
                         cut + "...</td></tr>\n<tr><td>10:01:42</td>"),
              std::string::npos);
    EXPECT_EQ(table.find("<td class=\"n\">4</td>"), std::string::npos);
    EXPECT_NE(page.find("And 5 more, older: "), std::string::npos);
}

TEST(StatusHealth, ReasonIsOnePrintableLine) {
    NoteServerExchange(false, "\x01\x41 declined\r\nnext");
    char reason[128];
    EXPECT_FALSE(ServerHealthy(reason, sizeof reason));
    EXPECT_STREQ(reason, "?A declined??next");
    NoteServerExchange(true, "");
    EXPECT_TRUE(ServerHealthy(reason, sizeof reason));
}
