// HttpText.cpp - the bytes of an answer: the gateway's header block, the
// response around a body, and the HTTP date.
#include "HttpText.h"

#include "Platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The header block of every answer; only the content type line differs.
#define GATEWAY_HEADER_BLOCK(contentType)                                                          \
    "HTTP/1.1 %s\r\n"                                                                              \
    "Server: BraskHollinServer\r\n"                                                                \
    "Date: %s\r\n" contentType "\r\n"                                                              \
    "Pragma: no-cache\r\n"                                                                         \
    "Cache-Control: no-cache\r\n"                                                                  \
    "\r\n"

const char ResponseFormat[] = GATEWAY_HEADER_BLOCK("Content-type: text/html");
const char MetricsResponseFormat[] =
    GATEWAY_HEADER_BLOCK("Content-Type: text/plain; version=0.0.4");

} // namespace

size_t FormatHeaderBlock(char* out, size_t size, const char* status, const char* date,
                         bool metricsText) {
    int length = std::snprintf(out, size, metricsText ? MetricsResponseFormat : ResponseFormat,
                               status, date);
    return length < 0 || static_cast<size_t>(length) >= size ? 0 : static_cast<size_t>(length);
}

// The header block is far shorter than the lower half, so it never reaches a
// body that lies in the reply area; the body is then moved down behind it.
size_t BuildResponse(char* area, size_t size, HttpAnswer answer, const char* date) {
    size_t used = FormatHeaderBlock(area, size, answer.status, date, false);
    if (used == 0)
        return 0;
    size_t bodyLength = std::strlen(answer.body);
    if (bodyLength > size - used)
        bodyLength = size - used;
    std::memmove(area + used, answer.body, bodyLength);
    return used + bodyLength;
}

// English names whatever the locale.
void FormatHttpDate(int64_t utcMilliseconds, char* out, size_t size) {
    static const char* const Days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int64_t seconds = utcMilliseconds / 1000;
    int64_t rest = utcMilliseconds % 1000;
    if (rest < 0) {
        rest += 1000;
        --seconds;
    }
    if (rest >= 500)
        ++seconds;
    int64_t days = seconds / 86400;
    int64_t secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    int weekday = static_cast<int>(((days % 7) + 7) % 7); // 1970-01-01 was a Thursday

    // Days since 1970-01-01 to a civil date, counting in 400-year eras that
    // start on 1 March so that the leap day ends each year.
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    int day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    int month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 2 : monthFromMarch - 10);
    int64_t year = yearOfEra + era * 400 + (month < 2 ? 1 : 0);

    std::snprintf(out, size, "%s, %02d %s %lld %02d:%02d:%02d GMT", Days[weekday], day,
                  Months[month], static_cast<long long>(year), static_cast<int>(secondOfDay / 3600),
                  static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60));
}

// The date of the current second. A busy second brings many connections:
// the thread keeps the last text it made.
void CurrentHttpDate(char* out, size_t size) {
    static thread_local int64_t cachedSecond = INT64_MIN;
    static thread_local char cachedText[64];
    int64_t milliseconds = PlatformUtcMilliseconds() + 500; // to the nearest second
    int64_t second = milliseconds / 1000 - (milliseconds % 1000 < 0 ? 1 : 0);
    if (second != cachedSecond) {
        FormatHttpDate(second * 1000, cachedText, sizeof cachedText);
        cachedSecond = second;
    }
    size_t length = std::strlen(cachedText);
    if (length >= size)
        length = size - 1;
    std::memcpy(out, cachedText, length);
    out[length] = '\0';
}
