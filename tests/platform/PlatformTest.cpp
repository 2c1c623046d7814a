// PlatformTest.cpp - behaviour both platform backends must share: settings
// file lookups, one-writer files, the stop-event-or-lock wait, random bytes
// and HMAC-SHA-256, key files, error text, TCP sockets over loopback, and what each side
// tells its service manager (systemd's notify socket on Linux, the Event Log
// on Windows). Runs natively against the Linux backend and under Wine against
// the Windows one.
#include "Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string UniqueMutexName() {
    static std::atomic<int> counter{0};
    std::random_device random;
    return "QhgPlatformTest-" + std::to_string(random()) + "-" + std::to_string(++counter);
}

} // namespace

// ---------------------------------------------------------------------------
// Settings files

class ProfileTest : public ::testing::Test {
  protected:
    std::string Write(const char* name, const std::string& text) {
        std::string path = dir_.File(name);
        WriteWholeFile(path, text);
        return path;
    }
    static std::string String(const char* section, const char* key, const char* fallback,
                              const std::string& path, size_t size = 64) {
        std::string out(size, '#');
        size_t length =
            PlatformProfileString(section, key, fallback, out.data(), size, path.c_str());
        EXPECT_EQ(length, std::strlen(out.c_str())) << "returned length and text differ";
        return out.c_str();
    }
    TempDirectory dir_;
};

TEST_F(ProfileTest, NamesMatchWithoutRegardToCaseAndBlanksAreIgnored) {
    std::string path = Write("gw.ini", "[Settings]\n"
                                       "  ListenPortNumber  =  8080  \n"
                                       "\tServerPortNumber\t=\t3771\t\n"
                                       "[Allowed Clients]\n"
                                       "192.168.1.20 = 5\n"
                                       "  [Other]\n"
                                       "ListenPortNumber=1\n");
    const char* p = path.c_str();
    EXPECT_EQ(PlatformProfileInt("Settings", "ListenPortNumber", 80, p), 8080);
    EXPECT_EQ(PlatformProfileInt("SETTINGS", "listenportnumber", 80, p), 8080);
    EXPECT_EQ(PlatformProfileInt("settings", "ServerPortNumber", 3770, p), 3771);
    EXPECT_EQ(PlatformProfileInt("allowed clients", "192.168.1.20", 0, p), 5);
    EXPECT_EQ(PlatformProfileInt("Other", "ListenPortNumber", 80, p), 1);
    EXPECT_EQ(String("Settings", "ListenPortNumber", "", path), "8080");
    EXPECT_EQ(String("Settings", "ServerPortNumber", "", path), "3771");
}

TEST_F(ProfileTest, WindowsLineEndsAreNotPartOfValues) {
    std::string path = Write("crlf.ini", "[Settings]\r\nTerminalAddress=7\r\nEntryMode = 3\r\n"
                                         "[Allowed Clients]\r\n127.0.0.1=9\r\n");
    EXPECT_EQ(PlatformProfileInt("Settings", "TerminalAddress", 0, path.c_str()), 7);
    EXPECT_EQ(PlatformProfileInt("Settings", "EntryMode", 2, path.c_str()), 3);
    EXPECT_EQ(PlatformProfileInt("Allowed Clients", "127.0.0.1", 0, path.c_str()), 9);
    EXPECT_EQ(String("Settings", "EntryMode", "", path), "3");
}

TEST_F(ProfileTest, MissingFileSectionKeyOrValueGivesTheDefault) {
    std::string missing = dir_.File("absent.ini");
    EXPECT_EQ(PlatformProfileInt("Settings", "ListenPortNumber", 80, missing.c_str()), 80);
    EXPECT_EQ(String("Settings", "ListenPortNumber", "dflt", missing), "dflt");

    std::string path = Write("gw.ini", "[Settings]\nAllowVoid=\nEntryMode=   \n"
                                       "[Allowed Clients]\n10.0.0.1=4\n");
    const char* p = path.c_str();
    EXPECT_EQ(PlatformProfileInt("Nowhere", "AllowVoid", 17, p), 17);
    EXPECT_EQ(PlatformProfileInt("Settings", "ServerPortNumber", 3770, p), 3770);
    EXPECT_EQ(PlatformProfileInt("Settings", "AllowVoid", -1, p), -1);
    EXPECT_EQ(PlatformProfileInt("Settings", "EntryMode", 2, p), 2);
    // A key of one section is not found under another.
    EXPECT_EQ(PlatformProfileInt("Settings", "10.0.0.1", 0, p), 0);
    EXPECT_EQ(String("Settings", "AllowVoid", "dflt", path), "dflt");
    EXPECT_EQ(String("Settings", "Missing", nullptr, path), "");
}

TEST_F(ProfileTest, IntegersTakeSignAndLeadingDigitsOnly) {
    std::string path = Write("num.ini", "[Settings]\n"
                                        "Negative=-3\n"
                                        "Plus=+12\n"
                                        "Garbage=42abc\n"
                                        "Spaced=15 20\n"
                                        "Letters=abc\n"
                                        "Zero=0\n");
    const char* p = path.c_str();
    EXPECT_EQ(PlatformProfileInt("Settings", "Negative", 99, p), -3);
    EXPECT_EQ(PlatformProfileInt("Settings", "Plus", 99, p), 12);
    EXPECT_EQ(PlatformProfileInt("Settings", "Garbage", 99, p), 42);
    EXPECT_EQ(PlatformProfileInt("Settings", "Spaced", 99, p), 15);
    // A value that is there but has no digits is 0, not the default.
    EXPECT_EQ(PlatformProfileInt("Settings", "Letters", 99, p), 0);
    EXPECT_EQ(PlatformProfileInt("Settings", "Zero", 99, p), 0);
}

TEST_F(ProfileTest, FirstOfDuplicateKeysWinsAndLongValuesAreCut) {
    std::string path = Write("dup.ini", "[Settings]\n"
                                        "ListenPortNumber=81\n"
                                        "listenportnumber=82\n"
                                        "Name=abcdefgh\n");
    EXPECT_EQ(PlatformProfileInt("Settings", "ListenPortNumber", 80, path.c_str()), 81);
    EXPECT_EQ(String("Settings", "Name", "", path, 5), "abcd");
    EXPECT_EQ(String("Settings", "Missing", "defaultvalue", path, 4), "def");
}

