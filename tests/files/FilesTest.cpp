// FilesTest.cpp - paths, the log writer, the sequence counter, the journal's
// day files, error text, the duplicate window's key and the record files.
#include "Files.h"
#include "Counter.h"
#include "ErrorText.h"
#include "Fingerprint.h"
#include "Journal.h"
#include "JournalReader.h"
#include "Log.h"
#include "MatchKey.h"
#include "Records.h"
#include "SettingRules.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
static const char LineEnd[] = "\r\n";
#else
static const char LineEnd[] = "\n";
#endif

TEST(FilePaths, ExtensionOfTheFileNameIsReplacedOrAppended) {
    DeriveFilePaths("C:\\Gate\\gw.exe");
    EXPECT_STREQ(LogPath, "C:\\Gate\\gw.txt");
    EXPECT_STREQ(SettingsPath, "C:\\Gate\\gw.ini");
    EXPECT_STREQ(SequencePath, "C:\\Gate\\gw.seq");

    DeriveFilePaths("C:\\a.b\\gw.exe"); // only the text after the last "." changes
    EXPECT_STREQ(LogPath, "C:\\a.b\\gw.txt");

    EXPECT_STREQ(JournalStem, "C:\\a.b\\gw");

    DeriveFilePaths("/opt/gw/gateway"); // no "." in the name: appended
    EXPECT_STREQ(SettingsPath, "/opt/gw/gateway.ini");
    EXPECT_STREQ(JournalStem, "/opt/gw/gateway");

    DeriveFilePaths("/opt/gw.d/gateway"); // a "." in a directory is not the extension's
    EXPECT_STREQ(SequencePath, "/opt/gw.d/gateway.seq");

    DeriveFilePaths("/opt/gw/gate.way.bin");
    EXPECT_STREQ(LogPath, "/opt/gw/gate.way.txt");
}

TEST(FilePaths, OverlongPathIsCutNotOverrun) {
    std::string path = "/" + std::string(400, 'x') + "/gw.exe";
    DeriveFilePaths(path.c_str());
    EXPECT_EQ(strlen(LogPath), static_cast<size_t>(GatewayPathSize - 1));
}

class SequenceCounter : public ::testing::Test {
  protected:
    // The next number, which must be given.
    static int Next(int alsoWaiting = 0) {
        int number = -1, error = 0;
        EXPECT_TRUE(NextSequenceNumber(&number, &error, alsoWaiting)) << "error " << error;
        return number;
    }
    TempGatewayFiles files;
};

TEST_F(SequenceCounter, ReturnsTheStoredNumberAndStoresTheNext) {
    struct Case {
        const char* stored; // null: no file
        int returned;
        const char* next;
    } cases[] = {
        {nullptr, 0, "1"},   {"", 0, "1"},
        {"7", 7, "8"},       {"999999", 999999, "1000000"},
        {"1000000", 0, "1"}, {"15\r\n", 15, "16"},
        {"-3", -3, "-2"},    {"  +42abc", 42, "43"},
        {"abc", 0, "1"},     {"4294967297", 0, "1"}, // past the wrap, not 1 after 32-bit overflow
    };
    for (const Case& c : cases) {
        std::remove(SequencePath);
        if (c.stored != nullptr)
            files.WriteSequence(c.stored);
        // A peek tells the same number and leaves the file as it was.
        int peeked = -1;
        EXPECT_EQ(PeekSequenceNumber(&peeked), c.stored ? 0 : PlatformFileNotFound);
        EXPECT_EQ(peeked, c.returned);
        std::FILE* after = std::fopen(SequencePath, "rb");
        EXPECT_EQ(after != nullptr, c.stored != nullptr);
        if (after != nullptr)
            std::fclose(after);
        EXPECT_EQ(files.ReadSequence(), c.stored ? c.stored : "");
        EXPECT_EQ(Next(), c.returned) << "stored: " << (c.stored ? c.stored : "none");
        EXPECT_EQ(files.ReadSequence(), c.next) << "stored: " << (c.stored ? c.stored : "none");
    }
}

