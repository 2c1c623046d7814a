// ProfileReloadTest.cpp - settings lookups see every edit of the file at once,
// however the edit is made: in place with the same size, within the same
// instant, with the old modification time put back, by renaming a new file
// over it, or by deleting it. Runs against both platform backends.
#include "Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class ProfileReloadTest : public ::testing::Test {
  protected:
    ProfileReloadTest() : path_(directory_.File("gateway.ini")) {}

    // Rewrites the file in place: same inode, truncated and written again.
    void Write(const std::string& text) const { WriteTo(path_, text); }
    static void WriteTo(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    static std::string Settings(int terminal, int client) {
        return SettingsText(0, 0, "TerminalAddress=" + std::to_string(terminal) + "\nEntryMode=2\n",
                            "127.0.0.1=" + std::to_string(client) + "\n");
    }
    int Terminal() const {
        return PlatformProfileInt("Settings", "TerminalAddress", -1, path_.c_str());
    }
    int Client() const {
        return PlatformProfileInt("Allowed Clients", "127.0.0.1", 0, path_.c_str());
    }
    // Dates the file an hour back, long enough ago to be taken as settled.
    void AgeFile() const {
        fs::last_write_time(path_, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }

    TempDirectory directory_;
    std::string path_;
};

TEST_F(ProfileReloadTest, SameSizeEditsInQuickSuccessionAreEachSeen) {
    // Each pair of versions has the same length, and no pause lets the
    // file's time stamps move on between a write and the next read.
    for (int round = 0; round < 200; ++round) {
        int terminal = 1 + round % 9;
        int client = 9 - round % 9;
        Write(Settings(terminal, client));
        ASSERT_EQ(Terminal(), terminal) << "round " << round;
        ASSERT_EQ(Client(), client) << "round " << round;
        ASSERT_EQ(PlatformProfileInt("Settings", "EntryMode", 0, path_.c_str()), 2);
    }
}

TEST_F(ProfileReloadTest, EditOfAnOldFileIsSeenEvenWithItsModificationTimePutBack) {
    Write(Settings(3, 5));
    AgeFile();
    auto old = fs::last_write_time(path_);
    // Long enough for every time stamp of the file to be in the past, so
    // that a reader may keep what it parsed.
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    EXPECT_EQ(Terminal(), 3);
    EXPECT_EQ(Client(), 5);

    // Same size, and the modification time as it was before the edit (as a
    // copy tool that keeps dates would leave it): only the status-change
    // time tells.
    Write(Settings(7, 8));
    fs::last_write_time(path_, old);
    EXPECT_EQ(Terminal(), 7);
    EXPECT_EQ(Client(), 8);
}

TEST_F(ProfileReloadTest, FileRenamedOverTheOldOneIsSeen) {
    Write(Settings(1, 1));
    AgeFile();
    auto old = fs::last_write_time(path_);
    EXPECT_EQ(Terminal(), 1);

    std::string replacement = directory_.File("gateway.new");
    WriteTo(replacement, Settings(2, 0));
    fs::last_write_time(replacement, old);
    fs::rename(replacement, path_);
    EXPECT_EQ(Terminal(), 2);
    EXPECT_EQ(Client(), 0) << "a client set to 0 is refused at once";
}

TEST_F(ProfileReloadTest, KeysAddedRemovedOrDeletedWithTheFileTakeEffectAtOnce) {
    Write("[Settings]\nTerminalAddress=5\n");
    AgeFile();
    EXPECT_EQ(Terminal(), 5);
    EXPECT_EQ(Client(), 0);

    Write("[Settings]\nTerminalAddress=5\n[Allowed Clients]\n127.0.0.1=12\n");
    EXPECT_EQ(Client(), 12);
    Write("[Settings]\n[Allowed Clients]\n127.0.0.1=12\n");
    EXPECT_EQ(Terminal(), -1) << "a removed key gives the default";

    fs::remove(path_);
    EXPECT_EQ(Terminal(), -1);
    EXPECT_EQ(Client(), 0);
    Write(Settings(6, 3));
    EXPECT_EQ(Terminal(), 6);
}

TEST_F(ProfileReloadTest, ReadersDuringReplacementsSeeOneWholeVersion) {
    Write(Settings(1, 1));
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!done.load()) {
                int terminal = Terminal();
                int client = Client();
                if (terminal < 1 || terminal > 2 || client < 1 || client > 2)
                    ++wrong;
            }
        });
    }
    // Each version is written beside the file and renamed over it, so a
    // reader never meets a half-written file. Windows refuses the rename
    // while a reader has the file open: try again until it is let through.
    std::string replacement = directory_.File("gateway.new");
    int refusedRenames = 0;
    for (int round = 0; round < 200 && refusedRenames < 10000; ++round) {
        int value = 1 + round % 2;
        WriteTo(replacement, Settings(value, value));
        std::error_code error;
        for (fs::rename(replacement, path_, error); error && refusedRenames < 10000;
             fs::rename(replacement, path_, error)) {
            ++refusedRenames;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    done = true;
    for (std::thread& reader : readers)
        reader.join();
    ASSERT_LT(refusedRenames, 10000) << "the file could not be replaced";
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(Terminal(), 2);
}

} // namespace
