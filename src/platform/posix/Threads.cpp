// Threads.cpp - the Linux platform layer: detached threads, reused while they linger.
#ifndef _WIN32

#include "Internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <vector>

// A thread per transaction (and per status port request) means thousands of
// short threads. One whose work is done waits a little while for the next start with the same
// stack size and signal mask instead of ending, which spares creating and
// tearing down a thread per connection; an idle gateway has none left after
// the wait.
namespace {
struct PosixWorker {
    // Posted once per start handed over. A semaphore, not a condition
    // variable: the starter posts after letting go of the registry lock, so
    // the woken thread does not at once block on that lock again.
    sem_t ready;
    PlatformThreadProc proc;
    void* parameter;
    size_t stackSize;
    sigset_t signalMask; // inherited from the thread that created it
};
} // namespace

// The calling thread's blocked signals.
static sigset_t PosixBlockedSignals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    return blocked;
}

// Compares the part of the sets the kernel fills: one bit for each of the
// NSIG - 1 signals, signal 1 first. The C library leaves the rest as it was.
static bool PosixSameSignals(const sigset_t& a, const sigset_t& b) {
    static_assert((NSIG - 1) / 8 <= sizeof(sigset_t));
    return memcmp(&a, &b, (NSIG - 1) / 8) == 0;
}

constexpr size_t PosixMaxIdleWorkers = 64;
constexpr time_t PosixWorkerLingerSeconds = 2;
static std::mutex PosixWorkerGuard;
// Most recently idle last: it is taken first, while its stack is still warm.
// Never destroyed: threads still lingering or finishing a connection when the
// process exits keep using it while static objects are torn down.
static std::vector<PosixWorker*>& PosixIdleWorkers = *new std::vector<PosixWorker*>;

static void PosixDeleteWorker(PosixWorker* worker) {
    sem_destroy(&worker->ready);
    delete worker;
}

// ThreadSanitizer knows sem_post and sem_wait but not sem_clockwait: after a
// successful clockwait it is told that the waiter now sees what the poster
// wrote before posting (the work handed over), as the semaphore guarantees.
#if defined(__SANITIZE_THREAD__)
#define POSIX_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define POSIX_THREAD_SANITIZER 1
#endif
#endif
#ifdef POSIX_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
static void PosixSawPost(sem_t* semaphore) {
    __tsan_acquire(semaphore);
}
#else
static void PosixSawPost(sem_t*) {}
#endif

// Waits for the next start, at most the linger time. False: none came, and
// the worker is no longer listed as idle, so none can come.
static bool PosixAwaitStart(PosixWorker* worker) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += PosixWorkerLingerSeconds;
    for (;;) {
        if (sem_clockwait(&worker->ready, CLOCK_MONOTONIC, &deadline) == 0) {
            PosixSawPost(&worker->ready);
            return true;
        }
        if (errno != EINTR)
            break;
    }
    std::unique_lock lock(PosixWorkerGuard);
    auto listed = std::find(PosixIdleWorkers.begin(), PosixIdleWorkers.end(), worker);
    if (listed != PosixIdleWorkers.end()) {
        PosixIdleWorkers.erase(listed);
        return false;
    }
    // A starter took this worker as the wait ended; its post is on the way.
    lock.unlock();
    while (sem_wait(&worker->ready) != 0 && errno == EINTR) {
    }
    return true;
}

static void* PosixWorkerMain(void* raw) {
    auto* worker = static_cast<PosixWorker*>(raw);
    for (;;) {
        worker->proc(worker->parameter);
        {
            std::lock_guard lock(PosixWorkerGuard);
            if (PosixIdleWorkers.size() >= PosixMaxIdleWorkers)
                break;
            PosixIdleWorkers.push_back(worker);
        }
        if (!PosixAwaitStart(worker))
            break;
    }
    PosixDeleteWorker(worker);
    return nullptr;
}

// Hands the work to an idle thread with the same stack size, if there is one.
// The mask must match: a thread that could take SIGINT would end the process
// instead of letting the handler's thread stop it.
static bool PosixReuseWorker(PlatformThreadProc proc, void* parameter, size_t stackSize,
                             const sigset_t& signalMask) {
    PosixWorker* chosen = nullptr;
    {
        std::lock_guard lock(PosixWorkerGuard);
        for (auto it = PosixIdleWorkers.rbegin(); it != PosixIdleWorkers.rend(); ++it) {
            PosixWorker* worker = *it;
            if (worker->stackSize != stackSize || !PosixSameSignals(worker->signalMask, signalMask))
                continue;
            PosixIdleWorkers.erase(std::next(it).base());
            worker->proc = proc;
            worker->parameter = parameter;
            chosen = worker;
            break;
        }
    }
    // Once taken off the list the worker cannot end before this post.
    if (chosen != nullptr)
        sem_post(&chosen->ready);
    return chosen != nullptr;
}

bool PlatformStartThread(PlatformThreadProc proc, void* parameter, size_t stackSize) {
    sigset_t signalMask = PosixBlockedSignals();
    if (PosixReuseWorker(proc, parameter, stackSize, signalMask))
        return true;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize > 0) {
        size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, stackSize < minimum ? minimum : stackSize);
    }
    auto* worker = new PosixWorker{{}, proc, parameter, stackSize, signalMask};
    sem_init(&worker->ready, 0, 0);
    pthread_t thread;
    int result = pthread_create(&thread, &attributes, PosixWorkerMain, worker);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        PosixDeleteWorker(worker);
        errno = result;
        return false;
    }
    return true;
}

struct PlatformThread {
    pthread_t thread;
    PlatformThreadProc proc;
    void* parameter;
};

static void* PosixJoinableMain(void* raw) {
    auto* thread = static_cast<PlatformThread*>(raw);
    thread->proc(thread->parameter);
    return nullptr;
}

PlatformThread* PlatformStartJoinableThread(PlatformThreadProc proc, void* parameter,
                                            size_t stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return nullptr;
    if (stackSize > 0) {
        size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, stackSize < minimum ? minimum : stackSize);
    }
    auto* thread = new PlatformThread{{}, proc, parameter};
    int result = pthread_create(&thread->thread, &attributes, PosixJoinableMain, thread);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete thread;
        errno = result;
        return nullptr;
    }
    return thread;
}

void PlatformJoinThread(PlatformThread* thread) {
    if (thread == nullptr)
        return;
    pthread_join(thread->thread, nullptr);
    delete thread;
}

#endif // !_WIN32