// A group is one store of the number past its last; the rest of the group is
// handed out in order without the file, which another writer may then hold.
// Until the group is used up the file is already past it, so a restart at
// any point skips the numbers not yet handed out.
TEST_F(SequenceCounter, GroupIsReservedWithOneStoreAndHandedOutInOrder) {
    struct Case {
        const char* stored;
        int alsoWaiting;
        std::vector<int> handedOut; // the whole group, in order
        const char* next;
    } cases[] = {
        {"7", 4, {7, 8, 9, 10, 11}, "12"},
        {"999998", 3, {999998, 999999, 0, 1}, "2"}, // across the wrap
        {"999998", 1, {999998, 999999}, "1000000"}, // up to it, as a single number leaves it
        {"1000000", 2, {0, 1, 2}, "3"},
        {"-3", 4, {-3, -2, -1, 0, 1}, "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        files.WriteSequence(c.stored);
        ASSERT_EQ(Next(c.alsoWaiting), c.handedOut[0]);
        EXPECT_EQ(files.ReadSequence(), c.next);

        int error = 0;
        PlatformFile* held = PlatformOpenForUpdate(SequencePath, &error);
        ASSERT_NE(held, nullptr);
        int64_t start = PlatformMonotonicMs();
        for (size_t i = 1; i < c.handedOut.size(); ++i) {
            int peeked = -1;
            EXPECT_EQ(PeekSequenceNumber(&peeked), 0);
            EXPECT_EQ(peeked, c.handedOut[i]);
            EXPECT_EQ(Next(c.alsoWaiting), c.handedOut[i]);
        }
        EXPECT_LT(PlatformMonotonicMs() - start, 500); // no open that waits for the writer
        PlatformFileClose(held);
        EXPECT_EQ(files.ReadSequence(), c.next);
    }

    // A group partly handed out: the file names the number past the whole
    // group, which is where the next start begins.
    files.WriteSequence("500");
    EXPECT_EQ(Next(9), 500);
    EXPECT_EQ(Next(9), 501);
    EXPECT_EQ(files.ReadSequence(), "510");
    int peeked = -1;
    EXPECT_EQ(PeekSequenceNumber(&peeked), 0);
    EXPECT_EQ(peeked, 502);

    // The rest belongs to that file: the counter of another directory reads
    // its own file.
    TempGatewayFiles other;
    other.WriteSequence("70");
    EXPECT_EQ(Next(), 70);
    EXPECT_EQ(other.ReadSequence(), "71");

    // However many wait, one group stays far inside the wrap.
    other.WriteSequence("0");
    EXPECT_EQ(Next(5000), 0);
    EXPECT_EQ(other.ReadSequence(), std::to_string(MaxSequenceGroup));
}

// A counter that cannot be opened or stored gives no number at once, with
// the system's error: a number the file does not hold as used could be sent
// again after a restart.
TEST_F(SequenceCounter, UnopenableOrUnwritableFileGivesNoNumber) {
    DeriveFilePaths((files.Directory() + "/missing/dir/gw.exe").c_str());
    int64_t start = PlatformMonotonicMs();
    int number = -1, error = 0;
    EXPECT_FALSE(NextSequenceNumber(&number, &error));
    EXPECT_EQ(number, -1);
    EXPECT_NE(error, 0);
    EXPECT_LT(PlatformMonotonicMs() - start, 500);

    // A directory where the file should be: nothing to open for writing.
    DeriveFilePaths((files.Directory() + "/gw.exe").c_str());
    std::filesystem::create_directory(SequencePath);
    EXPECT_FALSE(NextSequenceNumber(&number, &error, 4));
    EXPECT_EQ(number, -1);
    EXPECT_NE(error, 0);
    std::filesystem::remove(SequencePath);
    EXPECT_EQ(Next(), 0);
    EXPECT_EQ(files.ReadSequence(), "1");
}

TEST_F(SequenceCounter, WaitsForAnotherWriterToLetGo) {
    files.WriteSequence("41");
    int error = 0;
    PlatformFile* held = PlatformOpenForUpdate(SequencePath, &error);
    ASSERT_NE(held, nullptr);
    std::thread releaser([held] {
        PlatformSleepMs(1300);
        PlatformFileClose(held);
    });
    int64_t start = PlatformMonotonicMs();
    int number = Next();
    int64_t waited = PlatformMonotonicMs() - start;
    releaser.join();
    EXPECT_EQ(number, 41);
    EXPECT_EQ(files.ReadSequence(), "42");
    EXPECT_GE(waited, 1900); // two 1000 ms retries: the second open still collides
    EXPECT_LT(waited, 4000);
}

// A reader that looks while the counter advances must never find the file
// empty or holding a number below one already handed out: a crash at that
// moment would restart or repeat the numbering. A read that overlaps an
// update may see old and new digits mixed (Linux does not make a read atomic
// against a concurrent write), so a low number counts only when the next
// read is low too; a mixed read is never empty.
TEST_F(SequenceCounter, UpdateNeverLeavesTheFileEmptyOrBehind) {
    files.WriteSequence("95");
    std::atomic<bool> done{false};
    std::atomic<long> stored{95}; // the file holds at least this from now on
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        bool lowBefore = false;
        while (!done) {
            long floor = stored;
            std::string text = ReadWholeFile(SequencePath);
            long value = text.empty() ? -1 : std::strtol(text.c_str(), nullptr, 10);
            bool low = value < floor;
            if (value < 0 || (low && lowBefore))
                ++badReads;
            lowBefore = low;
        }
    });
    for (int i = 0; i < 3000; ++i)
        stored = Next() + 1;
    done = true;
    reader.join();
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(files.ReadSequence(), "3095");
}

class LogWriter : public ::testing::Test {
  protected:
    TempGatewayFiles files;
};

TEST_F(LogWriter, AppendsDatedLinesAndEchoesOnlyInDebugMode) {
    testing::internal::CaptureStdout();
    WriteLogLine("Service started");
    std::string quiet = testing::internal::GetCapturedStdout();
    DebugMode = true;
    testing::internal::CaptureStdout();
    WriteLogLine("Service stopped");
    std::string echoed = testing::internal::GetCapturedStdout();
    DebugMode = false;

    std::string log = files.ReadLog();
    EXPECT_EQ(quiet, "");
    // "<date> <time>: <message>" with a 24-hour time carrying seconds.
    std::string first = log.substr(0, log.find(LineEnd) + strlen(LineEnd));
    ASSERT_GE(first.size(), 20u);
    std::string tail = std::string(": Service started") + LineEnd;
    EXPECT_EQ(first.substr(first.size() - tail.size()), tail);
    std::string stamp = first.substr(0, first.size() - tail.size());
    std::string time = stamp.substr(stamp.rfind(' ') + 1);
    // The hour has one digit before 10:00 in locales such as en-US ("H:mm:ss").
    const size_t hourDigits = time.size() - 6;
    ASSERT_TRUE(hourDigits == 1 || hourDigits == 2) << stamp;
    EXPECT_EQ(time[hourDigits], ':');
    EXPECT_EQ(time[hourDigits + 3], ':');
    for (size_t i : {size_t(0), hourDigits - 1, hourDigits + 1, hourDigits + 2, hourDigits + 4,
                     hourDigits + 5})
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(time[i]))) << stamp;
    EXPECT_LE(std::stoi(time.substr(0, hourDigits)), 23);
    EXPECT_LE(std::stoi(time.substr(hourDigits + 1, 2)), 59);
    EXPECT_NE(log.find(std::string(": Service stopped") + LineEnd), std::string::npos);
    const std::string echoTail = ": Service stopped\n";
    EXPECT_EQ(echoed.substr(echoed.size() - echoTail.size()), echoTail);
    EXPECT_EQ(log.size(), first.size() + echoed.size() + strlen(LineEnd) - 1);
}

TEST_F(LogWriter, HeldLogIsRetriedFiveTimesThenTheLineIsDropped) {
    int error = 0;
    PlatformFile* held = PlatformOpenForUpdate(LogPath, &error);
    ASSERT_NE(held, nullptr);
    int64_t start = PlatformMonotonicMs();
    WriteLogLine("dropped line");
    int64_t waited = PlatformMonotonicMs() - start;
    PlatformFileClose(held);
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 2500);
    EXPECT_EQ(files.ReadLog(), "");
}

