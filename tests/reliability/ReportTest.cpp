// ReportTest.cpp - the "report" command over a day the gateway itself wrote:
// read while the gateway holds the file, line by line, then with a damaged
// row appended; and the days it cannot report.
#include "reliability/ReliabilityHarness.h"

#include "Journal.h"
#include "JournalReader.h"
#include "Report.h"

#include <cstdio>
#include <cstdlib>
#include <regex>

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

} // namespace

TEST_F(DayReport, EveryOutcomeOfARealRunLineByLine) {
    // The server's text carries HTML, quotes and a comma; a sale of 300 is
    // sent and never answered, the slowest exchange of the day.
    const std::string html = "APPROVED <b>\"OK\"</b>, <script>alert(1)</script>";
    FakeServer server([&](FakeConnection& connection, const std::string& message) {
        if (message.find(FS + std::string("300") + FS) == std::string::npos) {
            connection.Send(Framed(html));
            return;
        }
        PlatformSleepMs(300);
        connection.Close();
    });
    serverPort = server.Port();
    StartGateway("AllowVoid=1\nDuplicateWindow=120\n");
    auto status = [&](const std::string& url) { return ParseAnswer(Send(Get(url))).status; };
    const std::string card = "?4000056655665556+";
    EXPECT_EQ(status("/Sale" + card + "100+INV1"), "200 OK");
    EXPECT_EQ(status("/Sale" + card + "100+INV1"), "409 Conflict");
    EXPECT_EQ(status("/Void" + card + "100+INV1"), "200 OK");
    EXPECT_EQ(status("/FundsAvailable" + card + "250"), "200 OK");
    EXPECT_EQ(status("/Sale" + card + "300+INV2"), "504 Gateway Timeout");
    EXPECT_EQ(status("/Sale" + card + "300+INV2"), "409 Conflict");
    EXPECT_EQ(status("/Sale" + card + "500+" + std::string(250, 'R')), "400 Bad Request");
    server.Stop();
    EXPECT_EQ(status("/Sale" + card + "600+INV3"), "504 Gateway Timeout");
    EXPECT_EQ(status("/FundsAvailable" + card + "700"), "504 Gateway Timeout");

    PlatformLocalTime now;
    PlatformLocalNow(&now);
    char today[16];
    std::snprintf(today, sizeof today, "%04d-%02d-%02d", now.year, now.month, now.day);
    const std::string refused =
        "Unable to connect to server: Error " + std::to_string(ConnectionRefusedCode);
    std::vector<std::string> expected = {
        "Journal of " + std::string(today) + ": " + DayPath(today),
        "",
        "                 replied   in-doubt   not-sent  duplicate",
        "sale  count            1          1          2          2",
        "      amount         100        300       1100        400",
        "void  count            1          0          0          0",
        "      amount         100          0          0          0",
        "funds count            1          0          1          0",
        "      amount         250          0        700          0",
        "",
        "In doubt: 1",
        "  time      till                 sequence  kind  card                   amount  reference",
        "  hh:mm:ss  127.0.0.1 #5               19  sale  ************5556          300  INV2",
        "Look each one up with the transaction server before the till tries again.",
        "",
        "Not sent, by reason:",
        "      2  " + refused,
        "      1  Syntax error.",
        "",
        "First: hh:mm:ss sale 17, till 127.0.0.1 #5, amount 100, replied: " + html,
        "Last:  hh:mm:ss funds, till 127.0.0.1 #5, amount 700, not-sent: " + refused,
        "Slowest exchange: <ms> ms, hh:mm:ss sale 19, till 127.0.0.1 #5, amount 300, in-doubt",
    };
    // While the gateway holds the file, and without an argument: today.
    std::string text;
    EXPECT_EQ(MakeReport(nullptr, &text), ReportInDoubt);
    EXPECT_EQ(Lines(text), expected) << text;

    StopGateway();
    StopJournal();
    WriteWholeFile(DayPath(today), ReadWholeFile(DayPath(today)) + "x,y\r\n");
    EXPECT_EQ(MakeReport(today, &text), ReportInDoubt);
    expected.insert(expected.end(), {"", "Damaged rows, skipped: 1",
                                     "  line 11: the row has fewer than 12 fields"});
    EXPECT_EQ(Lines(text), expected) << text;

    WriteWholeFile(DayPath("2000-01-02"), JournalHeader);
    EXPECT_EQ(MakeReport("2000-01-02", &text), 0);
    EXPECT_EQ(text.substr(text.find("\nIn doubt")),
              "\nIn doubt: none\n\nNot sent: none\n\nNo transactions.\n");
    EXPECT_EQ(MakeReport("2000-01-01", &text), ReportNoDay);
    EXPECT_EQ(text, "No journal for 2000-01-01: " + DayPath("2000-01-01") + " does not exist.\n");
    EXPECT_EQ(MakeReport("2026-02-29", &text), ReportNoDay);
    EXPECT_EQ(text, "Not a date: \"2026-02-29\"; give the day as YYYY-MM-DD.\n");
}