// ---------------------------------------------------------------------------
// One-writer files

class OneWriterFileTest : public ::testing::Test {
  protected:
    TempDirectory dir_;
};

TEST_F(OneWriterFileTest, SecondWriterIsRefusedUntilTheFirstCloses) {
    std::string path = dir_.File("gw.seq");
    int error = 0;
    PlatformFile* first = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(first, nullptr) << "error " << error;
    EXPECT_TRUE(fs::exists(path)) << "opening must create a missing file";

    error = 0;
    PlatformFile* second = PlatformOpenForUpdate(path.c_str(), &error);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(error, PlatformSharingViolation);
    // Readers are still let in while the writer holds the file.
    EXPECT_EQ(ReadWholeFile(path), "");

    EXPECT_TRUE(PlatformFileClose(first));
    second = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(second, nullptr) << "error " << error;
    EXPECT_TRUE(PlatformFileClose(second));
}

TEST_F(OneWriterFileTest, ReadWriteAndResizeAtOffsetsWithoutTruncatingOnOpen) {
    std::string path = dir_.File("gw.seq");
    WriteWholeFile(path, "1000000");
    int error = 0;
    PlatformFile* file = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(file, nullptr) << "error " << error;

    char buffer[32] = {};
    EXPECT_EQ(PlatformFileReadAt(file, 0, buffer, sizeof buffer), 7);
    EXPECT_STREQ(buffer, "1000000");
    EXPECT_EQ(PlatformFileReadAt(file, 4, buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "00");
    // Reading past the end gives nothing rather than failing.
    EXPECT_EQ(PlatformFileReadAt(file, 100, buffer, sizeof buffer), 0);

    EXPECT_EQ(PlatformFileWriteAt(file, 0, "1", 1), 1);
    EXPECT_TRUE(PlatformFileSetSize(file, 1));
    EXPECT_TRUE(PlatformFileClose(file));
    EXPECT_EQ(ReadWholeFile(path), "1");

    file = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(file, nullptr) << "error " << error;
    EXPECT_EQ(PlatformFileWriteAt(file, 1, "23", 2), 2);
    EXPECT_TRUE(PlatformFileClose(file));
    EXPECT_EQ(ReadWholeFile(path), "123");
}

// Threads reading and writing one file at their own offsets never get each
// other's bytes: an offset is never a position the file shares.
TEST_F(OneWriterFileTest, ThreadsReadAndWriteOneFileAtTheirOwnOffsets) {
    std::string path = dir_.File("gw.rec");
    int error = 0;
    PlatformFile* file = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(file, nullptr) << "error " << error;
    constexpr int Threads = 8, Rounds = 400, Block = 512;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            std::string mine(Block, char('a' + t)), read(Block, '\0');
            for (int round = 0; round < Rounds; ++round) {
                long offset = long(round % 4 * Threads + t) * Block;
                if (PlatformFileWriteAt(file, offset, mine.data(), Block) != Block ||
                    PlatformFileReadAt(file, offset, read.data(), Block) != Block || read != mine)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(PlatformFileSetSize(file, 3 * Block));
    EXPECT_EQ(PlatformFileSize(file), 3 * Block);
    char past[4];
    EXPECT_EQ(PlatformFileReadAt(file, 3 * Block, past, sizeof past), 0);
    EXPECT_TRUE(PlatformFileClose(file));
    EXPECT_EQ(ReadWholeFile(path),
              std::string(Block, 'a') + std::string(Block, 'b') + std::string(Block, 'c'));
}

TEST_F(OneWriterFileTest, AppendTextCreatesAppendsAndWritesTextLineEnds) {
    std::string path = dir_.File("gw.txt");
    const char first[] = "a: one\n";
    const char second[] = "b: two\nc\n";
    EXPECT_EQ(PlatformAppendText(path.c_str(), first, std::strlen(first)), 0);
    EXPECT_EQ(PlatformAppendText(path.c_str(), second, std::strlen(second)), 0);
#ifdef _WIN32
    EXPECT_EQ(ReadWholeFile(path), "a: one\r\nb: two\r\nc\r\n");
#else
    EXPECT_EQ(ReadWholeFile(path), "a: one\nb: two\nc\n");
#endif
}

TEST_F(OneWriterFileTest, AppendTextIsRefusedWhileAWriterHoldsTheFile) {
    std::string path = dir_.File("gw.txt");
    int error = 0;
    PlatformFile* holder = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(holder, nullptr) << "error " << error;
    EXPECT_EQ(PlatformAppendText(path.c_str(), "x\n", 2), PlatformSharingViolation);
    EXPECT_TRUE(PlatformFileClose(holder));
    EXPECT_EQ(ReadWholeFile(path), "") << "a refused append must write nothing";
    EXPECT_EQ(PlatformAppendText(path.c_str(), "x", 1), 0);
    EXPECT_EQ(ReadWholeFile(path), "x");
}

// The reader for a status scrape: never creates, and reads past a writer.
TEST_F(OneWriterFileTest, ReadFileHeadReadsWhileAWriterHoldsAndNeverCreates) {
    std::string path = dir_.File("gw.seq");
    char buffer[8] = {};
    int error = 0;
    EXPECT_EQ(PlatformReadFileHead(path.c_str(), buffer, sizeof buffer, &error), -1);
    EXPECT_EQ(error, PlatformFileNotFound);
    EXPECT_FALSE(fs::exists(path));

    WriteWholeFile(path, "123456789");
    PlatformFile* writer = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(writer, nullptr) << "error " << error;
    EXPECT_EQ(PlatformReadFileHead(path.c_str(), buffer, sizeof buffer, &error), 8);
    EXPECT_EQ(std::string(buffer, 8), "12345678");
    // ...and the writer is not held off by a reader.
    EXPECT_EQ(PlatformFileWriteAt(writer, 0, "9", 1), 1);
    EXPECT_TRUE(PlatformFileClose(writer));
    EXPECT_EQ(PlatformReadFileHead(path.c_str(), buffer, 2, &error), 2);
    EXPECT_EQ(std::string(buffer, 2), "92");
}

TEST_F(OneWriterFileTest, AppendTextLeavesTheFileFreeForTheNextWriter) {
    std::string path = dir_.File("gw.txt");
    ASSERT_EQ(PlatformAppendText(path.c_str(), "x", 1), 0);
    int error = 0;
    PlatformFile* file = PlatformOpenForUpdate(path.c_str(), &error);
    ASSERT_NE(file, nullptr) << "error " << error;
    EXPECT_TRUE(PlatformFileClose(file));
}

// ---------------------------------------------------------------------------
// The stop event and the transaction lock

// Takes the lock on a thread of its own and holds it until told to let go:
// the lock belongs to the thread that took it.
class LockHolder {
  public:
    explicit LockHolder(PlatformMutex* mutex) : mutex_(mutex) {
        thread_ = std::thread([this] {
            PlatformEvent* never = PlatformCreateEvent();
            taken_ = PlatformWaitEventOrMutex(never, mutex_, 5000) == PlatformWaitResult::Mutex;
            ready_ = true;
            WaitUntil([this] { return release_.load(); }, 10000);
            if (taken_)
                PlatformReleaseMutex(mutex_);
        });
        WaitUntil([this] { return ready_.load(); });
    }
    ~LockHolder() {
        Release();
        thread_.join();
    }
    bool Taken() const { return taken_; }
    void Release() { release_ = true; }

  private:
    PlatformMutex* mutex_;
    std::atomic<bool> taken_{false};
    std::atomic<bool> ready_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

// True if another thread can take the lock at once (and gives it back).
bool LockIsFree(PlatformMutex* mutex) {
    PlatformWaitResult result = PlatformWaitResult::Failed;
    std::thread probe([&] {
        PlatformEvent* never = PlatformCreateEvent();
        result = PlatformWaitEventOrMutex(never, mutex, 0);
        if (result == PlatformWaitResult::Mutex)
            PlatformReleaseMutex(mutex);
    });
    probe.join();
    return result == PlatformWaitResult::Mutex;
}

class LockWaitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stop_ = PlatformCreateEvent();
        mutex_ = PlatformCreateMutex(UniqueMutexName().c_str());
        ASSERT_NE(stop_, nullptr);
        ASSERT_NE(mutex_, nullptr);
    }
    PlatformEvent* stop_ = nullptr;
    PlatformMutex* mutex_ = nullptr;
};

TEST_F(LockWaitTest, FreeLockIsTakenAndHeldUntilReleased) {
    EXPECT_FALSE(PlatformEventIsSet(stop_));
    ASSERT_EQ(PlatformWaitEventOrMutex(stop_, mutex_, 1000), PlatformWaitResult::Mutex);
    EXPECT_FALSE(LockIsFree(mutex_)) << "the lock must stay ours until released";
    PlatformReleaseMutex(mutex_);
    EXPECT_TRUE(LockIsFree(mutex_));
}

TEST_F(LockWaitTest, TimesOutWhileAnotherThreadHoldsTheLock) {
    LockHolder holder(mutex_);
    ASSERT_TRUE(holder.Taken());
    int64_t start = PlatformMonotonicMs();
    EXPECT_EQ(PlatformWaitEventOrMutex(stop_, mutex_, 150), PlatformWaitResult::Timeout);
    int64_t waited = PlatformMonotonicMs() - start;
    EXPECT_GE(waited, 120);
    EXPECT_LT(waited, 3000);
}

TEST_F(LockWaitTest, EventWinsWhenBothAreReadyAndTheLockIsLeftFree) {
    PlatformSetEvent(stop_);
    EXPECT_TRUE(PlatformEventIsSet(stop_));
    EXPECT_EQ(PlatformWaitEventOrMutex(stop_, mutex_, 1000), PlatformWaitResult::Event);
    EXPECT_TRUE(LockIsFree(mutex_));
    // Manual reset: every later waiter sees the event too.
    EXPECT_EQ(PlatformWaitEventOrMutex(stop_, mutex_, 0), PlatformWaitResult::Event);
    EXPECT_TRUE(PlatformEventIsSet(stop_));
}

TEST_F(LockWaitTest, EventEndsAWaitForAHeldLock) {
    LockHolder holder(mutex_);
    ASSERT_TRUE(holder.Taken());
    std::thread stopper([this] {
        PlatformSleepMs(100);
        PlatformSetEvent(stop_);
    });
    int64_t start = PlatformMonotonicMs();
    EXPECT_EQ(PlatformWaitEventOrMutex(stop_, mutex_, 10000), PlatformWaitResult::Event);
    EXPECT_LT(PlatformMonotonicMs() - start, 3000);
    stopper.join();
}

TEST_F(LockWaitTest, ReleaseHandsTheLockToAWaiter) {
    LockHolder holder(mutex_);
    ASSERT_TRUE(holder.Taken());
    std::thread releaser([&holder] {
        PlatformSleepMs(100);
        holder.Release();
    });
    int64_t start = PlatformMonotonicMs();
    EXPECT_EQ(PlatformWaitEventOrMutex(stop_, mutex_, 10000), PlatformWaitResult::Mutex);
    EXPECT_LT(PlatformMonotonicMs() - start, 3000);
    releaser.join();
    EXPECT_FALSE(LockIsFree(mutex_));
    PlatformReleaseMutex(mutex_);
}

TEST(ThreadTest, StartsADetachedThreadWithItsParameter) {
    struct Shared {
        std::atomic<int> value{0};
    } shared;
    auto proc = [](void* raw) -> unsigned {
        // Touch a few KB of stack: connection threads run with a small one.
        volatile char work[4096];
        for (size_t i = 0; i < sizeof work; ++i)
            work[i] = char(i);
        static_cast<Shared*>(raw)->value = 1 + work[100];
        return 0;
    };
    ASSERT_TRUE(PlatformStartThread(proc, &shared, 0x4000));
    EXPECT_TRUE(WaitUntil([&] { return shared.value.load() != 0; }));
    EXPECT_EQ(shared.value.load(), 101);
}

// ---------------------------------------------------------------------------
// Random bytes and HMAC-SHA-256

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += "0123456789abcdef"[bytes[i] >> 4];
        text += "0123456789abcdef"[bytes[i] & 15];
    }
    return text;
}