TEST_F(LogWriter, LineIsWrittenWhenTheOtherWriterLetsGoInTime) {
    int error = 0;
    PlatformFile* held = PlatformOpenForUpdate(LogPath, &error);
    ASSERT_NE(held, nullptr);
    std::thread releaser([held] {
        PlatformSleepMs(500);
        PlatformFileClose(held);
    });
    WriteLogLine("late line");
    releaser.join();
    EXPECT_NE(files.ReadLog().find("late line"), std::string::npos);
}

// The status page's ring: warnings and errors, to the log or to the Event
// Log alone (off here), newest first, the oldest dropped once it is full,
// whichever threads write.
TEST_F(LogWriter, LastWarningsAndErrorsAreKeptNewestFirst) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([] {
            for (int i = 0; i < 20; ++i)
                WriteLogLine("busy", LogEvent::Warning);
        });
    for (std::thread& writer : writers)
        writer.join();
    WriteLogLine("Unable to write the journal", LogEvent::Error);
    WriteLogLine("Service started", LogEvent::Information);
    ReportLogEvent(LogEvent::Warning, "Unable to reach the transaction server");
    RecentWarning kept[RecentWarningCount + 1];
    ASSERT_EQ(ReadRecentWarnings(kept, RecentWarningCount + 1), RecentWarningCount);
    EXPECT_EQ(kept[0].event, LogEvent::Warning);
    EXPECT_STREQ(kept[0].text, "Unable to reach the transaction server");
    EXPECT_EQ(kept[1].event, LogEvent::Error);
    EXPECT_STREQ(kept[1].text, "Unable to write the journal");
    for (int i = 2; i < RecentWarningCount; ++i)
        EXPECT_STREQ(kept[i].text, "busy");
    PlatformLocalTime now;
    PlatformLocalNow(&now);
    char day[16];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d ", now.year, now.month, now.day);
    EXPECT_EQ(std::string(kept[0].time).substr(0, 11), day);
    EXPECT_EQ(strlen(kept[0].time), 19u);
}

TEST(ErrorText, SystemSentenceFollowedByTheCode) {
    SetSystemError(5);
    std::string text = GetLastErrorText();
    ASSERT_GT(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), " [5]");
    EXPECT_NE(text[text.size() - 5], '\n'); // the system's line end is cut off
    EXPECT_NE(text[text.size() - 5], '\r');
}

// ---------------------------------------------------------------------------
// The journal

namespace {

PlatformLocalTime Time(int year, int month, int day, int offsetMinutes = 60) {
    return PlatformLocalTime{year, month, day, 14, 3, 7, 123, offsetMinutes};
}

PlatformLocalTime Today(int daysLater = 0) {
    PlatformLocalTime now;
    PlatformLocalNow(&now);
    using namespace std::chrono;
    year_month_day day{sys_days(year(now.year) / month(unsigned(now.month)) /
                                std::chrono::day(unsigned(now.day))) +
                       days(daysLater)};
    now.year = int(day.year());
    now.month = int(unsigned(day.month()));
    now.day = int(unsigned(day.day()));
    return now;
}

JournalRow SaleRow(const PlatformLocalTime& started, int sequence = 42) {
    JournalRow row{started, "192.168.1.20", 7,         "sale", sequence, 250,       0,
                   {},      "INV7731",      "replied", 200,    84321,    "APPROVED"};
    SetJournalCard(&row, "4000056655665556");
    return row;
}

std::string Format(const JournalRow& row) {
    char line[8192];
    size_t length = FormatJournalRow(row, line, sizeof line);
    return std::string(line, length);
}

} // namespace

