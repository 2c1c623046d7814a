// Sync.cpp - the Linux platform layer: manual-reset events and the transaction lock.
#ifndef _WIN32

#include "Internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

// Events and the transaction lock. The lock hands itself to the longest
// waiter, as Windows mutexes do, so no waiter starves behind newcomers.

namespace {
struct PosixLockWaiter {
    std::condition_variable wake;
    bool granted = false;
};
} // namespace

struct PlatformMutex {
    std::mutex guard;
    bool owned = false;
    std::list<PosixLockWaiter*> waiters;
};

// Every lock, so that setting an event can wake the waiters of each. Never
// destroyed: a stop signal's thread may still walk it while main returns.
static std::mutex PosixRegistryGuard;
static std::vector<PlatformMutex*>& PosixMutexes = *new std::vector<PlatformMutex*>;

PlatformEvent* PlatformCreateEvent() {
    auto* event = new PlatformEvent;
    event->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event->fd < 0) {
        delete event;
        return nullptr;
    }
    return event;
}

void PlatformSetEvent(PlatformEvent* event) {
    event->set.store(true);
    uint64_t one = 1;
    ssize_t ignored = write(event->fd, &one, sizeof one);
    (void)ignored;
    std::lock_guard registry(PosixRegistryGuard);
    for (PlatformMutex* mutex : PosixMutexes) {
        std::lock_guard lock(mutex->guard);
        for (PosixLockWaiter* waiter : mutex->waiters)
            waiter->wake.notify_one();
    }
}

bool PlatformEventIsSet(PlatformEvent* event) {
    return event->set.load();
}

PlatformMutex* PlatformCreateMutex(const char* /*name*/) {
    auto* mutex = new PlatformMutex;
    std::lock_guard registry(PosixRegistryGuard);
    PosixMutexes.push_back(mutex);
    return mutex;
}

// Hands the lock to the first waiter, or frees it. Caller holds mutex->guard.
static void PosixPassLock(PlatformMutex* mutex) {
    if (mutex->waiters.empty()) {
        mutex->owned = false;
        return;
    }
    PosixLockWaiter* next = mutex->waiters.front();
    mutex->waiters.pop_front();
    next->granted = true;
    next->wake.notify_one();
}

void PlatformReleaseMutex(PlatformMutex* mutex) {
    std::lock_guard lock(mutex->guard);
    PosixPassLock(mutex);
}

PlatformWaitResult PlatformWaitEventOrMutex(PlatformEvent* event, PlatformMutex* mutex,
                                            unsigned timeoutMs) {
    if (event == nullptr || mutex == nullptr)
        return PlatformWaitResult::Failed;
    std::unique_lock lock(mutex->guard);
    if (event->set.load())
        return PlatformWaitResult::Event;
    if (!mutex->owned && mutex->waiters.empty()) {
        mutex->owned = true;
        return PlatformWaitResult::Mutex;
    }
    PosixLockWaiter self;
    mutex->waiters.push_back(&self);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!self.granted && !event->set.load()) {
        if (self.wake.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    }
    if (event->set.load()) {
        if (self.granted)
            PosixPassLock(mutex); // the stop wins; the lock goes on to the next waiter
        else
            mutex->waiters.remove(&self);
        return PlatformWaitResult::Event;
    }
    if (self.granted)
        return PlatformWaitResult::Mutex;
    mutex->waiters.remove(&self);
    return PlatformWaitResult::Timeout;
}

#endif // !_WIN32
