// Report.cpp - the "report" command: totals by kind and outcome, the sales
// and voids in doubt with what to do about them, the not-sent rows by
// reason, the first, last and slowest transactions, and the damaged rows.
// It only reads the day file, so it runs beside the gateway.
#include "Report.h"

#include "DayFigures.h"
#include "ErrorText.h"
#include "Files.h"
#include "Platform.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

void Add(std::string* text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Add(std::string* text, const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) < sizeof line) {
        text->append(line, static_cast<size_t>(length));
        return;
    }
    std::string whole(static_cast<size_t>(length) + 1, '\0');
    va_start(arguments, format);
    std::vsnprintf(whole.data(), whole.size(), format, arguments);
    va_end(arguments);
    whole.pop_back();
    *text += whole;
}

// A field from the file as one line of console text: line ends and tabs
// become spaces, other control characters "?".
std::string Shown(const std::string& field) {
    std::string shown = field;
    for (char& c : shown) {
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
        else if ((c >= 0 && c < 0x20) || c == 0x7F)
            c = '?';
    }
    return shown;
}

// "14:03:07" of a row's time.
std::string Clock(const JournalEntry& entry) {
    return entry.time.substr(11, 8);
}

std::string Till(const JournalEntry& entry) {
    return Shown(entry.client) + " #" + std::to_string(entry.clientNumber);
}

std::string Sequence(const JournalEntry& entry) {
    return entry.sequence == JournalNoSequence ? "" : std::to_string(entry.sequence);
}

// "14:03:07 sale 17, till 192.168.1.20 #7, amount 250, replied: APPROVED",
// the till's text last.
std::string Describe(const JournalEntry& entry) {
    std::string kind = JournalKindName(entry.kind);
    if (entry.sequence != JournalNoSequence)
        kind += " " + Sequence(entry);
    std::string text = Clock(entry) + " " + kind + ", till " + Till(entry) + ", amount " +
                       std::to_string(entry.amount) + ", " + JournalOutcomeName(entry.outcome);
    return entry.reply.empty() ? text : text + ": " + Shown(entry.reply);
}

// "YYYY-MM-DD" with a real month and day.
bool ParseDate(const char* text, int* year, int* month, int* day) {
    if (std::strlen(text) != 10 || text[4] != '-' || text[7] != '-')
        return false;
    int values[3] = {};
    const int starts[3] = {0, 5, 8}, lengths[3] = {4, 2, 2};
    for (int part = 0; part < 3; ++part) {
        for (int i = starts[part]; i < starts[part] + lengths[part]; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            values[part] = values[part] * 10 + (text[i] - '0');
        }
    }
    std::chrono::year_month_day date{std::chrono::year(values[0]),
                                     std::chrono::month(static_cast<unsigned>(values[1])),
                                     std::chrono::day(static_cast<unsigned>(values[2]))};
    *year = values[0];
    *month = values[1];
    *day = values[2];
    return date.ok();
}

void AddTotals(std::string* text, const DayFigures& figures) {
    Add(text, "%13s", "");
    for (int outcome = 0; outcome < JournalOutcomeCount; ++outcome)
        Add(text, "%11s", JournalOutcomeName(static_cast<JournalOutcome>(outcome)));
    Add(text, "\n");
    const JournalKind kinds[] = {JournalKind::Sale, JournalKind::Void, JournalKind::Funds};
    for (JournalKind kind : kinds) {
        const DayTotal* row = figures.totals[static_cast<int>(kind)];
        Add(text, "%-6s%-7s", JournalKindName(kind), "count");
        for (int outcome = 0; outcome < JournalOutcomeCount; ++outcome)
            Add(text, "%11lld", static_cast<long long>(row[outcome].count));
        Add(text, "\n%-6s%-7s", "", "amount");
        for (int outcome = 0; outcome < JournalOutcomeCount; ++outcome)
            Add(text, "%11lld", static_cast<long long>(row[outcome].amount));
        Add(text, "\n");
    }
}

