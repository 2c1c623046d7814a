// JournalReader.cpp - reading the journal's day files: CSV records, their
// twelve fields checked against what the writer writes, and the way back to
// the rows after a damaged one.
#include "JournalReader.h"

#include "Platform.h"
#include "Text.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

constexpr int FieldCount = 12;
// "2026-12-08T14:03:07.123+01:00": d a digit, + a sign.
constexpr char TimePattern[] = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd";
constexpr size_t TimeLength = sizeof TimePattern - 1;
// A day file is read whole: from this size, doubled until it fits.
constexpr size_t FirstReadSize = 256 * 1024;
constexpr size_t LargestFile = size_t{1} << 30;

const char* const KindNames[JournalKindCount] = {"funds", "sale", "void"};
const char* const OutcomeNames[JournalOutcomeCount] = {"replied", "in-doubt", "not-sent",
                                                       "duplicate"};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int Digits(const char* text, size_t count) {
    int value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

// Whether the TimeLength bytes at text have the form of a row's time.
bool HasTimeForm(const char* text) {
    for (size_t i = 0; i < TimeLength; ++i) {
        char want = TimePattern[i];
        bool fits = want == 'd'   ? IsDigit(text[i])
                    : want == '+' ? text[i] == '+' || text[i] == '-'
                                  : text[i] == want;
        if (!fits)
            return false;
    }
    return true;
}

bool ParseTime(const std::string& field, int64_t* utcMs) {
    if (field.size() != TimeLength || !HasTimeForm(field.data()))
        return false;
    const char* t = field.data();
    std::chrono::year_month_day date{std::chrono::year(Digits(t, 4)),
                                     std::chrono::month(static_cast<unsigned>(Digits(t + 5, 2))),
                                     std::chrono::day(static_cast<unsigned>(Digits(t + 8, 2)))};
    int hour = Digits(t + 11, 2), minute = Digits(t + 14, 2), second = Digits(t + 17, 2);
    int offsetHours = Digits(t + 24, 2), offsetMinutes = Digits(t + 27, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 60 || offsetHours > 23 ||
        offsetMinutes > 59)
        return false;
    int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    int64_t offset = (offsetHours * 60 + offsetMinutes) * (t[23] == '-' ? -1 : 1);
    int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset * 60;
    *utcMs = seconds * 1000 + Digits(t + 20, 3);
    return true;
}

// An optional "-" and digits, within an int.
bool ParseInt(const std::string& field, int* out) {
    bool negative = !field.empty() && field[0] == '-';
    size_t first = negative ? 1 : 0;
    if (field.size() == first || field.size() - first > 10)
        return false;
    long long value = 0;
    for (size_t i = first; i < field.size(); ++i) {
        if (!IsDigit(field[i]))
            return false;
        value = value * 10 + (field[i] - '0');
    }
    value = negative ? -value : value;
    if (value < INT_MIN || value > INT_MAX)
        return false;
    *out = static_cast<int>(value);
    return true;
}

// Milliseconds with three decimals, "84.321", as microseconds.
bool ParseServerTime(const std::string& field, int64_t* us) {
    size_t dot = field.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 15 || field.size() != dot + 4)
        return false;
    int64_t value = 0;
    for (size_t i = 0; i < field.size(); ++i) {
        if (i == dot)
            continue;
        if (!IsDigit(field[i]))
            return false;
        value = value * 10 + (field[i] - '0');
    }
    *us = value;
    return true;
}