std::string HmacHex(const std::string& key, const std::string& data) {
    unsigned char out[PlatformHmacSize];
    // Empty strings go in as null pointers, as a caller with nothing may pass them.
    if (!PlatformHmacSha256(key.empty() ? nullptr : key.data(), key.size(),
                            data.empty() ? nullptr : data.data(), data.size(), out))
        return "failed";
    return Hex(out, sizeof out);
}

struct HmacCase {
    std::string key, data, expected;
};

// RFC 4231's cases (the truncated one left out), then the empty key and
// message, with their published results.
std::vector<HmacCase> KnownHmacCases() {
    std::string longKey(131, '\xaa'); // beyond SHA-256's 64-byte block: hashed first
    return {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15"
         "\x16\x17\x18\x19",
         std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {longKey, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {longKey,
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        {"", "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
}

} // namespace

TEST(CryptoTest, HmacSha256GivesTheKnownResults) {
    std::vector<HmacCase> cases = KnownHmacCases();
    // Every case right after every case, itself included: the same key
    // again, another key of the same length, and a longer or shorter one.
    for (const HmacCase& before : cases) {
        for (const HmacCase& c : cases) {
            SCOPED_TRACE(before.data + " then " + c.data);
            EXPECT_EQ(HmacHex(before.key, before.data), before.expected);
            EXPECT_EQ(HmacHex(c.key, c.data), c.expected);
        }
    }
}

TEST(CryptoTest, HmacSha256FromManyThreadsAtOnce) {
    // Each thread its own 32-byte key and a message long enough that calls
    // overlap; every result must be the one a lone call gives.
    constexpr size_t threadCount = 4;
    std::string keys[threadCount], data[threadCount], expected[threadCount];
    for (size_t t = 0; t < threadCount; ++t) {
        keys[t] = std::string(32, char('k' + t));
        data[t] = std::string(8192, char('a' + t));
        expected[t] = HmacHex(keys[t], data[t]);
    }
    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < 400; ++i) {
                if (HmacHex(keys[t], data[t]) != expected[t])
                    ++wrong;
            }
        });
    }
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(CryptoTest, RandomBytesDifferBetweenDrawsAndFillTheWholeBuffer) {
    unsigned char first[32] = {}, second[32] = {};
    ASSERT_TRUE(PlatformRandomBytes(first, sizeof first));
    ASSERT_TRUE(PlatformRandomBytes(second, sizeof second));
    EXPECT_NE(Hex(first, sizeof first), Hex(second, sizeof second));

    // In 64 KiB every byte value turns up (a miss has odds near 2^-360), and
    // the last bytes are written too, not left as they were.
    std::vector<unsigned char> large(65536, 0);
    ASSERT_TRUE(PlatformRandomBytes(large.data(), large.size()));
    std::vector<bool> seen(256, false);
    for (unsigned char byte : large)
        seen[byte] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0);
    EXPECT_NE(Hex(large.data() + large.size() - 32, 32), std::string(64, '0'));
    EXPECT_TRUE(PlatformRandomBytes(nullptr, 0));
}

