// ReportTest.cpp - the day the gateway itself wrote, in the "report"
// command and on the status page: the report read while the gateway holds
// the file, line by line, then with a damaged row appended; an empty day and
// a date that is none; the page's parts with every text from outside escaped.
// report_console_test.sh runs the executable's command for its exit codes,
// status_page_browser.sh this run's page in a browser.
#include "reliability/ReliabilityHarness.h"

#include "Journal.h"
#include "JournalReader.h"
#include "Report.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <regex>

using namespace std::string_literals;

namespace {

class DayReport : public GatewayTest {};

// The report's lines, with each time of day and the slowest time replaced.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        line = std::regex_replace(line, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"), "hh:mm:ss");
        lines.push_back(std::regex_replace(line, std::regex("[0-9]+\\.[0-9]{3} ms"), "<ms> ms"));
    }
    return lines;
}

std::string DayPath(const char* day) {
    char path[JournalDayPathSize];
    JournalDayPath(std::atoi(day), std::atoi(day + 5), std::atoi(day + 8), path, sizeof path);
    return path;
}

// The status page's HTML, after checking the gateway's header block.
std::string PageText(unsigned short statusPort) {
    Answer answer = ParseAnswer(RawExchange(statusPort, "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(answer.wellFormed && answer.status == "200 OK") << answer.body;
    return answer.body;
}

} // namespace

TEST_F(DayReport, EveryOutcomeOfARealRunInTheReportAndOnThePage) {
    // The server's text carries HTML with a script that would retitle the
    // page, quotes, a comma and a line end; the till's reference carries
    // HTML. A sale of 300 is sent and never answered, the slowest exchange.
    const std::string html = "APPROVED <b>\"OK\"</b> & it's,\r\n<script>document.title=42</script>";
    auto answer = [&](FakeConnection& connection, const std::string& message) {
        if (message.find(FS + std::string("300") + FS) == std::string::npos) {
            connection.Send(Framed(html));
            return;
        }
        PlatformSleepMs(300);
        connection.Close();
    };
    auto server = std::make_unique<FakeServer>(answer);
    serverPort = server->Port();
    unsigned short statusPort = FreePort();
    StartGateway("AllowVoid=1\nDuplicateWindow=120\nStatusPort=" + std::to_string(statusPort) +
                 "\n");
    auto status = [&](const std::string& url) { return ParseAnswer(Send(Get(url))).status; };
    const std::string card = "?4000056655665556+";
    EXPECT_EQ(status("/Sale" + card + "100+INV1"), "200 OK");
    EXPECT_EQ(status("/Sale" + card + "100+INV1"), "409 Conflict");
    EXPECT_EQ(status("/Void" + card + "100+INV1"), "200 OK");
    EXPECT_EQ(status("/FundsAvailable" + card + "250"), "200 OK");
    EXPECT_EQ(status("/Sale" + card + "300+<i>INV2"), "504 Gateway Timeout");
    EXPECT_EQ(status("/Sale" + card + "300+<i>INV2"), "409 Conflict");
    EXPECT_EQ(status("/Sale" + card + "500+" + std::string(250, 'R')), "400 Bad Request");
    server->Stop();
    EXPECT_EQ(status("/Sale" + card + "600+INV3"), "504 Gateway Timeout");
    EXPECT_EQ(status("/FundsAvailable" + card + "700"), "504 Gateway Timeout");
    const std::string host = "127.0.0.1:" + std::to_string(serverPort);
    EXPECT_NE(
        PageText(statusPort).find("<td>" + host + "</td><td class=\"bad\">not connected</td>"),
        std::string::npos);
    server = std::make_unique<FakeServer>(answer, serverPort);
    EXPECT_EQ(status("/Sale" + card + "800+INV4"), "200 OK");

    PlatformLocalTime now;
    PlatformLocalNow(&now);
    char today[16];
    std::snprintf(today, sizeof today, "%04d-%02d-%02d", now.year, now.month, now.day);
    const std::string refused =
        "Unable to connect to server: Error " + std::to_string(ConnectionRefusedCode);
    const std::string shownReply =
        "APPROVED <b>\"OK\"</b> & it's,  <script>document.title=42</script>";
    std::vector<std::string> expected = {
        "Journal of " + std::string(today) + ": " + DayPath(today),
        "",
        "                 replied   in-doubt   not-sent  duplicate",
        "sale  count            2          1          2          2",
        "      amount         900        300       1100        400",
        "void  count            1          0          0          0",
        "      amount         100          0          0          0",
        "funds count            1          0          1          0",
        "      amount         250          0        700          0",
        "",
        "In doubt: 1",
        "  time      till                 sequence  kind  card                   amount  reference",
        "  hh:mm:ss  127.0.0.1 #5               19  sale  ************5556          300  <i>INV2",
        "Look each one up with the transaction server before the till tries again.",
        "",
        "Not sent, by reason:",
        "      2  " + refused,
        "      1  Syntax error.",
        "",
        "First: hh:mm:ss sale 17, till 127.0.0.1 #5, amount 100, replied: " + shownReply,
        "Last:  hh:mm:ss sale 21, till 127.0.0.1 #5, amount 800, replied: " + shownReply,
        "Slowest exchange: <ms> ms, hh:mm:ss sale 19, till 127.0.0.1 #5, amount 300, in-doubt",
    };
    // While the gateway holds the file, and without an argument: today.
    std::string text;
    EXPECT_EQ(MakeReport(nullptr, &text), ReportInDoubt);
    EXPECT_EQ(Lines(text), expected) << text;

    // The page: the same figures, the link back up, and each text from
    // outside as text.
    const std::string page = PageText(statusPort);
    const std::string reachable = "The transaction server " + host + " is reachable again.";
    const std::string unreachable = "Unable to reach the transaction server " + host + ": Error " +
                                    std::to_string(ConnectionRefusedCode);
    for (const std::string& part : {
             "<meta http-equiv=\"refresh\" content=\"5\">\n"s,
             "<td>" + host + "</td><td class=\"ok\">connected</td><td>none</td>",
             "<p id=\"health\">Last exchange: <span class=\"ok\">OK</span></p>"s,
             "<h2>Today, " + std::string(today) + "</h2>",
             "<tr><th rowspan=\"2\">sale</th><td>count</td><td class=\"n\">2</td><td "
             "class=\"n bad\">1</td><td class=\"n\">2</td><td class=\"n\">2</td></tr>\n"
             "<tr><td>amount</td><td class=\"n\">900</td><td class=\"n bad\">300</td><td "
             "class=\"n\">1100</td><td class=\"n\">400</td></tr>"s,
             "<h3 id=\"in-doubt\" class=\"bad\">In doubt: 1</h3>"s,
             "<td>127.0.0.1 #5</td><td class=\"n\">19</td><td>sale</td><td>************5556</td>"
             "<td class=\"n\">300</td><td>&lt;i&gt;INV2</td></tr>\n</table>"s,
             "<tr><td class=\"n\">2</td><td>" + refused + "</td></tr>",
             "<td>sale 21</td><td>127.0.0.1 #5</td><td class=\"n\">800</td><td>replied</td>"s,
             "<td class=\"reply\">APPROVED &lt;b&gt;&quot;OK&quot;&lt;/b&gt; &amp; it&#39;s,  "
             "&lt;script&gt;document.title=42&lt;/script&gt;</td>"s,
             "warning</span> " + reachable + "</li>\n<li>",
             "warning</span> " + unreachable + "</li>",
             ">p50</text>"s,
             ">p99</text>"s,
             // The bars are /metrics' own histogram.
             " exchanges</p>"s.insert(0, std::to_string(MetricValue("qhg_exchange_seconds_count"))),
         })
        EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
    EXPECT_LT(page.find(reachable), page.find(unreachable)) << "newest first";
    EXPECT_TRUE(
        std::regex_search(page, std::regex("<p class=\"meta\" id=\"version\">Version "
                                           "[0-9.]+ &middot; started [-0-9]{10} [0-9:]{8} ")));
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("4000056655665556"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 16), "</body>\n</html>\n");
    // status_page_browser.sh has a browser read this page while the gateway
    // still serves it; its line on standard input lets the test go on.
    if (!Env("QHG_PAGE_HOLD").empty()) {
        std::printf("Status page: http://127.0.0.1:%d/ server %s\n", statusPort, host.c_str());
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }

    StopGateway();
    StopJournal();
    WriteWholeFile(DayPath(today), ReadWholeFile(DayPath(today)) + "x,y\r\n");
    EXPECT_EQ(MakeReport(today, &text), ReportInDoubt);
    expected.insert(expected.end(), {"", "Damaged rows, skipped: 1",
                                     "  line 17: the row has fewer than 12 fields"});
    EXPECT_EQ(Lines(text), expected) << text;

    WriteWholeFile(DayPath("2000-01-02"), JournalHeader);
    EXPECT_EQ(MakeReport("2000-01-02", &text), 0);
    EXPECT_EQ(text.substr(text.find("\nIn doubt")),
              "\nIn doubt: none\n\nNot sent: none\n\nNo transactions.\n");
    EXPECT_EQ(MakeReport("2026-02-29", &text), ReportNoDay);
    EXPECT_EQ(text, "Not a date: \"2026-02-29\"; give the day as YYYY-MM-DD.\n");
}