template <size_t N>
bool FindName(const std::string& field, const char* const (&names)[N], int* at) {
    for (size_t i = 0; i < N; ++i) {
        if (field == names[i]) {
            *at = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

// The fields of one record into a row; null, or why the row is damaged.
const char* MakeEntry(std::string* fields, JournalEntry* entry) {
    int kind = 0, outcome = 0;
    if (!ParseTime(fields[0], &entry->utcMs))
        return "the time is not a time of day with its offset";
    if (!ParseInt(fields[2], &entry->clientNumber))
        return "the client number is not a whole number";
    if (!FindName(fields[3], KindNames, &kind))
        return "the kind is not funds, sale or void";
    entry->sequence = JournalNoSequence;
    if (!fields[4].empty() &&
        (!ParseInt(fields[4], &entry->sequence) || entry->sequence == JournalNoSequence))
        return "the sequence number is not a whole number";
    if (!ParseInt(fields[5], &entry->amount))
        return "the amount is not a whole number";
    if (!FindName(fields[8], OutcomeNames, &outcome))
        return "the outcome is not replied, in-doubt, not-sent or duplicate";
    if (!ParseInt(fields[9], &entry->httpStatus) || entry->httpStatus < 100 ||
        entry->httpStatus > 599)
        return "the HTTP status is not one";
    entry->serverUs = -1;
    if (!fields[10].empty() && !ParseServerTime(fields[10], &entry->serverUs))
        return "the server time is not milliseconds";
    entry->kind = static_cast<JournalKind>(kind);
    entry->outcome = static_cast<JournalOutcome>(outcome);
    entry->time = std::move(fields[0]);
    entry->client = std::move(fields[1]);
    entry->card = std::move(fields[6]);
    // Five or more characters show their last four, fewer none.
    size_t shown = entry->card.size() > 4 ? 4 : 0;
    for (size_t i = 0; i + shown < entry->card.size(); ++i)
        entry->card[i] = '*';
    entry->reference = std::move(fields[7]);
    entry->reply = std::move(fields[11]);
    MaskDigitRuns(entry->reply.data(), entry->reply.size());
    return nullptr;
}

struct Scanner {
    const char* text;
    size_t size;
    size_t pos = 0;
    int line = 1; // the line pos is on

    void NextLine() {
        while (pos < size && text[pos] != '\n')
            ++pos;
        if (pos < size) {
            ++pos;
            ++line;
        }
    }
    // At a line that begins with a row's time and its comma.
    bool AtRowStart() const {
        return size - pos > TimeLength && HasTimeForm(text + pos) && text[pos + TimeLength] == ',';
    }

    // Reads one record into fields. Null when its quotes and fields add up,
    // with pos after its line end; otherwise why not.
    const char* ReadRecord(std::string* fields) {
        int count = 0;
        for (;;) {
            if (count == FieldCount)
                return "the row has more than 12 fields";
            std::string& field = fields[count++];
            field.clear();
            bool quoted = pos < size && text[pos] == '"';
            if (quoted) {
                for (++pos;; ++pos) {
                    if (pos >= size)
                        return "a quoted field is not closed";
                    char c = text[pos];
                    if (c == '"' && pos + 1 < size && text[pos + 1] == '"') {
                        ++pos;
                    } else if (c == '"') {
                        ++pos;
                        break;
                    } else if (c == '\n') {
                        // A reply may hold line ends, but a row's start
                        // means this row was cut off inside its quotes.
                        ++line;
                        if (pos + 1 < size) {
                            ++pos;
                            bool next = AtRowStart();
                            --pos;
                            if (next)
                                return "the row is cut short";
                        }
                    }
                    field += c;
                }
            } else {
                for (; pos < size; ++pos) {
                    char c = text[pos];
                    if (c == ',' || c == '\r' || c == '\n')
                        break;
                    if (c == '"')
                        return "a quote inside a field that is not quoted";
                    field += c;
                }
            }
            if (pos >= size)
                return "the row is cut short";
            if (text[pos] == ',') {
                ++pos;
                continue;
            }
            if (text[pos] == '\r' && pos + 1 < size && text[pos + 1] == '\n')
                ++pos;
            if (text[pos] != '\n')
                return quoted ? "text after a closing quote" : "a CR without its LF";
            ++pos;
            ++line;
            return count == FieldCount ? nullptr : "the row has fewer than 12 fields";
        }
    }
};

} // namespace

const char* JournalKindName(JournalKind kind) {
    return KindNames[static_cast<int>(kind)];
}

const char* JournalOutcomeName(JournalOutcome outcome) {
    return OutcomeNames[static_cast<int>(outcome)];
}

void ReadJournalText(const char* text, size_t size, JournalEntryProc onEntry,
                     JournalDamageProc onDamage, void* context) {
    Scanner scan{text, size};
    if (size == 0)
        return;
    // The header without its CR LF, then either line end.
    size_t length = std::strlen(JournalHeader) - 2;
    bool header = size > length && std::memcmp(text, JournalHeader, length) == 0 &&
                  (text[length] == '\n' ||
                   (text[length] == '\r' && size > length + 1 && text[length + 1] == '\n'));
    scan.NextLine();
    if (!header) {
        onDamage({1, "the first line is not the journal's header"}, context);
        while (scan.pos < size && !scan.AtRowStart())
            scan.NextLine();
    }
    std::string fields[FieldCount];
    JournalEntry entry;
    while (scan.pos < size) {
        size_t start = scan.pos;
        int line = scan.line;
        const char* damage = scan.ReadRecord(fields);
        if (damage == nullptr) {
            entry.line = line;
            damage = MakeEntry(fields, &entry);
            if (damage == nullptr) {
                onEntry(entry, context);
                continue;
            }
            onDamage({line, damage}, context);
            continue;
        }
        onDamage({line, damage}, context);
        // Its extent is unknown: on at the next row's start after its first
        // line.
        scan.pos = start;
        scan.line = line;
        scan.NextLine();
        while (scan.pos < size && !scan.AtRowStart())
            scan.NextLine();
    }
}

int ReadJournalFile(const char* path, JournalEntryProc onEntry, JournalDamageProc onDamage,
                    void* context) {
    std::unique_ptr<char[]> data;
    size_t capacity = FirstReadSize;
    long got = 0;
    for (;;) {
        data.reset(new (std::nothrow) char[capacity]);
        if (!data)
            return JournalTooLarge;
        int error = 0;
        got = PlatformReadFileHead(path, data.get(), capacity, &error);
        if (got < 0)
            return error;
        if (static_cast<size_t>(got) < capacity)
            break;
        if (capacity >= LargestFile)
            return JournalTooLarge;
        capacity *= 2;
    }
    ReadJournalText(data.get(), static_cast<size_t>(got), onEntry, onDamage, context);
    return 0;
}

int ReadJournalDay(const char* path, JournalDay* day) {
    return ReadJournalFile(
        path,
        [](const JournalEntry& entry, void* context) {
            static_cast<JournalDay*>(context)->entries.push_back(entry);
        },
        [](const JournalDamage& damage, void* context) {
            static_cast<JournalDay*>(context)->damaged.push_back(damage);
        },
        day);
}