TEST(JournalRows, CsvFieldsWithCardDataMasked) {
    JournalRow row = SaleRow(Time(2026, 12, 8));
    EXPECT_EQ(Format(row), "2026-12-08T14:03:07.123+01:00,192.168.1.20,7,sale,42,250,"
                           "************5556,INV7731,replied,200,84.321,APPROVED\r\n");
    row.serverUs = 5;
    EXPECT_NE(Format(row).find(",200,0.005,"), std::string::npos);

    // Funds: no number, no reference; nothing sent, so no server time; the
    // offset west of UTC.
    JournalRow funds = row;
    funds.started = Time(2027, 1, 2, -330);
    funds.kind = "funds";
    funds.sequence = JournalNoSequence;
    funds.reference = nullptr;
    funds.outcome = "not-sent";
    funds.httpStatus = 504;
    funds.serverUs = -1;
    funds.reply = "Unable to connect to server: Error 111";
    EXPECT_EQ(Format(funds), "2027-01-02T14:03:07.123-05:30,192.168.1.20,7,funds,,250,"
                             "************5556,,not-sent,504,,Unable to connect to server: "
                             "Error 111\r\n");

    // Card items: all but the last four masked, four or fewer masked whole;
    // a field is quoted when it holds a comma, a quote, CR or LF.
    struct Case {
        const char* card;
        const char* reference;
        const char* reply;
        const char* fields; // card to reply
    } cases[] = {
        {"12345", "R", "OK", "*2345,R,replied,200,84.321,OK"},
        {"1234", "R", "OK", "****,R,replied,200,84.321,OK"},
        {"", "R", "OK", ",R,replied,200,84.321,OK"},
        {"12\"4,678", "a,b", "OK", "\"****,678\",\"a,b\",replied,200,84.321,OK"},
        {"ab\"cd", "say \"hi\"", "x", "\"*b\"\"cd\",\"say \"\"hi\"\"\",replied,200,84.321,x"},
        // Runs of 12 or more digits in the reply show their last four only.
        {"1234", "R", "CARD 4000056655665556 REF 12345678901 AUTH 123456789012/9",
         "****,R,replied,200,84.321,CARD ************5556 REF 12345678901 AUTH ********9012/9"},
        {"1234", "R", "line 1\r\nline \"2\"",
         "****,R,replied,200,84.321,\"line 1\r\nline \"\"2\"\"\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        JournalRow variant = SaleRow(Time(2026, 12, 8));
        SetJournalCard(&variant, c.card);
        variant.reference = c.reference;
        variant.reply = c.reply;
        std::string line = Format(variant);
        const std::string head = "2026-12-08T14:03:07.123+01:00,192.168.1.20,7,sale,42,250,";
        EXPECT_EQ(line, head + c.fields + "\r\n");
    }
}

// What the writer writes comes back typed; every kind of damage is reported
// at the line its row starts on and skipped, and reading goes on after it.
TEST(JournalReader, RowsComeBackTypedAndDamagedOnesAreSkippedByLine) {
    JournalRow sale = SaleRow(Time(2026, 12, 8));
    sale.reply = "<b>\"OK\"</b>,\r\nline 2";
    JournalRow funds = SaleRow(Time(2027, 1, 2, -330), JournalNoSequence);
    funds.kind = "funds";
    funds.reference = nullptr;
    funds.outcome = "not-sent";
    funds.httpStatus = 504;
    funds.serverUs = -1;
    funds.reply = "Unable to connect to server: Error 111";
    SetJournalCard(&funds, "12");
    const std::string saleLine = Format(sale), fundsLine = Format(funds);
    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    // A full card, as a hand-edited file might hold it, is masked again.
    JournalRow edited = funds;
    edited.reply = "card 4000056655665556";
    std::string editedLine = replaced(Format(edited), ",**,", ",4000056655665556,");
    editedLine = replaced(editedLine, "************5556", "4000056655665556");

    const std::string text = JournalHeader + saleLine +                          // lines 2 and 3
                             "x,y\r\n" +                                         // 4
                             replaced(saleLine, ",250,", ",25x,") +              // 5 and 6
                             saleLine.substr(0, saleLine.find("<b>")) + "\r\n" + // 7, cut short
                             fundsLine +                                         // 8
                             replaced(fundsLine, "\r\n", ",x\r\n") +             // 9
                             replaced(fundsLine, "192.168", "192\"168") +        // 10
                             replaced(fundsLine, "funds", "refund") +            // 11
                             editedLine +                                        // 12
                             fundsLine.substr(0, fundsLine.size() - 2);          // 13, no line end
    JournalDay day;
    ReadJournalText(
        text.data(), text.size(),
        [](const JournalEntry& entry, void* to) {
            static_cast<JournalDay*>(to)->entries.push_back(entry);
        },
        [](const JournalDamage& damage, void* to) {
            static_cast<JournalDay*>(to)->damaged.push_back(damage);
        },
        &day);
    std::vector<std::string> damaged;
    for (const JournalDamage& damage : day.damaged)
        damaged.push_back(std::to_string(damage.line) + " " + damage.reason);
    EXPECT_EQ(damaged, (std::vector<std::string>{
                           "4 the row has fewer than 12 fields",
                           "5 the amount is not a whole number",
                           "7 the row is cut short",
                           "9 the row has more than 12 fields",
                           "10 a quote inside a field that is not quoted",
                           "11 the kind is not funds, sale or void",
                           "13 the row is cut short",
                       }));
    ASSERT_EQ(day.entries.size(), 3u);
    // The lines, the instants (the UTC offset applied) and the texts the
    // reader must undo or mask again; ReportTest holds the other fields.
    EXPECT_EQ(day.entries[0].line, 2);
    EXPECT_EQ(day.entries[1].line, 8);
    EXPECT_EQ(day.entries[2].line, 12);
    using namespace std::chrono;
    EXPECT_EQ(day.entries[0].utcMs,
              (sys_days(2026y / 12 / 8) + 13h + 3min + 7s + 123ms).time_since_epoch().count());
    EXPECT_EQ(day.entries[1].utcMs,
              (sys_days(2027y / 1 / 2) + 19h + 33min + 7s + 123ms).time_since_epoch().count());
    EXPECT_EQ(day.entries[0].reply, sale.reply);
    EXPECT_EQ(day.entries[2].card, "************5556");
    EXPECT_EQ(day.entries[2].reply, "card ************5556");

    // Another first line is reported and the rows after it are read.
    day = JournalDay{};
    TempDirectory directory;
    WriteWholeFile(directory.File("day.csv"), "garbage\n" + fundsLine);
    EXPECT_EQ(ReadJournalDay(directory.File("day.csv").c_str(), &day), 0);
    ASSERT_EQ(day.damaged.size(), 1u);
    EXPECT_EQ(day.damaged[0].line, 1);
    ASSERT_EQ(day.entries.size(), 1u);
    EXPECT_EQ(day.entries[0].line, 2);
    // A file larger than the first read.
    std::string many = JournalHeader;
    for (int i = 0; i < 3000; ++i)
        many += fundsLine;
    WriteWholeFile(directory.File("day.csv"), many);
    day = JournalDay{};
    EXPECT_EQ(ReadJournalDay(directory.File("day.csv").c_str(), &day), 0);
    EXPECT_EQ(day.entries.size(), 3000u);
    EXPECT_EQ(day.entries.back().line, 3001);
}

class JournalFiles : public ::testing::Test {
  protected:
    void TearDown() override { StopJournal(); }
    void Start(int keepDays) {
        files.WriteSettings("[Settings]\nJournalDays=" + std::to_string(keepDays) + "\n");
        StartJournal();
    }
    static std::string DayName(const PlatformLocalTime& day) {
        char name[32];
        std::snprintf(name, sizeof name, "gateway-%04d-%02d-%02d.csv", day.year, day.month,
                      day.day);
        return name;
    }
    std::string DayFile(const PlatformLocalTime& day) const { return Path(DayName(day)); }
    std::string Path(const std::string& name) const {
        return (std::filesystem::path(files.Directory()) / name).string();
    }
    bool HeldByTheJournal(const std::string& path) const {
        int error = 0;
        PlatformFile* file = PlatformOpenForUpdate(path.c_str(), &error);
        if (file != nullptr)
            PlatformFileClose(file);
        return file == nullptr && error == PlatformSharingViolation;
    }

    TempGatewayFiles files;
};

TEST_F(JournalFiles, DayFileIsHeldOpenReadableAndAppendedAcrossRestarts) {
    Start(90);
    const std::string today = DayFile(Today());
    const std::string header = JournalHeader;
    EXPECT_EQ(ReadWholeFile(today), header);
    JournalRow first = SaleRow(Today(), 1);
    JournalRow second = SaleRow(Today(), 2);
    WriteJournalRow(first);
    WriteJournalRow(second);
    const std::string rows = header + Format(first) + Format(second);
    EXPECT_EQ(ReadWholeFile(today), rows);

    // A second process may read the held file but not write to it. (cmd's
    // "type" is refused too: it will not share its read with a writer.)
    std::string copy = Path("copy.txt");
#ifdef _WIN32
    EXPECT_EQ(std::system(("cmd /c copy /Y \"" + today + "\" \"" + copy + "\" >NUL").c_str()), 0);
    std::system(("cmd /c echo x>>\"" + today + "\"").c_str()); // says "Sharing violation."
#else
    EXPECT_EQ(std::system(("cat '" + today + "' >'" + copy + "'").c_str()), 0);
    EXPECT_NE(std::system(("flock -n '" + today + "' true").c_str()), 0);
#endif
    EXPECT_EQ(ReadWholeFile(copy), rows);
    EXPECT_EQ(ReadWholeFile(today), rows) << "another writer got in";
    EXPECT_TRUE(HeldByTheJournal(today));

    // Restarted the same day: rows go on after the old ones, without a second
    // header; a last row cut short by a power cut, at any byte, is cut off
    // first, and so are blocks it left as zeros. A damaged row before the
    // last whole one is left for the reader to skip.
    StopJournal();
    EXPECT_FALSE(HeldByTheJournal(today));
    JournalRow quoted = SaleRow(Today(), 3);
    quoted.reply = "DECLINED,\r\n\"CALL\"";
    const std::string lines = Format(quoted);
    const std::string damaged = rows + "2026-12-08T14:03:07.123+01:00,\"cut\r\n" + Format(second);
    struct Case {
        std::string file, kept;
    } cases[] = {{rows + "2026-12-08T14:03", rows},
                 {rows + lines.substr(0, lines.find("\r\n") + 2), rows},
                 {rows + lines.substr(0, lines.size() - 1), rows},
                 {rows + lines + std::string(20000, '\0'), rows + lines},
                 {header.substr(0, 9), header},
                 {damaged, damaged}};
    for (const Case& c : cases) {
        WriteWholeFile(today, c.file);
        Start(90);
        WriteJournalRow(first);
        EXPECT_EQ(ReadWholeFile(today), c.kept + Format(first)) << c.file.substr(c.file.size() / 2);
        StopJournal();
    }
    JournalDay repaired;
    EXPECT_EQ(ReadJournalDay(today.c_str(), &repaired), 0);
    EXPECT_EQ(repaired.entries.size(), 4u);
    EXPECT_EQ(repaired.damaged.size(), 1u);
    WriteWholeFile(today, rows);
    Start(90);
    WriteJournalRow(first);
    EXPECT_EQ(ReadWholeFile(today), rows + Format(first));

    // A row of the next day opens that day's file and lets go of this one.
    JournalRow tomorrow = SaleRow(Today(1), 3);
    WriteJournalRow(tomorrow);
    EXPECT_EQ(ReadWholeFile(DayFile(Today(1))), header + Format(tomorrow));
    EXPECT_TRUE(HeldByTheJournal(DayFile(Today(1))));
    EXPECT_FALSE(HeldByTheJournal(today));
}

TEST_F(JournalFiles, ExpiredDayFilesAreDeletedAtStartAndAtTheChangeOfDay) {
    const std::vector<std::string> others = {
        "gateway-2000-01-01.csv.bak", "gateway-2000-01-01.txt", "gateway-2000-1-01.csv",
        "gateway-2000-13-01.csv",     "other-2000-01-01.csv",   "gateway-2000-01-01-x.csv",
        "gateway2000-01-01.csv",      "xgateway-2000-01-01.csv"};
    for (const std::string& name : others)
        WriteWholeFile(Path(name), "keep");
    std::filesystem::create_directory(Path("gateway-2000-01-02.csv"));
    for (int age : {4, 3, 2})
        WriteWholeFile(DayFile(Today(-age)), "old");

    Start(3);
    EXPECT_FALSE(std::filesystem::exists(DayFile(Today(-4))));
    EXPECT_TRUE(std::filesystem::exists(DayFile(Today(-3))));
    for (const std::string& name : others)
        EXPECT_EQ(ReadWholeFile(Path(name)), "keep") << name;
    EXPECT_TRUE(std::filesystem::is_directory(Path("gateway-2000-01-02.csv")));

    // The first row of a new day: deleted once the chores run, not before.
    WriteJournalRow(SaleRow(Today(1)));
    EXPECT_TRUE(std::filesystem::exists(DayFile(Today(-3))));
    RunJournalChores();
    EXPECT_FALSE(std::filesystem::exists(DayFile(Today(-3))));
    EXPECT_TRUE(std::filesystem::exists(DayFile(Today(-2))));
    EXPECT_TRUE(std::filesystem::exists(DayFile(Today())));
    EXPECT_EQ(files.ReadLog(), "");
}

TEST_F(JournalFiles, ZeroDaysTurnsItOffAndDeletesNothing) {
    WriteWholeFile(DayFile(Today(-400)), "old");
    Start(0);
    WriteJournalRow(SaleRow(Today()));
    RunJournalChores();
    EXPECT_FALSE(std::filesystem::exists(DayFile(Today())));
    EXPECT_TRUE(std::filesystem::exists(DayFile(Today(-400))));
}

// A file held by someone else costs the rows written meanwhile, never a wait,
// and one log line per day, written by the chores rather than the writer.
TEST_F(JournalFiles, HeldDayFileCostsItsRowsAndOneLogLinePerDay) {
    // The system's own words for its own code: never another error's text
    // for the same number.
    char words[256];
    FormatErrorText(PlatformSharingViolation, words, sizeof words);
    const std::string line = std::string("Unable to write the journal: ") + words;
    EXPECT_EQ(std::string(words).find("Broken pipe"), std::string::npos) << words;
#ifdef _WIN32
    EXPECT_EQ(PlatformSharingViolation, 32); // ERROR_SHARING_VIOLATION
#else
    EXPECT_STREQ(words, "Resource temporarily unavailable [11]");
#endif
    int error = 0;
    PlatformFile* held = PlatformOpenForUpdate(DayFile(Today()).c_str(), &error);
    ASSERT_NE(held, nullptr);
    Start(90);
    EXPECT_EQ(LogMessages(files.ReadLog()), std::vector<std::string>{line});
    int64_t before = PlatformMonotonicMs();
    WriteJournalRow(SaleRow(Today(), 1));
    EXPECT_LT(PlatformMonotonicMs() - before, 150);
    RunJournalChores();
    EXPECT_EQ(LogMessages(files.ReadLog()).size(), 1u);

    PlatformFileClose(held);
    JournalRow next = SaleRow(Today(), 2);
    WriteJournalRow(next);
    EXPECT_EQ(ReadWholeFile(DayFile(Today())), JournalHeader + Format(next));

    held = PlatformOpenForUpdate(DayFile(Today(1)).c_str(), &error);
    ASSERT_NE(held, nullptr);
    WriteJournalRow(SaleRow(Today(1), 3));
    EXPECT_EQ(LogMessages(files.ReadLog()).size(), 1u) << "logged by the writer";
    RunJournalChores();
    WriteJournalRow(SaleRow(Today(1), 4));
    RunJournalChores();
    EXPECT_EQ(LogMessages(files.ReadLog()), (std::vector<std::string>{line, line}));
    PlatformFileClose(held);
}

// ---------------------------------------------------------------------------
// The duplicate window's key and the write-ahead records

TEST(MatchKeyFile, MadeOnceAndSharedByEveryoneWhoRacesToMakeIt) {
    TempGatewayFiles files;
    constexpr int racers = 8;
    unsigned char keys[racers][MatchKeySize];
    bool loaded[racers] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < racers; ++i) {
        threads.emplace_back([&, i] {
            char reason[512];
            loaded[i] = LoadMatchKey(keys[i], reason, sizeof reason);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    unsigned char again[MatchKeySize];
    char reason[512];
    ASSERT_TRUE(LoadMatchKey(again, reason, sizeof reason)) << reason;
    for (int i = 0; i < racers; ++i) {
        EXPECT_TRUE(loaded[i]);
        EXPECT_EQ(std::memcmp(keys[i], again, MatchKeySize), 0) << "racer " << i;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.Directory()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(MatchKeyFile, UnusableFileGivesTheReasonAndNoKey) {
    TempGatewayFiles files;
    char path[GatewayPathSize + 8], reason[512];
    MatchKeyPath(path, sizeof path);
    unsigned char key[MatchKeySize];
    WriteWholeFile(path, "short");
    std::filesystem::permissions(path, std::filesystem::perms(0600));
    std::memset(key, 0x5a, sizeof key);
    EXPECT_FALSE(LoadMatchKey(key, reason, sizeof reason));
    EXPECT_EQ(key[0] | key[MatchKeySize - 1], 0);
#ifdef _WIN32
    EXPECT_EQ(
        std::string(reason).rfind(std::string("the key file ") + path + " cannot be unsealed: ", 0),
        0u)
        << reason;
#else
    EXPECT_EQ(std::string(reason),
              std::string("the key file ") + path + " does not hold a key of 32 bytes");
    std::remove(path);
    ASSERT_TRUE(LoadMatchKey(key, reason, sizeof reason));
    std::filesystem::permissions(path, std::filesystem::perms(0640));
    EXPECT_FALSE(LoadMatchKey(key, reason, sizeof reason));
    EXPECT_EQ(std::string(reason),
              std::string("the key file ") + path + " is open to other accounts (mode 0640)");
#endif
}

namespace {

constexpr char Card[] = "4000056655665556";
constexpr long SlotBytes = 1536, StartBytes = 512, FirstSlotAt = 4096; // the file's layout

RecordStart SaleStart(int amount, bool windowed = true, int64_t ageMs = 0) {
    RecordStart start{};
    start.startedUtcMs = PlatformUtcMilliseconds() - ageMs;
    PlatformLocalNow(&start.started);
    std::snprintf(start.client, sizeof start.client, "192.168.1.20");
    start.clientNumber = 7;
    start.kind = RecordKind::Sale;
    start.amount = amount;
    std::snprintf(start.reference, sizeof start.reference, "INV%d", amount);
    start.cardLength = 16;
    std::snprintf(start.cardTail, sizeof start.cardTail, "5556");
    start.windowed = windowed;
    unsigned char key[MatchKeySize];
    char reason[512];
    EXPECT_TRUE(LoadMatchKey(key, reason, sizeof reason)) << reason;
    std::string items = std::string(Card) + start.reference + std::to_string(amount);
    EXPECT_TRUE(PlatformHmacSha256(key, sizeof key, items.data(), items.size(), start.match));
    return start;
}

RecordTicket Record(const RecordStart& start) {
    RecordTicket ticket;
    int error = 0;
    EXPECT_TRUE(RecordTransactionStart(start, &ticket, &error)) << error;
    return ticket;
}

void Collect(RecoveredRecord* record, void* context) {
    record->kept = record->ticket.slot >= 0;
    static_cast<std::vector<RecoveredRecord>*>(context)->push_back(*record);
}

// What a start (or with change false, check) reads back, and its summary.
std::vector<RecoveredRecord> ReadBack(RecordSummary* summary, bool change = true,
                                      int64_t windowMs = 120000) {
    std::vector<RecoveredRecord> records;
    char reason[512] = "";
    bool read = change ? OpenRecords(windowMs, Collect, &records, summary, reason, sizeof reason)
                       : ListRecords(windowMs, Collect, &records, summary, reason, sizeof reason);
    EXPECT_TRUE(read) << reason;
    return records;
}

std::string RecordFile(int n) {
    char path[GatewayPathSize + 8];
    RecordFilePath(n, path, sizeof path);
    return path;
}

} // namespace

class RecordFiles : public ::testing::Test {
  protected:
    void TearDown() override { CloseRecords(); }
    TempGatewayFiles files;
    RecordSummary summary{};
};

// In flight at the stop: handed back first and marked, so only once; window
// entries come back with their slots kept; the rest is left behind.
TEST_F(RecordFiles, InFlightComeBackOnceAndTheWindowWithTheirSlots) {
    files.WriteSequence("41");
    ReadBack(&summary);
    RecordTicket replied = Record(SaleStart(100));
    RecordTicket inFlight = Record(SaleStart(200));
    RecordTicket unwindowed = Record(SaleStart(300, false));
    RecordTicket old = Record(SaleStart(400, true, 121000));
    RecordTicket notSent = Record(SaleStart(500));
    EXPECT_EQ(notSent.sequence, 45);
    EXPECT_EQ(files.ReadSequence(), "46");
    std::string longReply = std::string(RecordReplySize - 6, 'x') + "1234567890123";
    EXPECT_TRUE(RecordTransactionOutcome(replied, RecordOutcome::Replied, 200, 8123,
                                         (std::string("APPROVED ") + Card + " AUTH").c_str()));
    EXPECT_TRUE(RecordTransactionOutcome(unwindowed, RecordOutcome::Replied, 200, 1, "OK"));
    EXPECT_TRUE(RecordTransactionOutcome(old, RecordOutcome::InDoubt, 504, 1, longReply.c_str()));
    EXPECT_TRUE(RecordTransactionOutcome(notSent, RecordOutcome::NotSent, 504, -1, "No"));
    CloseRecords();
    char keyPath[GatewayPathSize + 8];
    MatchKeyPath(keyPath, sizeof keyPath);
    for (const std::string& path : {RecordFile(0), std::string(keyPath)}) {
        EXPECT_EQ(ReadWholeFile(path).find(std::string(Card, 12)), std::string::npos) << path;
        EXPECT_EQ(ReadWholeFile(path).find(Card + 4), std::string::npos) << path;
    }

    std::vector<RecoveredRecord> back = ReadBack(&summary);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].sequence, inFlight.sequence);
    EXPECT_EQ(back[0].outcome, RecordOutcome::None);
    EXPECT_EQ(back[0].ticket.slot, inFlight.slot);
    EXPECT_STREQ(back[0].start.reference, "INV200");
    EXPECT_EQ(std::string(back[1].reply), "APPROVED ************5556 AUTH");
    EXPECT_EQ(back[1].serverUs, 8123);
    EXPECT_TRUE(back[0].inWindow && back[1].inWindow);
    EXPECT_EQ(summary.inFlight, 1);
    EXPECT_EQ(summary.windowed, 2);
    // The first slot not kept for the window, which unwindowed had.
    EXPECT_EQ(Record(SaleStart(600, false)).slot, unwindowed.slot);
    CloseRecords();

    // In flight, though its slot holds the outcome of an earlier use.
    back = ReadBack(&summary, false);
    EXPECT_EQ(summary.inFlight, 1);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0].start.amount, 600);
    EXPECT_EQ(back[2].outcome, RecordOutcome::InDoubt);
    EXPECT_TRUE(back[2].recovered);
    EXPECT_STREQ(back[2].reply, "The gateway stopped before the reply came.");
    back = ReadBack(&summary, false, 200000); // a longer window reaches the old one
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[1].start.amount, 400);
    EXPECT_EQ(std::string(back[1].reply), std::string(RecordReplySize - 6, 'x'));
}