// ---------------------------------------------------------------------------
// Key files

TEST(KeyFileTest, CreatedOnceReadBackWholeAndNeverReplaced) {
    TempDirectory dir;
    std::string path = dir.File("gw.key");
    unsigned char key[32], other[32], back[32];
    ASSERT_TRUE(PlatformRandomBytes(key, sizeof key));
    ASSERT_TRUE(PlatformRandomBytes(other, sizeof other));
    std::string clear(reinterpret_cast<char*>(key), sizeof key);
    int error = -1;
    EXPECT_EQ(PlatformReadKeyFile(path.c_str(), back, sizeof back, &error),
              PlatformKeyFileResult::Missing);
    EXPECT_EQ(error, PlatformFileNotFound);
    ASSERT_EQ(PlatformCreateKeyFile(path.c_str(), key, sizeof key, &error),
              PlatformKeyFileResult::Ok)
        << error;
    std::string stored = ReadWholeFile(path);
#ifdef _WIN32
    // Wine's DPAPI is not bound to the machine's secrets as Windows's is:
    // this shows the round trip and that the file holds a sealed blob, not
    // that another machine could not unseal it.
    EXPECT_GT(stored.size(), clear.size());
    EXPECT_EQ(stored.find(clear), std::string::npos);
#else
    EXPECT_EQ(stored, clear);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1)
        << "a draft was left beside the key";
    EXPECT_EQ(PlatformCreateKeyFile(path.c_str(), other, sizeof other, &error),
              PlatformKeyFileResult::Exists);
    EXPECT_EQ(ReadWholeFile(path), stored);
    ASSERT_EQ(PlatformReadKeyFile(path.c_str(), back, sizeof back, &error),
              PlatformKeyFileResult::Ok);
    EXPECT_EQ(std::memcmp(back, key, sizeof key), 0);

    // A key of another size is not this one, and none of it is handed out.
    std::memset(back, 0x5a, sizeof back);
    EXPECT_EQ(PlatformReadKeyFile(path.c_str(), back, 16, &error), PlatformKeyFileResult::Damaged);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 16), std::string(16, '\0'));
}

#ifndef _WIN32
TEST(KeyFileTest, FileOthersMayReachOrOwnIsRefusedAndLeftAsItIs) {
    TempDirectory dir;
    std::string path = dir.File("gw.key");
    unsigned char key[32] = {1, 2, 3}, back[32];
    int error = 0;
    ASSERT_EQ(PlatformCreateKeyFile(path.c_str(), key, sizeof key, &error),
              PlatformKeyFileResult::Ok);
    for (int mode : {0644, 0640, 0602, 0610}) {
        fs::permissions(path, fs::perms(mode));
        std::memset(back, 0x5a, sizeof back);
        EXPECT_EQ(PlatformReadKeyFile(path.c_str(), back, sizeof back, &error),
                  PlatformKeyFileResult::OpenToOthers);
        EXPECT_EQ(error, mode);
        EXPECT_EQ(back[0] | back[31], 0);
        EXPECT_EQ(int(fs::status(path).permissions()), mode) << "permissions were changed";
    }
    fs::permissions(path, fs::perms(0600));
    EXPECT_EQ(PlatformReadKeyFile(path.c_str(), back, sizeof back, &error),
              PlatformKeyFileResult::Ok);
    if (geteuid() != 0)
        GTEST_SKIP() << "giving the file to another account needs root";
    ASSERT_EQ(chown(path.c_str(), 4321, 4321), 0);
    EXPECT_EQ(PlatformReadKeyFile(path.c_str(), back, sizeof back, &error),
              PlatformKeyFileResult::OtherOwner);
    EXPECT_EQ(error, 4321);
}
#endif

