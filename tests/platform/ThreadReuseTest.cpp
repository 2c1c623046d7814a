// ThreadReuseTest.cpp - started threads run each piece of work exactly once,
// with its own parameter, whether the platform creates a thread for it or
// hands it to one that finished earlier; and on Linux a thread never runs
// work with a signal mask other than its starter's.
#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

namespace {

// Counts runs per slot and lets the test wait until all have happened.
struct Runs {
    std::mutex guard;
    std::condition_variable changed;
    std::vector<int> counts;
    int total = 0;

    explicit Runs(size_t slots) : counts(slots, 0) {}
    bool WaitForTotal(int wanted) {
        std::unique_lock lock(guard);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return total >= wanted; });
    }
};

struct Work {
    Runs* runs;
    size_t slot;
};

unsigned CountRun(void* raw) {
    Work* work = static_cast<Work*>(raw);
    std::lock_guard lock(work->runs->guard);
    ++work->runs->counts[work->slot];
    ++work->runs->total;
    work->runs->changed.notify_all();
    return 0;
}

TEST(ThreadReuseTest, WorkStartedOneAfterAnotherRunsOnceEachWithItsOwnParameter) {
    constexpr size_t Starts = 300;
    Runs runs(Starts);
    std::vector<Work> work(Starts);
    for (size_t i = 0; i < Starts; ++i) {
        work[i] = {&runs, i};
        ASSERT_TRUE(PlatformStartThread(CountRun, &work[i], 0x8000));
        // Waiting for each run gives finished threads the chance to be reused.
        ASSERT_TRUE(runs.WaitForTotal(static_cast<int>(i + 1))) << "start " << i;
    }
    for (size_t i = 0; i < Starts; ++i)
        EXPECT_EQ(runs.counts[i], 1) << "slot " << i;
}

TEST(ThreadReuseTest, ManyAtOnceAndMixedStackSizesAllRunOnce) {
    // More at once than any number of idle threads kept for reuse.
    constexpr size_t Starts = 400;
    Runs runs(Starts);
    std::vector<Work> work(Starts);
    for (size_t i = 0; i < Starts; ++i) {
        work[i] = {&runs, i};
        size_t stack = i % 3 == 0 ? 0x10000 : 0x8000;
        ASSERT_TRUE(PlatformStartThread(CountRun, &work[i], stack));
    }
    ASSERT_TRUE(runs.WaitForTotal(static_cast<int>(Starts)));
    for (size_t i = 0; i < Starts; ++i)
        EXPECT_EQ(runs.counts[i], 1) << "slot " << i;
}

#ifndef _WIN32
struct MaskProbe {
    std::atomic<int> blocked{-1};
};

unsigned RecordMask(void* raw) {
    sigset_t mask;
    sigemptyset(&mask);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    static_cast<MaskProbe*>(raw)->blocked = sigismember(&mask, SIGUSR2);
    return 0;
}

// Starts RecordMask from a fresh thread with SIGUSR2 blocked or not, and
// returns whether the started thread had it blocked.
int BlockedInStartedThread(bool blockInStarter) {
    MaskProbe probe;
    std::thread starter([&] {
        sigset_t usr2;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        pthread_sigmask(blockInStarter ? SIG_BLOCK : SIG_UNBLOCK, &usr2, nullptr);
        EXPECT_TRUE(PlatformStartThread(RecordMask, &probe, 0x8000));
    });
    starter.join();
    for (int i = 0; i < 1000 && probe.blocked.load() < 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Lets the finished thread become idle, ready to be reused.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return probe.blocked.load();
}

TEST(ThreadReuseTest, StartedThreadHasTheStartersSignalMask) {
    EXPECT_EQ(BlockedInStartedThread(false), 0);
    EXPECT_EQ(BlockedInStartedThread(true), 1);
    EXPECT_EQ(BlockedInStartedThread(false), 0);
    EXPECT_EQ(BlockedInStartedThread(true), 1);
}
#endif

} // namespace