void AddInDoubt(std::string* text, const DayFigures& figures) {
    if (figures.inDoubt.empty()) {
        Add(text, "\nIn doubt: none\n");
        return;
    }
    Add(text, "\nIn doubt: %lld\n", static_cast<long long>(figures.inDoubt.size()));
    const char* format = "  %-8s  %-20s %8s  %-4s  %-19s %9s  %s\n";
    Add(text, format, "time", "till", "sequence", "kind", "card", "amount", "reference");
    for (const JournalEntry& entry : figures.inDoubt)
        Add(text, format, Clock(entry).c_str(), Till(entry).c_str(), Sequence(entry).c_str(),
            JournalKindName(entry.kind), Shown(entry.card).c_str(),
            std::to_string(entry.amount).c_str(), Shown(entry.reference).c_str());
    Add(text, "Look each one up with the transaction server before the till tries again.\n");
}

void AddTimes(std::string* text, const DayFigures& figures) {
    if (figures.rows == 0) {
        Add(text, "\nNo transactions.\n");
        return;
    }
    Add(text, "\nFirst: %s\n", Describe(figures.first).c_str());
    Add(text, "Last:  %s\n", Describe(figures.last).c_str());
    if (figures.slowest.serverUs < 0)
        Add(text, "Slowest exchange: none sent\n");
    else
        Add(text, "Slowest exchange: %lld.%03lld ms, %s\n",
            static_cast<long long>(figures.slowest.serverUs / 1000),
            static_cast<long long>(figures.slowest.serverUs % 1000),
            Describe(figures.slowest).c_str());
}

} // namespace

int MakeReport(const char* date, std::string* text) {
    text->clear();
    int year = 0, month = 0, day = 0;
    if (date == nullptr || date[0] == '\0') {
        PlatformLocalTime now;
        PlatformLocalNow(&now);
        year = now.year;
        month = now.month;
        day = now.day;
    } else if (!ParseDate(date, &year, &month, &day)) {
        Add(text, "Not a date: \"%s\"; give the day as YYYY-MM-DD.\n", Shown(date).c_str());
        return ReportNoDay;
    }
    char path[JournalDayPathSize];
    JournalDayPath(year, month, day, path, sizeof path);
    DayFigures figures;
    int error = ReadDayFigures(path, &figures);
    if (error == PlatformFileNotFound) {
        Add(text, "No journal for %04d-%02d-%02d: %s does not exist.\n", year, month, day, path);
        return ReportNoDay;
    }
    if (error != 0) {
        char words[256] = "it is too large to read";
        if (error != JournalTooLarge)
            FormatErrorText(error, words, sizeof words);
        Add(text, "Unable to read the journal %s: %s\n", path, words);
        return ReportNoDay;
    }

    Add(text, "Journal of %04d-%02d-%02d: %s\n\n", year, month, day, path);
    AddTotals(text, figures);
    AddInDoubt(text, figures);
    if (figures.notSent.empty()) {
        Add(text, "\nNot sent: none\n");
    } else {
        Add(text, "\nNot sent, by reason:\n");
        for (const DayReason& reason : figures.notSent)
            Add(text, "%7lld  %s\n", static_cast<long long>(reason.count),
                Shown(reason.text).c_str());
    }
    AddTimes(text, figures);
    if (!figures.damaged.empty()) {
        Add(text, "\nDamaged rows, skipped: %lld\n",
            static_cast<long long>(figures.damaged.size()));
        for (const JournalDamage& damage : figures.damaged)
            Add(text, "  line %d: %s\n", damage.line, damage.reason);
    }
    return figures.inDoubt.empty() ? 0 : ReportInDoubt;
}

int ReportCommand(int argc, char** argv) {
    std::string text;
    int code = 0;
    if (argc > 3) {
        text = "The report takes one day at most: report [YYYY-MM-DD]\n";
        code = ReportNoDay;
    } else {
        code = MakeReport(argc == 3 ? argv[2] : nullptr, &text);
    }
    std::fputs(text.c_str(), stdout);
    return code;
}