// ---------------------------------------------------------------------------
// Errors, time and process facts

TEST(SystemTextTest, ErrorSentenceIsOneLineWithoutLineEnd) {
    SetSystemError(5);
    EXPECT_EQ(PlatformLastError(), 5);

    char sentence[256];
    ASSERT_TRUE(PlatformErrorSentence(5, sentence, sizeof sentence));
    std::string text = sentence;
    EXPECT_GT(text.size(), 3u);
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_NE(text.back(), ' ') << text;

    char small[8];
    std::memset(small, '#', sizeof small);
    ASSERT_TRUE(PlatformErrorSentence(5, small, sizeof small));
    EXPECT_EQ(std::string(small), text.substr(0, 7));
}

TEST(SystemTextTest, LocalDateAndTwentyFourHourTime) {
    char date[64];
    char time[32];
    PlatformLocalDateTime(date, sizeof date, time, sizeof time);
    EXPECT_TRUE(std::regex_search(date, std::regex("[0-9]"))) << date;
    std::cmatch parts;
    ASSERT_TRUE(std::regex_match(time, parts, std::regex("([0-9]{1,2})[:.]([0-9]{2})[:.][0-9]{2}")))
        << time;
    EXPECT_LT(std::stoi(parts[1].str()), 24);
    EXPECT_LT(std::stoi(parts[2].str()), 60);
}

// The local time less its offset is the UTC clock's time. POSIX zones count
// west as positive: XST-5:30 is UTC+05:30.
TEST(SystemTextTest, LocalTimeWithMillisecondsAndUtcOffset) {
    auto offset = [] {
        PlatformLocalTime t;
        PlatformLocalNow(&t);
        int64_t utc = PlatformUtcMilliseconds();
        EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.hour < 24 && t.millisecond < 1000);
        auto days =
            std::chrono::sys_days(std::chrono::year(t.year) / unsigned(t.month) / unsigned(t.day));
        int64_t wall = int64_t(days.time_since_epoch().count()) * 86400000 +
                       ((t.hour * 60 + t.minute) * 60 + t.second) * 1000LL + t.millisecond;
        EXPECT_LT(std::llabs(wall - t.utcOffsetMinutes * 60000LL - utc), 2000);
        return t.utcOffsetMinutes;
    };
    offset();
#ifndef _WIN32
    const char* saved = getenv("TZ");
    std::string zone = saved != nullptr ? saved : "";
    for (auto [name, minutes] : {std::pair{"XST-5:30", 330}, std::pair{"YST3", -180}}) {
        setenv("TZ", name, 1);
        tzset();
        EXPECT_EQ(offset(), minutes) << name;
    }
    saved != nullptr ? setenv("TZ", zone.c_str(), 1) : unsetenv("TZ");
    tzset();
#endif
}

TEST(SystemTextTest, ClocksAndProcessFacts) {
    // 2020-01-01 UTC, a floor that a broken epoch conversion misses.
    EXPECT_GT(PlatformUtcMilliseconds(), 1577836800000LL);
    int64_t before = PlatformMonotonicMs();
    PlatformSleepMs(60);
    int64_t slept = PlatformMonotonicMs() - before;
    EXPECT_GE(slept, 50);
    EXPECT_LT(slept, 5000);

    char path[512];
    ASSERT_TRUE(PlatformExecutablePath(path, sizeof path));
    EXPECT_NE(std::string(path).find("platform_test"), std::string::npos) << path;
    char cut[4];
    EXPECT_FALSE(PlatformExecutablePath(cut, sizeof cut)) << "a cut path must not pass as whole";

    char user[64];
    ASSERT_TRUE(PlatformUserName(user, sizeof user));
    EXPECT_GT(std::strlen(user), 0u);
}

// ---------------------------------------------------------------------------
// TCP sockets over loopback

// Runs before any suite has started the socket library: the look-up must
// manage that itself.
TEST(ResolveTest, DottedAddressesAndLocalHost) {
    char out[32];
    ASSERT_TRUE(PlatformResolveIPv4("127.0.0.1", out, sizeof out));
    EXPECT_STREQ(out, "127.0.0.1");
    ASSERT_TRUE(PlatformResolveIPv4("localhost", out, sizeof out));
    EXPECT_STREQ(out, "127.0.0.1");
    EXPECT_FALSE(PlatformResolveIPv4("no-such-host.invalid", out, sizeof out));
}

class Socket {
  public:
    Socket() : s_(PlatformTcpSocket()) {}
    explicit Socket(PlatformSocket s) : s_(s) {}
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    PlatformSocket Get() const { return s_; }
    void Close() {
        if (s_ != PlatformNoSocket)
            PlatformCloseSocket(s_);
        s_ = PlatformNoSocket;
    }

  private:
    PlatformSocket s_;
};

class SocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PlatformSocketStartup());
        started_ = true;
        stop_ = PlatformCreateEvent();
        listener_ = std::make_unique<Socket>();
        ASSERT_NE(listener_->Get(), PlatformNoSocket);
        ASSERT_EQ(PlatformBind(listener_->Get(), nullptr, 0), 0);
        ASSERT_EQ(PlatformListen(listener_->Get(), 0x7fffffff), 0);
        port_ = PlatformLocalPort(listener_->Get());
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        listener_.reset();
        if (started_)
            PlatformSocketCleanup();
    }
    // Connects a client to the listener from another thread after delayMs.
    std::thread ConnectLater(Socket& client, int delayMs, int* result) {
        return std::thread([this, &client, delayMs, result] {
            PlatformSleepMs(unsigned(delayMs));
            *result = PlatformConnect(client.Get(), "127.0.0.1", port_);
        });
    }
    // Accepts one connection made by a client right now.
    PlatformSocket AcceptNow(Socket& client, std::string* peer = nullptr) {
        int connected = -1;
        std::thread t = ConnectLater(client, 0, &connected);
        int waited = PlatformWaitAcceptOrEvent(listener_->Get(), stop_);
        t.join();
        EXPECT_EQ(connected, 0);
        EXPECT_EQ(waited, 1);
        char text[32] = {};
        PlatformSocket s = PlatformAccept(listener_->Get(), text, sizeof text);
        if (peer != nullptr)
            *peer = text;
        return s;
    }

    bool started_ = false;
    PlatformEvent* stop_ = nullptr;
    // Made in SetUp: Windows Sockets must be started before any socket.
    std::unique_ptr<Socket> listener_;
    unsigned short port_ = 0;
};

// The listener's wait set: connections waiting on the listener, sockets that
// turn readable (bytes or a close) each reported once with their tag, more
// ready than fit in one wait kept for the next, and the event.
TEST_F(SocketTest, WaitSetReportsConnectionsReadySocketsOnceAndTheEvent) {
    PlatformWaitSet* set = PlatformCreateWaitSet(listener_->Get(), stop_);
    ASSERT_NE(set, nullptr);
    void* ready[4] = {};
    PlatformWaitSetReport report;
    auto wait = [&](int timeoutMs, int room) {
        EXPECT_TRUE(PlatformWaitSetWait(set, timeoutMs, ready, room, &report));
        return report.readyCount;
    };
    EXPECT_EQ(wait(50, 4), 0);
    EXPECT_FALSE(report.connectionWaiting || report.eventSet);

    Socket clients[3];
    PlatformSocket accepted[3];
    int tags[3];
    for (Socket& client : clients)
        ASSERT_EQ(PlatformConnect(client.Get(), "127.0.0.1", port_), 0);
    wait(5000, 4);
    EXPECT_TRUE(report.connectionWaiting);
    char peer[32];
    for (int i = 0; i < 3; ++i) {
        accepted[i] = PlatformAcceptNonBlocking(listener_->Get(), peer, sizeof peer);
        ASSERT_NE(accepted[i], PlatformNoSocket);
        EXPECT_STREQ(peer, "127.0.0.1");
        ASSERT_TRUE(PlatformWatchSocket(set, accepted[i], &tags[i]));
    }
    // Neither the listener nor an accepted socket blocks.
    EXPECT_EQ(PlatformAcceptNonBlocking(listener_->Get(), peer, sizeof peer), PlatformNoSocket);
    EXPECT_EQ(PlatformSocketError(), PlatformErrorWouldBlock);
    char buffer[8];
    EXPECT_EQ(PlatformRecv(accepted[0], buffer, sizeof buffer), -1);
    EXPECT_EQ(PlatformSocketError(), PlatformErrorWouldBlock);
    EXPECT_EQ(wait(50, 4), 0);
    EXPECT_FALSE(report.connectionWaiting);

    // Bytes on the first, a close on the second, one room: one now, one next.
    PlatformSend(clients[0].Get(), "x", 1);
    clients[1].Close();
    PlatformSleepMs(100);
    EXPECT_EQ(wait(5000, 1), 1);
    void* first = ready[0];
    EXPECT_EQ(wait(5000, 1), 1);
    std::vector<void*> both = {first, ready[0]};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(both, (std::vector<void*>{&tags[0], &tags[1]}));
    // Reported once, though the byte is still unread; an unwatched socket never.
    PlatformUnwatchSocket(set, accepted[2]);
    PlatformSend(clients[2].Get(), "y", 1);
    EXPECT_EQ(wait(100, 4), 0);
    EXPECT_EQ(PlatformRecv(accepted[0], buffer, sizeof buffer), 1);
    EXPECT_EQ(PlatformRecv(accepted[1], buffer, sizeof buffer), 0);

    PlatformSetEvent(stop_);
    wait(-1, 4);
    EXPECT_TRUE(report.eventSet);
    for (PlatformSocket socket : accepted)
        PlatformCloseSocket(socket);
    PlatformDestroyWaitSet(set);
}

TEST_F(SocketTest, SecondListenerOnALivePortFailsWithAddressInUse) {
    Socket second;
    EXPECT_EQ(PlatformBind(second.Get(), nullptr, port_), PlatformErrorAddressInUse);
    Socket third;
    EXPECT_EQ(PlatformBind(third.Get(), "127.0.0.1", port_), PlatformErrorAddressInUse);
}

TEST_F(SocketTest, WaitReturnsZeroForTheEventWithoutPolling) {
    PlatformSetEvent(stop_);
    EXPECT_EQ(PlatformWaitAcceptOrEvent(listener_->Get(), stop_), 0);

    PlatformEvent* later = PlatformCreateEvent();
    std::thread setter([later] {
        PlatformSleepMs(100);
        PlatformSetEvent(later);
    });
    int64_t start = PlatformMonotonicMs();
    EXPECT_EQ(PlatformWaitAcceptOrEvent(listener_->Get(), later), 0);
    int64_t waited = PlatformMonotonicMs() - start;
    setter.join();
    EXPECT_GE(waited, 80);
    EXPECT_LT(waited, 3000);
}

TEST_F(SocketTest, WaitReturnsOneForAConnectionWaitingOrArriving) {
    // A connection that arrives while waiting.
    Socket late;
    int connected = -1;
    std::thread t = ConnectLater(late, 100, &connected);
    EXPECT_EQ(PlatformWaitAcceptOrEvent(listener_->Get(), stop_), 1);
    t.join();
    ASSERT_EQ(connected, 0);
    char peer[32] = {};
    Socket first(PlatformAccept(listener_->Get(), peer, sizeof peer));
    ASSERT_NE(first.Get(), PlatformNoSocket);
    EXPECT_STREQ(peer, "127.0.0.1");

    // A connection already queued before the wait starts.
    Socket early;
    ASSERT_EQ(PlatformConnect(early.Get(), "127.0.0.1", port_), 0);
    EXPECT_EQ(PlatformWaitAcceptOrEvent(listener_->Get(), stop_), 1);
    Socket second(PlatformAccept(listener_->Get(), peer, sizeof peer));
    EXPECT_NE(second.Get(), PlatformNoSocket);

    // With nothing queued any more, the wait is for the event alone.
    std::thread setter([this] {
        PlatformSleepMs(100);
        PlatformSetEvent(stop_);
    });
    EXPECT_EQ(PlatformWaitAcceptOrEvent(listener_->Get(), stop_), 0);
    setter.join();
}

