// ConsoleLines.cpp - the debug lines about connections, gathered per pass
// of the listener's loop and written together.
#include "ConsoleLines.h"

#include "Platform.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// The listener's debug lines, gathered over one pass of its loop and
// written together: one write per pass instead of one per connection.
struct ConsoleBatch {
    char text[4096];
    size_t used = 0;
};
thread_local ConsoleBatch* Batch = nullptr;

} // namespace

void BeginConsoleBatch() {
    Batch = new (std::nothrow) ConsoleBatch;
}

void FlushConsoleBatch() {
    if (Batch != nullptr && Batch->used > 0) {
        PlatformConsoleWrite(Batch->text, Batch->used);
        Batch->used = 0;
    }
}

void EndConsoleBatch() {
    FlushConsoleBatch();
    delete Batch;
    Batch = nullptr;
}

void WriteConnectionLines(const char* address, bool received, bool closed) {
    char lines[128];
    int length = std::snprintf(lines, sizeof lines, "%s%s%s%s%s%s",
                               received ? "Received connection: " : "", received ? address : "",
                               received ? "\n" : "", closed ? "Closed connection: " : "",
                               closed ? address : "", closed ? "\n" : "");
    if (length <= 0)
        return;
    size_t size = static_cast<size_t>(length) < sizeof lines ? length : sizeof lines - 1;
    if (Batch == nullptr) {
        PlatformConsoleWrite(lines, size);
        return;
    }
    if (Batch->used + size > sizeof Batch->text)
        FlushConsoleBatch();
    std::memcpy(Batch->text + Batch->used, lines, size);
    Batch->used += size;
}