// A write cut at any byte, a flipped byte or garbage spoils at most the part
// it hit; a torn newer header leaves the older one.
TEST_F(RecordFiles, CutOrSpoiledBytesLoseNothingThatWasWhole) {
    ReadBack(&summary);
    for (int amount = 1; amount <= 3; ++amount)
        RecordTransactionOutcome(Record(SaleStart(amount)), RecordOutcome::Replied, 200, 5, "OK");
    CloseRecords();
    const std::string whole = ReadWholeFile(RecordFile(0));
    const long last = FirstSlotAt + 2 * SlotBytes;
    ASSERT_EQ(long(whole.size()), last + SlotBytes);
    for (long cut = last; cut <= long(whole.size()); ++cut) {
        std::remove(RecordFile(0).c_str()); // a cut to 0 first would wait for the disk
        WriteWholeFile(RecordFile(0), whole.substr(0, size_t(cut)));
        std::vector<RecoveredRecord> back = ReadBack(&summary, false);
        bool started = cut >= last + StartBytes, ended = cut == long(whole.size());
        ASSERT_EQ(back.size(), started ? 3u : 2u) << "cut at " << cut;
        EXPECT_EQ(back[ended ? 2 : 0].start.amount, started ? 3 : 1) << "cut at " << cut;
        EXPECT_EQ(summary.inFlight, started && !ended ? 1 : 0) << "cut at " << cut;
    }

    std::string spoiled = whole;
    spoiled[FirstSlotAt + 100] ^= 1;                        // the first's start
    spoiled[FirstSlotAt + 2 * SlotBytes + StartBytes] ^= 1; // the third's outcome
    spoiled[512 + 17] ^= 1;                                 // the newer header
    WriteWholeFile(RecordFile(0), spoiled);
    std::remove(SequencePath);
    std::vector<RecoveredRecord> back = ReadBack(&summary, false);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].start.amount, 3); // in flight now, as its outcome is gone
    EXPECT_EQ(back[1].start.amount, 2);
    EXPECT_EQ(summary.nextNumber, 3); // past the one in flight, not the older header's 2

    std::string garbage(200000, '\0');
    std::mt19937 random(7);
    for (char& c : garbage)
        c = char(random());
    WriteWholeFile(RecordFile(0), garbage);
    EXPECT_TRUE(ReadBack(&summary).empty());
}

