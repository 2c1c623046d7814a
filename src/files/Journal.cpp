// Journal.cpp - the transaction journal's day files: CSV rows (RFC 4180, CR LF
// on every platform), the masking of card data, and retention.
#include "Journal.h"

#include "ErrorText.h"
#include "Files.h"
#include "Log.h"
#include "Settings.h"
#include "Text.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

const char JournalHeader[] = "time,client,client_number,kind,sequence,amount,card,reference,"
                             "outcome,http_status,server_ms,reply\r\n";

namespace {

constexpr int NoDay = INT_MIN;

// Guarded by Guard. The day file stays open between rows: others may read it,
// and a spreadsheet that wants it for writing is refused instead of the
// gateway.
std::mutex Guard;
int KeepDays = 0; // 0: the journal is off
PlatformFile* DayFile = nullptr;
int DayFileDay = NoDay;
long DayFileEnd = 0;
int NewestDay = NoDay;  // the latest day seen, by the start or a row
int TidiedDay = NoDay;  // the day retention last ran for
int TroubleDay = NoDay; // the day of the last failure logged or waiting
bool TroubleWaiting = false;
int TroubleCode = 0;
// Rows are formatted here, not on a connection thread's small stack. The
// largest row (items filling a 2047-byte request, every byte a quote, and a
// 1023-byte reply likewise) stays below 6.5 KB.
char RowText[8192];
// The end of a day file, read when it is opened: it holds a whole row.
char TailText[16384];

// Set when RunJournalChores has something to do, so that it costs one atomic
// read otherwise.
std::atomic<bool> ChoresWaiting{false};

// Days since 1970-01-01 of a Gregorian date.
int DayNumber(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    int era = (year >= 0 ? year : year - 399) / 400;
    int yearOfEra = year - era * 400;
    int dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int DayNumber(const PlatformLocalTime& time) {
    return DayNumber(time.year, time.month, time.day);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A CSV line being built into a caller's buffer; full once anything failed
// to fit.
struct Line {
    char* out;
    size_t size;
    size_t used = 0;
    bool full = false;

    void Put(char c) {
        if (used < size)
            out[used++] = c;
        else
            full = true;
    }
    void Text(const char* text) {
        if (text != nullptr)
            while (*text != '\0')
                Put(*text++);
    }
    // Decimal digits, at least width of them; by hand, as snprintf would
    // cost more than the rest of the row together, under the transaction lock.
    void Number(long long value, int width = 1) {
        char digits[24];
        int count = 0;
        unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count < width)
            digits[count++] = '0';
        if (value < 0)
            Put('-');
        while (count > 0)
            Put(digits[--count]);
    }
    // Encloses the field that starts at start in quotes, doubling the quotes
    // inside, when it holds a comma, a quote, CR or LF.
    void QuoteFrom(size_t start) {
        if (full)
            return;
        size_t quotes = 0;
        bool special = false;
        for (size_t i = start; i < used; ++i) {
            char c = out[i];
            quotes += c == '"' ? 1 : 0;
            special = special || c == ',' || c == '"' || c == '\r' || c == '\n';
        }
        if (!special)
            return;
        size_t grown = used + quotes + 2;
        if (grown > size) {
            full = true;
            return;
        }
        size_t to = grown;
        out[--to] = '"';
        for (size_t from = used; from > start;) {
            char c = out[--from];
            out[--to] = c;
            if (c == '"')
                out[--to] = '"';
        }
        out[--to] = '"';
        used = grown;
    }
    void Field(const char* text) {
        size_t start = used;
        Text(text);
        QuoteFrom(start);
    }
};

void JournalPath(const PlatformLocalTime& day, char* out, size_t size) {
    JournalDayPath(day.year, day.month, day.day, out, size);
}

void CloseDayFile() {
    if (DayFile != nullptr)
        PlatformFileClose(DayFile);
    DayFile = nullptr;
    DayFileDay = NoDay;
}

// Writes all of data at offset; false with the system's error code set.
bool WriteAllAt(PlatformFile* file, long offset, const char* data, size_t size) {
    while (size > 0) {
        long wrote = PlatformFileWriteAt(file, offset, data, size);
        if (wrote <= 0)
            return false;
        offset += wrote;
        data += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

// Whether the bytes at text (size of them) begin with a row's time and its
// comma: "2026-12-08T14:03:07.123+01:00,".
bool AtRowTime(const char* text, size_t size) {
    const char form[] = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd,";
    if (size < sizeof form - 1)
        return false;
    for (size_t i = 0; i < sizeof form - 1; ++i) {
        bool fits = form[i] == 'd'   ? IsDigit(text[i])
                    : form[i] == '+' ? text[i] == '+' || text[i] == '-'
                                     : text[i] == form[i];
        if (!fits)
            return false;
    }
    return true;
}

// Where the file's whole rows end: its size when its last row is whole, or
// the start of a last row cut short by a power cut during its write (at any
// byte, inside a quoted reply too). A line that begins with a row's time
// begins a row, as the journal's reader takes it, so only the tail after the
// last such line is looked at. -1 when the file cannot be read.
long WholeRowsEnd(PlatformFile* file, long size) {
    long first = size;
    long length = 0;
    // Zero bytes at the end are blocks a power cut left unwritten: no row
    // holds one.
    while (length == 0 && size > 0) {
        first = size > long(sizeof TailText) ? size - long(sizeof TailText) : 0;
        length = size - first;
        if (PlatformFileReadAt(file, first, TailText, static_cast<size_t>(length)) != length)
            return -1;
        while (length > 0 && TailText[length - 1] == '\0')
            --length;
        size = first + length;
    }
    long row = -1;     // the last line start that begins a row
    long lineEnd = -1; // the last line end
    for (long i = length - 1; i >= 0 && row < 0; --i) {
        bool lineStart = i == 0 ? first == 0 : TailText[i - 1] == '\n';
        if (lineStart && AtRowTime(TailText + i, static_cast<size_t>(length - i)))
            row = i;
        if (lineEnd < 0 && TailText[i] == '\n')
            lineEnd = i;
    }
    if (row < 0) // the header, or what is left of it
        return lineEnd >= 0 ? first + lineEnd + 1 : 0;
    bool quoted = false;
    for (long i = row; i < length; ++i) {
        if (TailText[i] == '"')
            quoted = !quoted; // a doubled quote turns it off and on again
        else if (TailText[i] == '\n' && !quoted)
            return first + i + 1; // anything after it is no row
    }
    return first + row;
}

// Opens the file of a day and finds its end: a new or empty file gets the
// header, and a last row cut short (by a power cut during its write) is cut
// off, so that the file stays whole CSV and the next row starts a line of
// its own. Returns 0, or the error code.
int OpenDayFile(const PlatformLocalTime& time, int day) {
    char path[JournalDayPathSize];
    JournalPath(time, path, sizeof path);
    int error = 0;
    PlatformFile* file = PlatformOpenForUpdate(path, &error);
    if (file == nullptr)
        return error != 0 ? error : PlatformLastError();
    long end = PlatformFileSize(file);
    bool ready = end >= 0;
    if (ready && end == 0) {
        ready = WriteAllAt(file, 0, JournalHeader, sizeof JournalHeader - 1);
        end = static_cast<long>(sizeof JournalHeader - 1);
    } else if (ready) {
        long whole = WholeRowsEnd(file, end);
        ready = whole >= 0;
        if (ready && whole == 0) {
            // Not even the header came through whole.
            ready = PlatformFileSetSize(file, 0) &&
                    WriteAllAt(file, 0, JournalHeader, sizeof JournalHeader - 1);
            end = static_cast<long>(sizeof JournalHeader - 1);
        } else if (ready && whole < end) {
            ready = PlatformFileSetSize(file, whole);
            end = whole;
        }
    }
    if (!ready) {
        error = PlatformLastError();
        PlatformFileClose(file);
        return error;
    }
    DayFile = file;
    DayFileDay = day;
    DayFileEnd = end;
    return 0;
}

// Remembers a failure for RunJournalChores, once per day.
void NoteTrouble(int code, int day) {
    if (day == TroubleDay)
        return;
    TroubleDay = day;
    TroubleCode = code;
    TroubleWaiting = true;
    ChoresWaiting = true;
}

void LogTrouble(int code) {
    char text[256];
    FormatErrorText(code, text, sizeof text);
    char line[300];
    snprintf(line, sizeof line, "Unable to write the journal: %s", text);
    WriteLogLine(line, LogEvent::Warning);
}

struct Sweep {
    char directory[GatewayPathSize];
    char separator;
    const char* stem; // the file name part of JournalStem
    size_t stemLength;
    int today;
    int keepDays;
};

// Two or four digits at text, as a number; -1 when any is not a digit.
int Digits(const char* text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (!IsDigit(text[i]))
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Deletes name when it is "<stem>-YYYY-MM-DD.csv" exactly, with a real month
// and day, and that day lies more than keepDays before today.
void SweepOne(const char* name, void* context) {
    const Sweep& sweep = *static_cast<const Sweep*>(context);
    if (strncmp(name, sweep.stem, sweep.stemLength) != 0)
        return;
    const char* date = name + sweep.stemLength;
    if (strlen(date) != 15 || date[0] != '-' || date[5] != '-' || date[8] != '-' ||
        strcmp(date + 11, ".csv") != 0)
        return;
    int year = Digits(date + 1, 4);
    int month = Digits(date + 6, 2);
    int day = Digits(date + 9, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31)
        return;
    if (sweep.today - DayNumber(year, month, day) <= sweep.keepDays)
        return;
    char path[JournalDayPathSize];
    snprintf(path, sizeof path, "%s%c%s", sweep.directory, sweep.separator, name);
    PlatformDeleteFile(path);
}

void DeleteExpiredFiles(int today, int keepDays) {
    Sweep sweep{};
    const char* name = FileNameOf(JournalStem);
    if (name == JournalStem) {
        snprintf(sweep.directory, sizeof sweep.directory, ".");
        sweep.separator = '/';
    } else {
        snprintf(sweep.directory, sizeof sweep.directory, "%.*s",
                 static_cast<int>(name - 1 - JournalStem), JournalStem);
        sweep.separator = name[-1];
        if (sweep.directory[0] == '\0') // the root directory
            snprintf(sweep.directory, sizeof sweep.directory, "%c", sweep.separator);
    }
    sweep.stem = name;
    sweep.stemLength = strlen(name);
    sweep.today = today;
    sweep.keepDays = keepDays;
    PlatformListDirectory(sweep.directory, SweepOne, &sweep);
}

} // namespace

int64_t JournalUtcMs(const PlatformLocalTime& t) {
    int64_t minutes = (int64_t(DayNumber(t)) * 24 + t.hour) * 60 + t.minute - t.utcOffsetMinutes;
    return (minutes * 60 + t.second) * 1000 + t.millisecond;
}

void JournalDayPath(int year, int month, int day, char* out, size_t size) {
    snprintf(out, size, "%s-%04d-%02d-%02d.csv", JournalStem, year, month, day);
}

void SetJournalCard(JournalRow* row, const char* card) {
    size_t length = strlen(card);
    row->cardLength = length;
    row->cardTail[0] = '\0';
    if (length > 4)
        memcpy(row->cardTail, card + length - 4, 5);
}

size_t FormatJournalRow(const JournalRow& row, char* out, size_t size) {
    Line line{out, size};
    const PlatformLocalTime& t = row.started;
    int offset = t.utcOffsetMinutes < 0 ? -t.utcOffsetMinutes : t.utcOffsetMinutes;
    line.Number(t.year, 4);
    line.Put('-');
    line.Number(t.month, 2);
    line.Put('-');
    line.Number(t.day, 2);
    line.Put('T');
    line.Number(t.hour, 2);
    line.Put(':');
    line.Number(t.minute, 2);
    line.Put(':');
    line.Number(t.second, 2);
    line.Put('.');
    line.Number(t.millisecond, 3);
    line.Put(t.utcOffsetMinutes < 0 ? '-' : '+');
    line.Number(offset / 60, 2);
    line.Put(':');
    line.Number(offset % 60, 2);
    line.Put(',');
    line.Field(row.client);
    line.Put(',');
    line.Number(row.clientNumber);
    line.Put(',');
    line.Field(row.kind);
    line.Put(',');
    if (row.sequence != JournalNoSequence)
        line.Number(row.sequence);
    line.Put(',');
    line.Number(row.amount);
    line.Put(',');
    // Four characters or fewer are masked whole.
    size_t start = line.used;
    size_t hidden = row.cardLength > 4 ? row.cardLength - 4 : row.cardLength;
    for (size_t i = 0; i < hidden; ++i)
        line.Put('*');
    if (row.cardLength > 4)
        line.Text(row.cardTail);
    line.QuoteFrom(start);
    line.Put(',');
    line.Field(row.reference);
    line.Put(',');
    line.Field(row.outcome);
    line.Put(',');
    line.Number(row.httpStatus);
    line.Put(',');
    if (row.serverUs >= 0) {
        line.Number(row.serverUs / 1000);
        line.Put('.');
        line.Number(row.serverUs % 1000, 3);
    }
    line.Put(',');
    start = line.used;
    line.Text(row.reply);
    if (!line.full)
        MaskDigitRuns(out + start, line.used - start);
    line.QuoteFrom(start);
    line.Put('\r');
    line.Put('\n');
    return line.full ? 0 : line.used;
}

void StartJournal() {
    int keepDays = ReadSetting("JournalDays");
    if (keepDays < 0)
        keepDays = 0;
    PlatformLocalTime now;
    PlatformLocalNow(&now);
    int today = DayNumber(now);
    int error = 0;
    {
        std::lock_guard<std::mutex> hold(Guard);
        CloseDayFile();
        KeepDays = keepDays;
        NewestDay = today;
        TidiedDay = today;
        TroubleDay = NoDay;
        TroubleWaiting = false;
        ChoresWaiting = false;
        if (keepDays == 0)
            return;
        error = OpenDayFile(now, today);
        if (error != 0)
            TroubleDay = today; // logged here: the once for today
    }
    if (error != 0)
        LogTrouble(error);
    DeleteExpiredFiles(today, keepDays);
}

void StopJournal() {
    std::lock_guard<std::mutex> hold(Guard);
    CloseDayFile();
}

void WriteJournalRow(const JournalRow& row) {
    std::lock_guard<std::mutex> hold(Guard);
    if (KeepDays <= 0)
        return;
    int day = DayNumber(row.started);
    if (day > NewestDay) {
        NewestDay = day;
        ChoresWaiting = true; // retention for the new day
    }
    if (DayFile == nullptr || DayFileDay != day) {
        CloseDayFile();
        int error = OpenDayFile(row.started, day);
        if (error != 0) {
            NoteTrouble(error, day);
            return;
        }
    }
    size_t length = FormatJournalRow(row, RowText, sizeof RowText);
    if (length == 0)
        return; // cannot happen: RowText holds the largest row
    if (!WriteAllAt(DayFile, DayFileEnd, RowText, length)) {
        int error = PlatformLastError();
        // Part of a row may have gone in; cut it off so the next row starts
        // a line of its own, and open afresh next time.
        PlatformFileSetSize(DayFile, DayFileEnd);
        CloseDayFile();
        NoteTrouble(error, day);
        return;
    }
    DayFileEnd += static_cast<long>(length);
}

void RunJournalChores() {
    if (!ChoresWaiting.exchange(false))
        return;
    bool trouble = false;
    int code = 0;
    int tidyDay = NoDay;
    int keepDays = 0;
    {
        std::lock_guard<std::mutex> hold(Guard);
        trouble = TroubleWaiting;
        code = TroubleCode;
        TroubleWaiting = false;
        if (KeepDays > 0 && NewestDay > TidiedDay) {
            tidyDay = NewestDay;
            TidiedDay = NewestDay;
        }
        keepDays = KeepDays;
    }
    if (trouble)
        LogTrouble(code);
    if (tidyDay != NoDay)
        DeleteExpiredFiles(tidyDay, keepDays);
}
