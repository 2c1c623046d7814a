// Counter.cpp - the sequence counter file: read, advanced past a group of
// numbers and flushed once for the group, under the transaction lock.
#include "Counter.h"

#include "Files.h"
#include "Platform.h"
#include "Text.h"

#include <cstdio>
#include <cstring>
#include <mutex>

// A number too large for an int saturates, so a huge counter counts as past
// the wrap instead of wrapping into a small number.
static int ParseCounter(const char* text) {
    return ParseLeadingNumber(text, true);
}

// The wrap: past 999999 the counter starts again at 0.
static int WrappedCounter(int value) {
    return value > 999999 ? 0 : value;
}

// The numbers reserved and not yet handed out, and the counter file they came
// from: the paths are derived again for every test, and numbers of one file
// are never handed out for another. The guard is held only to read or set
// these, never across the file's I/O, so a peek never waits for a flush.
static std::mutex ReservedGuard;
static char ReservedPath[GatewayPathSize];
static int ReservedNext;
static int ReservedLeft;

// What comes after number in a group: the wrap as the file's reader sees it.
static int FollowingNumber(int number) {
    return WrappedCounter(number + 1);
}

// Reserves count numbers from the file: *first gets the first, with the file
// advanced past the last and, with flush, on stable storage. False, with the
// system's error code in *error, when the file could not be opened, read,
// written or flushed: then no number may be used, for one the file does not
// hold as used could be handed out again after a restart. With storeNext the
// file gets *storeNext instead and count is not used.
static bool UpdateFile(int count, bool flush, const int* storeNext, int* first, int* error) {
    PlatformFile* file = nullptr;
    bool created = false;
    *error = 0;
    for (int attempt = 0; attempt < 1000 && file == nullptr; ++attempt) {
        file = PlatformOpenForUpdate(SequencePath, error, &created);
        if (file != nullptr)
            break;
        if (*error != PlatformSharingViolation)
            return false;
        PlatformSleepMs(1000);
    }
    if (file == nullptr)
        return false;

    char text[33];
    long got = PlatformFileReadAt(file, 0, text, 32);
    bool done = got >= 0;
    text[got > 0 ? got : 0] = '\0';
    int value = WrappedCounter(ParseCounter(text));

    // The file gets the number after the group's last. Past 999999 it counts
    // on from 0; a group that ends exactly at the wrap leaves 1000000, which
    // reads as 0, as a single number always has.
    // The new digits go over the old ones before the file is cut to their
    // length, so a crash at any point leaves a number that still parses and
    // never one below the last number handed out. Almost every time the new
    // number is as long as the old text, and there is nothing to cut.
    // The numbers go out only once the file is on stable storage: after a
    // power cut the file must never hold a number the server has seen.
    int after = value + count;
    if (after > 1000000)
        after -= 1000000;
    if (storeNext != nullptr)
        after = *storeNext;
    char next[16];
    int length = snprintf(next, sizeof next, "%d", after);
    done = done && PlatformFileWriteAt(file, 0, next, static_cast<size_t>(length)) == length;
    done = done && (got == length || PlatformFileSetSize(file, length));
    done = done && (!flush || PlatformFileFlush(file));
    done = done && (!flush || !created || PlatformFlushDirectoryOf(SequencePath));
    if (!done)
        *error = PlatformLastError();
    PlatformFileClose(file);
    *first = value;
    return done;
}

static bool ReserveFromFile(int count, int* first, int* error) {
    return UpdateFile(count, true, nullptr, first, error);
}

// Numbers reserved for NextSequenceNumber and not handed out are skipped once
// the file is written another way: they are below what it holds now.
static void DropReserved() {
    std::lock_guard<std::mutex> hold(ReservedGuard);
    ReservedLeft = 0;
}

bool ReserveSequenceNumbers(int count, int* first, int* error) {
    DropReserved();
    return UpdateFile(count < 1 ? 1 : count, false, nullptr, first, error);
}

bool StoreSequenceNumber(int next, int* error) {
    DropReserved();
    int old = 0;
    return UpdateFile(0, true, &next, &old, error);
}

int SequenceAfter(int number) {
    return FollowingNumber(number);
}

bool NextSequenceNumber(int* number, int* error, int alsoWaiting) {
    *error = 0;
    {
        std::lock_guard<std::mutex> hold(ReservedGuard);
        if (ReservedLeft > 0 && std::strcmp(ReservedPath, SequencePath) == 0) {
            *number = ReservedNext;
            ReservedNext = FollowingNumber(*number);
            --ReservedLeft;
            return true;
        }
    }
    int count = alsoWaiting < 0                   ? 1
                : alsoWaiting >= MaxSequenceGroup ? MaxSequenceGroup
                                                  : alsoWaiting + 1;
    int first = 0;
    if (!ReserveFromFile(count, &first, error))
        return false;
    std::lock_guard<std::mutex> hold(ReservedGuard);
    if (std::strcmp(ReservedPath, SequencePath) != 0)
        std::snprintf(ReservedPath, sizeof ReservedPath, "%s", SequencePath);
    ReservedNext = FollowingNumber(first);
    ReservedLeft = count - 1;
    *number = first;
    return true;
}

int PeekSequenceNumber(int* next) {
    {
        std::lock_guard<std::mutex> hold(ReservedGuard);
        if (ReservedLeft > 0 && std::strcmp(ReservedPath, SequencePath) == 0) {
            *next = ReservedNext;
            return 0;
        }
    }
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