// The counter goes on from the counter file or from the record file's header
// and records, whichever is ahead on the ring of numbers; only a start sets it.
TEST_F(RecordFiles, CounterGoesOnFromWhicheverIsAhead) {
    files.WriteSequence("999998");
    ReadBack(&summary);
    for (int i = 0; i < 4; ++i)
        RecordTransactionOutcome(Record(SaleStart(i, false)), RecordOutcome::Replied, 200, 1, "");
    CloseRecords();
    struct Case {
        const char* counter; // as a power cut may leave it
        int next;
        const char* stored;
    } cases[] = {{"999990", 2, "2"},
                 {"", 2, "2"},
                 {"7", 7, "7"},
                 {"500001", 500001, "500001"}, // less than half the ring ahead
                 {"500003", 2, "2"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.counter);
        files.WriteSequence(c.counter);
        ReadBack(&summary, false);
        EXPECT_EQ(summary.nextNumber, c.next);
        EXPECT_EQ(files.ReadSequence(), c.counter);
        ReadBack(&summary);
        EXPECT_EQ(summary.counterSet, std::string(c.counter) != c.stored);
        EXPECT_EQ(files.ReadSequence(), c.stored);
        CloseRecords();
    }
}

// A live process's file is left alone; a process that ended has its records
// in flight recovered by the next start, which then lets its file go.
TEST_F(RecordFiles, SecondProcessTakesTheNextFileAndTheNextStartRecoversIt) {
    int error = 0;
    PlatformFile* first = PlatformOpenForUpdate(RecordFile(0).c_str(), &error);
    ASSERT_NE(first, nullptr);
    ReadBack(&summary);
    EXPECT_EQ(summary.ownFile, 1);
    RecordTicket lost = Record(SaleStart(10));
    CloseRecords();
    PlatformFile* second = PlatformOpenForUpdate(RecordFile(1).c_str(), &error);
    PlatformFileClose(first);
    EXPECT_TRUE(ReadBack(&summary).empty()); // its owner lives
    EXPECT_EQ(summary.ownFile, 0);
    CloseRecords();
    PlatformFileClose(second);

    std::vector<RecoveredRecord> back = ReadBack(&summary);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].file, 1);
    EXPECT_EQ(back[0].sequence, lost.sequence);
    EXPECT_EQ(back[0].ticket.slot, -1);
    PlatformFile* released = PlatformOpenForUpdate(RecordFile(1).c_str(), &error);
    EXPECT_NE(released, nullptr);
    PlatformFileClose(released);
    CloseRecords();
    back = ReadBack(&summary);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(back[0].recovered);
    EXPECT_EQ(summary.inFlight, 0);
}

