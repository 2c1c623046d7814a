// Internal.h - what the Linux platform files share and nothing outside
// src/platform/posix sees.
#pragma once

#include "Platform.h"

#include <atomic>

// A manual-reset event: the flag for quick tests, and an eventfd that turns
// readable once set, for waits that also watch sockets.
struct PlatformEvent {
    std::atomic<bool> set{false};
    int fd = -1;
};
