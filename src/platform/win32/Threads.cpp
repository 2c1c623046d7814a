// Threads.cpp - the Windows platform layer: detached threads.
#ifdef _WIN32

#include "Internal.h"

#include <new>

namespace {
struct WinThreadStart {
    PlatformThreadProc proc;
    void* parameter;
};
} // namespace

static DWORD WINAPI WinThreadTrampoline(LPVOID raw) {
    WinThreadStart start = *static_cast<WinThreadStart*>(raw);
    delete static_cast<WinThreadStart*>(raw);
    return start.proc(start.parameter);
}

bool PlatformStartThread(PlatformThreadProc proc, void* parameter, size_t stackSize) {
    WinThreadStart* start = new (std::nothrow) WinThreadStart{proc, parameter};
    if (start == nullptr)
        return false;
    HANDLE thread = CreateThread(nullptr, stackSize, WinThreadTrampoline, start,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    // Connection threads are never joined.
    CloseHandle(thread);
    return true;
}

struct PlatformThread {
    HANDLE handle;
};

PlatformThread* PlatformStartJoinableThread(PlatformThreadProc proc, void* parameter,
                                            size_t stackSize) {
    PlatformThread* thread = new (std::nothrow) PlatformThread{nullptr};
    WinThreadStart* start = new (std::nothrow) WinThreadStart{proc, parameter};
    if (thread == nullptr || start == nullptr) {
        delete thread;
        delete start;
        return nullptr;
    }
    thread->handle = CreateThread(nullptr, stackSize, WinThreadTrampoline, start,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread->handle == nullptr) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

void PlatformJoinThread(PlatformThread* thread) {
    if (thread == nullptr)
        return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

#endif // _WIN32