// Callers that come during a flush form the next group in the order they
// came: one reservation of numbers and one flush for all of them.
TEST_F(RecordFiles, GroupGetsNumbersInArrivalOrderFromOneFlush) {
    files.WriteSequence("70");
    ReadBack(&summary);
    RecordCounts before{}, after{};
    ReadRecordCounts(&before);
    Record(SaleStart(1));
    ReadRecordCounts(&after);
    EXPECT_EQ(after.flushes, before.flushes + 1); // a lone sale: one flush

    // The counter file held: the leader waits in its reservation while the
    // others queue behind it, one at a time.
    int error = 0;
    PlatformFile* held = PlatformOpenForUpdate(SequencePath, &error);
    ASSERT_NE(held, nullptr);
    constexpr int callers = 24;
    RecordTicket tickets[callers];
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&tickets, i] { tickets[i] = Record(SaleStart(100 + i)); });
        if (i == 0)
            PlatformSleepMs(200);
        else
            EXPECT_TRUE(WaitUntil([&] {
                RecordCounts counts{};
                ReadRecordCounts(&counts);
                return counts.waiting == i;
            }));
    }
    PlatformFileClose(held);
    for (std::thread& thread : threads)
        thread.join();
    ReadRecordCounts(&after);
    EXPECT_EQ(after.flushes, before.flushes + 3);
    for (int i = 0; i < callers; ++i)
        EXPECT_EQ(tickets[i].sequence, 71 + i);
    CloseRecords();
    std::vector<RecoveredRecord> back = ReadBack(&summary, false);
    EXPECT_EQ(back.size(), size_t(callers + 1));

    // A group whose numbers cannot be reserved fails whole, without numbers.
    ReadBack(&summary);
    std::remove(SequencePath);
    std::filesystem::create_directory(SequencePath);
    threads.clear();
    std::atomic<int> failed{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&failed] {
            RecordTicket ticket;
            int error = 0;
            if (!RecordTransactionStart(SaleStart(5), &ticket, &error) && error != 0 &&
                ticket.slot == -1)
                ++failed;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failed.load(), 4);
    std::filesystem::remove(SequencePath);
    Record(SaleStart(6));
}

