// FilesTest.cpp - paths, the log writer, the sequence counter and error text.
#include "files/Files.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

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

    DeriveFilePaths("/opt/gw/gateway"); // no "." in the name: appended
    EXPECT_STREQ(SettingsPath, "/opt/gw/gateway.ini");

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
        EXPECT_EQ(NextSequenceNumber(), c.returned) << "stored: " << (c.stored ? c.stored : "none");
        EXPECT_EQ(files.ReadSequence(), c.next) << "stored: " << (c.stored ? c.stored : "none");
    }
}

TEST_F(SequenceCounter, UnopenableFileGivesZeroAtOnce) {
    DeriveFilePaths((files.Directory() + "/missing/dir/gw.exe").c_str());
    int64_t start = PlatformMonotonicMs();
    EXPECT_EQ(NextSequenceNumber(), 0);
    EXPECT_LT(PlatformMonotonicMs() - start, 500);
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
    int number = NextSequenceNumber();
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
        stored = NextSequenceNumber() + 1;
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

TEST(ErrorText, SystemSentenceFollowedByTheCode) {
    PlatformSetLastError(5);
    std::string text = GetLastErrorText();
    ASSERT_GT(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), " [5]");
    EXPECT_NE(text[text.size() - 5], '\n'); // the system's line end is cut off
    EXPECT_NE(text[text.size() - 5], '\r');
}
