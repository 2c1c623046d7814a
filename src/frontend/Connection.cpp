// Connection.cpp - one connection's life after accept: checks the client
// against "Allowed Clients", turns /FundsAvailable, /Sale or /Void into one
// transaction on a connection thread of its own and answers with exactly one
// response, then closes.
#include "frontend/Frontend.h"
#include "frontend/Request.h"

#include "files/Files.h"
#include "files/Journal.h"
#include "frontend/Metrics.h"
#include "transaction/Transaction.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

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

const char StatusOk[] = "200 OK";
const char StatusBadRequest[] = "400 Bad Request";
const char StatusForbidden[] = "403 Forbidden";
const char StatusNotFound[] = "404 Not Found";
const char StatusMethodNotAllowed[] = "405 Method Not Allowed";
const char StatusGatewayTimeout[] = "504 Gateway Timeout";

const char BodyAccessDenied[] = "Access denied.";
const char BodyMethodNotAllowed[] = "Method not allowed.";
const char BodySyntaxError[] = "Syntax error.";
const char BodyFileNotFound[] = "File not found";

// ASCII only: the paths are plain English words, and a locale must not
// change what matches.
bool EqualIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a);
        unsigned char y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

// Splits the query in place on "+", dropping empty items, and takes at most
// max items. Returns how many were found.
int SplitItems(char* query, char** items, int max) {
    int count = 0;
    char* p = query;
    while (count < max) {
        while (*p == '+')
            ++p;
        if (*p == 0)
            break;
        items[count++] = p;
        while (*p != 0 && *p != '+')
            ++p;
        if (*p == 0)
            break;
        *p++ = 0;
    }
    return count;
}