// The rules a setting's value is judged by, at start and by `check` alike.
TEST(SettingRules, FingerprintsAsWrittenOrAsOpensslPrintsThem) {
    const std::string colons =
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:"
        "45:67:89";
    unsigned char expected[FingerprintSize];
    ASSERT_TRUE(ParseFingerprint(colons.c_str(), expected));
    EXPECT_EQ(expected[0], 0xAB);
    EXPECT_EQ(expected[31], 0x89);
    std::string bare;
    for (char c : colons)
        if (c != ':')
            bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& text :
         {bare, "sha256 Fingerprint=" + colons, "SHA256 Fingerprint=" + colons,
          "  sha256 Fingerprint=" + bare}) {
        unsigned char out[FingerprintSize] = {};
        EXPECT_TRUE(ParseFingerprint(text.c_str(), out)) << text;
        EXPECT_EQ(std::memcmp(out, expected, sizeof out), 0) << text;
    }
    unsigned char out[FingerprintSize];
    for (const std::string& text : {"sha1 Fingerprint=" + colons, "Fingerprint=" + colons,
                                    "sha256 Fingerprint=" + colons.substr(3), colons + ":00"})
        EXPECT_FALSE(ParseFingerprint(text.c_str(), out)) << text;
    EXPECT_EQ(ReadFingerprintValue("", out), FingerprintSetting::Unset);
}

TEST(SettingRules, TerminalAddressListsAndWhatIsWrongWithThem) {
    struct Case {
        const char* text;
        std::vector<int> used;
        const char* why; // null: usable
    } cases[] = {
        {"", {}, nullptr},
        {"3,4,5,6", {3, 4, 5, 6}, nullptr},
        {" 12 , 7,0 ", {12, 7, 0}, nullptr},
        {"3,4,3", {3, 4}, "repeats the address 3"},
        {"3,x,5", {3, 5}, "item 2 is not a terminal address from 0 to 999999999"},
        {"3,,5", {3, 5}, "item 2 is not a terminal address from 0 to 999999999"},
        {"1000000000", {}, "item 1 is not a terminal address from 0 to 999999999"},
        {"-3", {}, "item 1 is not a terminal address from 0 to 999999999"},
        {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17",
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
         "holds more than 16 addresses"},
    };
    for (const Case& c : cases) {
        int out[MaxTerminalAddresses];
        int count = -1;
        char why[160] = "";
        bool usable = ParseTerminalAddresses(c.text, out, &count, why, sizeof why);
        EXPECT_EQ(usable, c.why == nullptr) << c.text;
        EXPECT_EQ(std::vector<int>(out, out + count), c.used) << c.text;
        if (c.why != nullptr) {
            EXPECT_STREQ(why, c.why) << c.text;
        }
        EXPECT_EQ(CheckTerminalAddresses(c.text, why, sizeof why), usable) << c.text;
    }
}
