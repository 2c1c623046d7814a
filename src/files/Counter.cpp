// Counter.cpp - the sequence counter file: read, advanced and flushed for
// every sale and void, under the transaction lock.
#include "Counter.h"

#include "Files.h"
#include "Platform.h"
#include "Text.h"

#include <cstdio>

// A number too large for an int saturates, so a huge counter counts as past
// the wrap instead of wrapping into a small number.
static int ParseCounter(const char* text) {
    return ParseLeadingNumber(text, true);
}

// The wrap: past 999999 the counter starts again at 0.
static int WrappedCounter(int value) {
    return value > 999999 ? 0 : value;
}

int NextSequenceNumber() {
    PlatformFile* file = nullptr;
    bool created = false;
    for (int attempt = 0; attempt < 1000 && file == nullptr; ++attempt) {
        int error = 0;
        file = PlatformOpenForUpdate(SequencePath, &error, &created);
        if (file != nullptr)
            break;
        if (error != PlatformSharingViolation)
            return 0;
        PlatformSleepMs(1000);
    }
    if (file == nullptr)
        return 0;

    char text[33];
    long got = PlatformFileReadAt(file, 0, text, 32);
    text[got > 0 ? got : 0] = '\0';
    int value = WrappedCounter(ParseCounter(text));

    // The new digits go over the old ones before the file is cut to their
    // length, so a crash at any point leaves a number that still parses and
    // never one below the last number handed out. Almost every time the new
    // number is as long as the old text, and there is nothing to cut.
    // The number goes out only once the file is on stable storage: after a
    // power cut the file must never hold a number the server has seen. A
    // failed store is not reported; the next call reads the old number.
    char next[16];
    int length =
        snprintf(next, sizeof next, "%d", static_cast<int>(static_cast<unsigned>(value) + 1u));
    if (PlatformFileWriteAt(file, 0, next, static_cast<size_t>(length)) == length) {
        if (got != length)
            PlatformFileSetSize(file, length);
        PlatformFileFlush(file);
        if (created)
            PlatformFlushDirectoryOf(SequencePath);
    }
    PlatformFileClose(file);
    return value;
}

int PeekSequenceNumber(int* next) {
    char text[33];
    int error = 0;
    long got = PlatformReadFileHead(SequencePath, text, 32, &error);
    *next = 0;
    if (got < 0)
        return error;
    text[got] = '\0';
    *next = WrappedCounter(ParseCounter(text));
    return 0;
}