// A control byte inside an item would travel into the server message as is;
// a field separator (0x1C) there would shift every field after it.
bool HasControlByte(const char* item) {
    for (; *item != 0; ++item) {
        unsigned char c = static_cast<unsigned char>(*item);
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

// Like atoi(), but overflow wraps modulo 2^32 instead of being undefined:
// digits worth 2^32 + 50 give 50.
int ParseAmount(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + static_cast<uint32_t>(*text - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int>(value);
}

} // namespace

void DecideRequest(char* area, int clientNumber, bool voidAllowed, RequestDecision* out) {
    *out =
        RequestDecision{{StatusBadRequest, BodySyntaxError}, 0, nullptr, 0, nullptr, clientNumber};
    if (clientNumber == 0) {
        out->answer = {StatusForbidden, BodyAccessDenied};
        return;
    }

    // The method may follow other lines: the first "GET " anywhere counts.
    char* url = std::strstr(area, "GET ");
    if (url == nullptr) {
        out->answer = {StatusMethodNotAllowed, BodyMethodNotAllowed};
        return;
    }
    url += 4;

    char* lineEnd = std::strchr(url, '\r');
    if (lineEnd == nullptr)
        lineEnd = std::strchr(url, '\n');
    if (lineEnd != nullptr)
        *lineEnd = 0;
    // Drops the protocol version ("HTTP/1.1").
    char* lastSpace = std::strrchr(url, ' ');
    if (lastSpace != nullptr)
        *lastSpace = 0;

    char* question = std::strchr(url, '?');
    if (question == nullptr)
        return; // 400
    *question = 0;
    const char* path = url;
    char* query = question + 1;

    char* items[4];
    int code = 0;
    if (EqualIgnoringCase(path, "/FundsAvailable")) {
        if (SplitItems(query, items, 3) < 2)
            return;
        code = TransactionFundsAvailable;
    } else if (EqualIgnoringCase(path, "/Sale")) {
        if (SplitItems(query, items, 4) < 3)
            return;
        code = TransactionSale;
    } else if (voidAllowed && EqualIgnoringCase(path, "/Void")) {
        if (SplitItems(query, items, 4) < 3)
            return;
        code = TransactionVoid;
    } else {
        out->answer = {StatusNotFound, BodyFileNotFound};
        return;
    }

    int itemsUsed = code == TransactionFundsAvailable ? 2 : 3;
    for (int i = 0; i < itemsUsed; ++i) {
        if (HasControlByte(items[i]))
            return;
    }
    out->code = code;
    out->firstItem = items[0];
    out->amount = ParseAmount(items[1]);
    out->thirdItem = code == TransactionFundsAvailable ? nullptr : items[2];
}

char* ReplyAreaOf(char* area) {
    return area + (WorkAreaSize - ReplyAreaSize);
}

HttpAnswer AnswerTransaction(int result, char* replyArea) {
    if (result == TransactionDone)
        return {StatusOk, replyArea + 2};
    if (result == TransactionTooLong)
        return {StatusBadRequest, BodySyntaxError};
    return {StatusGatewayTimeout, replyArea};
}

size_t FormatHeaderBlock(char* out, size_t size, const char* status, const char* date,
                         bool metricsText) {
    int length = std::snprintf(out, size, metricsText ? MetricsResponseFormat : ResponseFormat,
                               status, date);
    return length < 0 || static_cast<size_t>(length) >= size ? 0 : static_cast<size_t>(length);
}

// The header block is far shorter than the lower half, so it never reaches a
// body that lies in the reply area; the body is then moved down behind it.
size_t BuildResponse(char* area, HttpAnswer answer, const char* date) {
    size_t used = FormatHeaderBlock(area, WorkAreaSize, answer.status, date, false);
    if (used == 0)
        return 0;
    size_t bodyLength = std::strlen(answer.body);
    if (bodyLength > WorkAreaSize - used)
        bodyLength = WorkAreaSize - used;
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
static void CurrentHttpDate(char* out, size_t size) {
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

namespace {

// The listener's debug lines, gathered over one pass of its loop and
// written together: one write per pass instead of one per connection.
struct ConsoleBatch {
    char text[4096];
    size_t used = 0;
};
thread_local ConsoleBatch* Batch = nullptr;

} // namespace

void BeginConsoleBatch() {
    Batch = new (std::nothrow) ConsoleBatch;
}

void FlushConsoleBatch() {
    if (Batch != nullptr && Batch->used > 0) {
        PlatformConsoleWrite(Batch->text, Batch->used);
        Batch->used = 0;
    }
}

void EndConsoleBatch() {
    FlushConsoleBatch();
    delete Batch;
    Batch = nullptr;
}

// Debug lines about one connection: "Received connection: <address>" and
// "Closed connection: <address>"; a connection answered as soon as it is
// accepted gets both at once.
static void ConnectionLines(ConnectionRecord* record, bool received, bool closed) {
    char lines[128];
    int length =
        std::snprintf(lines, sizeof lines, "%s%s%s%s%s%s", received ? "Received connection: " : "",
                      received ? record->clientAddress : "", received ? "\n" : "",
                      closed ? "Closed connection: " : "", closed ? record->clientAddress : "",
                      closed ? "\n" : "");
    if (length <= 0)
        return;
    size_t size = static_cast<size_t>(length) < sizeof lines ? length : sizeof lines - 1;
    if (Batch == nullptr) {
        PlatformConsoleWrite(lines, size);
        return;
    }
    if (Batch->used + size > sizeof Batch->text)
        FlushConsoleBatch();
    std::memcpy(Batch->text + Batch->used, lines, size);
    Batch->used += size;
}

bool AcceptConnection(PlatformSocket listener, ConnectionRecord* record) {
    record->socket =
        PlatformAcceptNonBlocking(listener, record->clientAddress, sizeof record->clientAddress);
    if (record->socket == PlatformNoSocket)
        return false;
    if (record->clientAddress[0] == 0) {
        PlatformCloseSocket(record->socket);
        return false;
    }
    CountConnectionOpened();
    record->announced = false;
    // The date tells when the client came, not when its request did.
    CurrentHttpDate(record->date, sizeof record->date);
    return true;
}

void AnnounceConnection(ConnectionRecord* record) {
    if (DebugMode && !record->announced)
        ConnectionLines(record, true, false);
    record->announced = true;
}

void SendAnswer(ConnectionRecord* record, HttpAnswer answer) {
    size_t length = BuildResponse(record->area, answer, record->date);
    // Counted before it goes: a client that has its answer finds it counted.
    CountAnswer(answer.status);
    // A client that has gone away simply misses its answer. The socket does
    // not block, and the response is far smaller than its send buffer.
    PlatformSend(record->socket, record->area, length);
}

void CloseConnection(ConnectionRecord* record) {
    if (DebugMode)
        ConnectionLines(record, !record->announced, true);
    PlatformCloseSocket(record->socket);
    CountConnectionClosed();
    record->socket = PlatformNoSocket;
}

namespace {

// Connection threads get a small stack so that many transactions can wait at
// once; 16 KB is the Windows figure. On Linux the C library keeps the thread's
// own control block and thread-local storage inside that stack too: a
// connection's deepest use, measured on a pattern-filled stack over every kind
// of request (a sale with reconnect, debug output, a 2047-byte request), was
// about 12 KB, so 16 KB would leave only 4 KB. 32 KB leaves 20 KB.
#ifdef _WIN32
constexpr size_t ConnectionStackSize = 0x4000;
#else
constexpr size_t ConnectionStackSize = 0x8000;
#endif

// Thread procedure: one transaction, its answer, and the end of the connection.
unsigned RunTransaction(void* parameter) {
    ConnectionRecord* record = static_cast<ConnectionRecord*>(parameter);
    const RequestDecision& decision = record->decision;
    char* replyArea = ReplyAreaOf(record->area);
    TransactionReport report;
    report.clientAddress = record->clientAddress;
    int result = SendTransaction(replyArea, decision.firstItem, decision.code, decision.amount,
                                 decision.thirdItem, decision.clientNumber, &report);
    CountTransaction(decision.code, report);
    SendAnswer(record, AnswerTransaction(result, replyArea));
    // Only now, with the till answered and no lock held, may the journal's
    // housekeeping wait on the log file or the directory.
    RunJournalChores();
    CloseConnection(record);
    delete[] record->area;
    delete record;
    return 0;
}

} // namespace

void ServeRequest(ConnectionRecord* record, long received) {
    record->area[received] = 0;
    RequestDecision& decision = record->decision;
    DecideRequest(record->area, ReadClientNumber(record->clientAddress), VoidAllowed, &decision);
    if (decision.code == 0) {
        SendAnswer(record, decision.answer);
        CloseConnection(record);
        return;
    }
    // Before the transaction, whose log lines the console shows in between.
    AnnounceConnection(record);
    FlushConsoleBatch();
    // The thread gets the connection and the request in memory of its own;
    // the items move with the area.
    ConnectionRecord* own = new (std::nothrow) ConnectionRecord(*record);
    char* area = new (std::nothrow) char[WorkAreaSize];
    if (own != nullptr && area != nullptr) {
        std::memcpy(area, record->area, WorkAreaSize);
        own->area = area;
        own->decision.firstItem = area + (decision.firstItem - record->area);
        if (decision.thirdItem != nullptr)
            own->decision.thirdItem = area + (decision.thirdItem - record->area);
        if (PlatformStartThread(RunTransaction, own, ConnectionStackSize))
            return;
    }
    delete own;
    delete[] area;
    // No thread for the transaction: dropped unanswered, as before it was read.
    CloseConnection(record);
}