TEST_F(SocketTest, AcceptedSocketBlocksAndCarriesBytesBothWays) {
    Socket client;
    std::string peer;
    Socket server(AcceptNow(client, &peer));
    ASSERT_NE(server.Get(), PlatformNoSocket);
    EXPECT_EQ(peer, "127.0.0.1");

    EXPECT_EQ(PlatformWaitReadable(server.Get(), 50), 0);
    std::thread sender([&client] {
        PlatformSleepMs(150);
        PlatformSend(client.Get(), "GET /Sale?1+2+3", 15);
    });
    // A non-blocking socket would fail here at once instead of waiting.
    char buffer[64] = {};
    long got = PlatformRecv(server.Get(), buffer, sizeof buffer);
    sender.join();
    ASSERT_EQ(got, 15);
    EXPECT_EQ(std::string(buffer, 15), "GET /Sale?1+2+3");

    const char reply[] = "\x00\x03"
                         "A\x1c"
                         "B";
    ASSERT_EQ(PlatformSend(server.Get(), reply, 5), 5);
    PlatformShutdownSend(server.Get());
    ASSERT_EQ(PlatformWaitReadable(client.Get(), 2000), 1);
    std::string received;
    while (true) {
        long n = PlatformRecv(client.Get(), buffer, sizeof buffer);
        ASSERT_GE(n, 0);
        if (n == 0)
            break;
        received.append(buffer, size_t(n));
    }
    EXPECT_EQ(received, std::string(reply, 5));
    EXPECT_EQ(PlatformRecv(client.Get(), buffer, 0), 0);
}

TEST_F(SocketTest, SendToAClosedPeerFailsWithoutEndingTheProcess) {
    Socket client;
    Socket server(AcceptNow(client));
    ASSERT_NE(server.Get(), PlatformNoSocket);
    client.Close();
    long result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) {
        result = PlatformSend(server.Get(), "data", 4);
        PlatformSleepMs(5);
    }
    EXPECT_EQ(result, -1);
    EXPECT_NE(PlatformSocketError(), 0);
}

TEST_F(SocketTest, ConnectToAClosedPortReportsItsError) {
    Socket probe;
    ASSERT_EQ(PlatformBind(probe.Get(), "127.0.0.1", 0), 0);
    unsigned short unused = PlatformLocalPort(probe.Get());
    probe.Close(); // bound but never listening: nothing answers on it now
    Socket client;
    ASSERT_TRUE(PlatformSetKeepAlive(client.Get()));
    int refused = PlatformConnect(client.Get(), "127.0.0.1", unused);
    EXPECT_NE(refused, 0);
    Socket limited;
    EXPECT_EQ(PlatformConnectWithin(limited.Get(), "127.0.0.1", unused, 2000), refused);
}

TEST_F(SocketTest, ConnectWithinConnectsOrGivesUpInTime) {
    Socket client;
    ASSERT_EQ(PlatformConnectWithin(client.Get(), "127.0.0.1", port_, 2000), 0);
    // Left blocking, as a plain connect leaves it.
    ASSERT_EQ(PlatformSend(client.Get(), "x", 1), 1);
    Socket accepted(PlatformAccept(listener_->Get(), nullptr, 0));
    char byte = 0;
    EXPECT_EQ(PlatformRecv(accepted.Get(), &byte, 1), 1);

    // A listener whose queue is full lets new connects hang, under Wine too:
    // each gives up at its own limit with the platform's timed-out code.
    SynDropper dropper;
    ASSERT_TRUE(dropper.Dropping());
    for (int limitMs : {300, 1000}) {
        Socket hanging;
        int64_t start = PlatformMonotonicMs();
        EXPECT_EQ(PlatformConnectWithin(hanging.Get(), "127.0.0.1", dropper.Port(), limitMs),
                  PlatformErrorTimedOut);
        int64_t waited = PlatformMonotonicMs() - start;
        EXPECT_GE(waited, limitMs - 50);
        EXPECT_LT(waited, limitMs + 1000);
    }
#ifdef _WIN32
    EXPECT_EQ(PlatformErrorTimedOut, 10060);
#else
    EXPECT_EQ(PlatformErrorTimedOut, 110);
#endif
}

// ---------------------------------------------------------------------------
// Telling the service manager

#ifndef _WIN32

// Each case starts and ends with none of systemd's variables set; the
// manager's end of the notify socket is a datagram socket the case binds.
class ServiceManagerTest : public ::testing::Test {
  protected:
    ServiceManagerTest() { Clear(); }
    ~ServiceManagerTest() override {
        Clear();
        for (int fd : fds_)
            close(fd);
    }
    static void Clear() {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            unsetenv(name);
    }
    // Binds to a path, or to an abstract name written with a leading '@'.
    int Bind(const std::string& address) {
        sockaddr_un name{};
        name.sun_family = AF_UNIX;
        std::memcpy(name.sun_path, address.data(), address.size());
        if (address[0] == '@')
            name.sun_path[0] = '\0';
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        fds_.push_back(fd);
        socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + address.size());
        return bind(fd, reinterpret_cast<sockaddr*>(&name), size) == 0 ? fd : -1;
    }
    // The next datagram whole, or "(none)" when nothing comes within timeoutMs.
    static std::string Next(int fd, int timeoutMs = 2000) {
        pollfd ready{fd, POLLIN, 0};
        char buffer[512];
        ssize_t size = poll(&ready, 1, timeoutMs) == 1 ? recv(fd, buffer, sizeof buffer, 0) : -1;
        return size < 0 ? "(none)" : std::string(buffer, size_t(size));
    }
    TempDirectory dir_;
    std::vector<int> fds_;
};

