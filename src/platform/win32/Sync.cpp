// Sync.cpp - the Windows platform layer: manual-reset events and the named transaction lock.
#ifdef _WIN32

#include "Internal.h"

#include <new>

// Events, the transaction lock and threads

PlatformEvent* PlatformCreateEvent() {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr)
        return nullptr;
    PlatformEvent* event = new (std::nothrow) PlatformEvent{handle};
    if (event == nullptr)
        CloseHandle(handle);
    return event;
}

void PlatformSetEvent(PlatformEvent* event) {
    if (event != nullptr)
        SetEvent(event->handle);
}

bool PlatformEventIsSet(PlatformEvent* event) {
    return event != nullptr && WaitForSingleObject(event->handle, 0) == WAIT_OBJECT_0;
}

PlatformMutex* PlatformCreateMutex(const char* name) {
    HANDLE handle = CreateMutexA(nullptr, FALSE, name);
    if (handle == nullptr)
        return nullptr;
    PlatformMutex* mutex = new (std::nothrow) PlatformMutex{handle};
    if (mutex == nullptr)
        CloseHandle(handle);
    return mutex;
}

void PlatformReleaseMutex(PlatformMutex* mutex) {
    if (mutex != nullptr)
        ReleaseMutex(mutex->handle);
}

PlatformWaitResult PlatformWaitEventOrMutex(PlatformEvent* event, PlatformMutex* mutex,
                                            unsigned timeoutMs) {
    if (event == nullptr || mutex == nullptr)
        return PlatformWaitResult::Failed;
    // The event is listed first, so when both are ready the wait reports the
    // event and leaves the mutex alone.
    HANDLE handles[2] = {event->handle, mutex->handle};
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    switch (result) {
    case WAIT_OBJECT_0:
        return PlatformWaitResult::Event;
    case WAIT_OBJECT_0 + 1:
    case WAIT_ABANDONED_0 + 1: // a holder ended without releasing: ours now
        return PlatformWaitResult::Mutex;
    case WAIT_TIMEOUT:
        return PlatformWaitResult::Timeout;
    default:
        return PlatformWaitResult::Failed;
    }
}

#endif // _WIN32
