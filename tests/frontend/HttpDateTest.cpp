// HttpDateTest.cpp - the Date header's text against the C library's own
// calendar in the "C" locale, across month, year, leap-day and rounding edges.
#include "frontend/GatewayHarness.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace {

std::string Formatted(int64_t milliseconds) {
    char text[64];
    FormatHttpDate(milliseconds, text, sizeof text);
    return text;
}

std::string Reference(int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm* parts = std::gmtime(&time);
    if (parts == nullptr)
        return "<no calendar>";
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", parts);
    return text;
}

} // namespace

TEST(HttpDate, MatchesTheCalendarAcrossItsEdges) {
    const int64_t edges[] = {
        0,          // 1970-01-01, a Thursday
        951782399,  // 2000-02-28 23:59:59
        951782400,  // 2000-02-29, a leap day in a century year
        951868800,  // 2000-03-01
        1254816309, // Tue, 06 Oct 2009 08:05:09
        1330473600, // 2012-02-29
        1735689599, // 2024-12-31 23:59:59
        1735689600, // 2025-01-01
        4107542399, // 2100-02-28 23:59:59: 2100 has no leap day
        4107542400, // 2100-03-01
    };
    for (int64_t second : edges) {
        SCOPED_TRACE(second);
        EXPECT_EQ(Formatted(second * 1000), Reference(second));
    }
    // Every day of four years, at a time of day that moves through the hours.
    for (int64_t day = 0; day < 4 * 366; ++day) {
        int64_t second = 1577836800 + day * 86400 + (day * 3607) % 86400; // from 2020
        ASSERT_EQ(Formatted(second * 1000), Reference(second)) << second;
    }
    EXPECT_EQ(Formatted(1254816309000), "Tue, 06 Oct 2009 08:05:09 GMT");
}

TEST(HttpDate, RoundsToTheNearestSecond) {
    // 2009-12-31 23:59:59 and a fraction: half a second or more rounds up,
    // across the day, the month and the year.
    const int64_t last = 1262303999;
    EXPECT_EQ(Formatted(last * 1000 + 499), Reference(last));
    EXPECT_EQ(Formatted(last * 1000 + 500), Reference(last + 1));
    EXPECT_EQ(Formatted(last * 1000 + 999), "Fri, 01 Jan 2010 00:00:00 GMT");
    EXPECT_EQ(Formatted(last * 1000 - 501), Reference(last - 1));
}