// Each state is one datagram, to a path or an abstract name; without a
// socket nothing is sent, and a send that fails is false.
TEST_F(ServiceManagerTest, EachStateIsOneDatagramAndNoSocketIsSilent) {
    std::random_device random;
    for (std::string address : {dir_.File("notify"), "@qhg-notify-" + std::to_string(random())}) {
        int manager = Bind(address);
        ASSERT_GE(manager, 0) << address;
        setenv("NOTIFY_SOCKET", address.c_str(), 1);
        for (const char* state : {"READY=1\nSTATUS=Listening on 8080", "STOPPING=1"}) {
            EXPECT_TRUE(PlatformNotifyServiceManager(state)) << state;
            EXPECT_EQ(Next(manager), state) << address;
        }
        EXPECT_EQ(Next(manager, 100), "(none)");
    }
    unsetenv("NOTIFY_SOCKET");
    EXPECT_TRUE(PlatformNotifyServiceManager("READY=1"));
    setenv("NOTIFY_SOCKET", "", 1);
    EXPECT_TRUE(PlatformNotifyServiceManager("READY=1"));
    for (std::string address :
         {dir_.File("nobody"), std::string("relative/notify"), "/" + std::string(200, 'n')}) {
        setenv("NOTIFY_SOCKET", address.c_str(), 1);
        EXPECT_FALSE(PlatformNotifyServiceManager("READY=1")) << address;
    }
}

// A manager that stops reading must not hold up the gateway: once its queue
// is full each send fails at once, and no call leaves a descriptor behind.
TEST_F(ServiceManagerTest, FullQueueFailsAtOnceAndNoDescriptorIsKept) {
    int manager = Bind(dir_.File("notify"));
    ASSERT_GE(manager, 0);
    setenv("NOTIFY_SOCKET", dir_.File("notify").c_str(), 1);
    auto descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    auto before = descriptors();
    std::atomic<int> sent{0}, refused{0};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (int i = 0; i < 300; ++i)
            ++(PlatformNotifyServiceManager("WATCHDOG=1") ? sent : refused);
        done = true;
    });
    bool finished = WaitUntil([&] { return done.load(); });
    if (!finished) { // closing the manager's end wakes a blocked sender
        close(manager);
        std::replace(fds_.begin(), fds_.end(), manager, -1);
    }
    sender.join();
    ASSERT_TRUE(finished) << "a send blocked on the full queue";
    EXPECT_GT(sent.load(), 0);
    EXPECT_GT(refused.load(), 0) << "the queue never filled";
    EXPECT_EQ(Next(manager), "WATCHDOG=1");
    EXPECT_EQ(descriptors(), before);
}

TEST_F(ServiceManagerTest, WatchdogPingsAtHalfTheIntervalForThisProcessOnly) {
    EXPECT_EQ(PlatformWatchdogPingIntervalMs(), 0);
    setenv("WATCHDOG_USEC", "30000000", 1);
    EXPECT_EQ(PlatformWatchdogPingIntervalMs(), 15000);
    setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    EXPECT_EQ(PlatformWatchdogPingIntervalMs(), 15000);
    // Inherited from a parent that systemd watches: not ours.
    setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);
    EXPECT_EQ(PlatformWatchdogPingIntervalMs(), 0);
    unsetenv("WATCHDOG_PID");
    setenv("WATCHDOG_USEC", "1500", 1); // below 2 ms: as often as can be, not never
    EXPECT_EQ(PlatformWatchdogPingIntervalMs(), 1);
    for (const char* bad : {"", "0", "-30000000", "30s"}) {
        setenv("WATCHDOG_USEC", bad, 1);
        EXPECT_EQ(PlatformWatchdogPingIntervalMs(), 0) << bad;
    }
}

#else

TEST(EventLogTest, SourceIsRegisteredWithItsMessageFileAndRemoved) {
    std::string source = "QhgPlatformTest-" + std::to_string(std::random_device()());
    auto query = [&] { // the key's values as `reg query` shows them
        std::string output;
        FILE* reg = _popen(("reg query \"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                            "Application\\" +
                            source + "\" 2>&1")
                               .c_str(),
                           "r");
        char buffer[512];
        for (size_t got; reg != nullptr && (got = std::fread(buffer, 1, sizeof buffer, reg)) > 0;)
            output.append(buffer, got);
        if (reg != nullptr)
            _pclose(reg);
        return output;
    };
    ASSERT_EQ(PlatformAddEventSource(source.c_str(), "%SystemRoot%\\qhg\\Gateway.exe"), 0);
    std::string values = query();
    EXPECT_TRUE(std::regex_search(
        values,
        std::regex(R"(EventMessageFile\s+REG_EXPAND_SZ\s+%SystemRoot%\\qhg\\Gateway\.exe)")))
        << values;
    EXPECT_TRUE(std::regex_search(values, std::regex(R"(TypesSupported\s+REG_DWORD\s+0x7\b)")))
        << values;
    // Registering again, as a reinstall does, replaces the file.
    ASSERT_EQ(PlatformAddEventSource(source.c_str(), "C:\\Gateway\\Gateway.exe"), 0);
    values = query();
    EXPECT_TRUE(std::regex_search(
        values, std::regex(R"(EventMessageFile\s+REG_SZ\s+C:\\Gateway\\Gateway\.exe)")))
        << values;
    EXPECT_EQ(PlatformRemoveEventSource(source.c_str()), 0);
    EXPECT_EQ(query().find("EventMessageFile"), std::string::npos);
    EXPECT_EQ(PlatformRemoveEventSource(source.c_str()), 0) << "a missing source is removed";
}

// The Wine service test runs this case with the eventlog debug channel on and
// checks each text's type and message id there.
TEST(EventLogTest, ReportsEachTypeAndAnotherSource) {
    using enum PlatformEventType;
    EXPECT_TRUE(
        PlatformReportEvent("QhgPlatformTest", Information, "platform test: information event"));
    EXPECT_TRUE(PlatformReportEvent("QhgPlatformTest", Warning, "platform test: warning event"));
    EXPECT_TRUE(PlatformReportEvent("QhgPlatformTest", Error, "platform test: error event"));
    EXPECT_TRUE(PlatformReportEvent("QhgPlatformTest-Other", Error,
                                    "platform test: event of another source"));
}

#endif
