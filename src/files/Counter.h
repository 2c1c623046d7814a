// Counter.h - the sequence counter (.seq): the next number for a sale or
// void, 0 to 999999 and then 0 again, on stable storage before it is used.
#pragma once

// Returns the number for the next sale or void and advances the counter file,
// which is on stable storage before the number is returned.
int NextSequenceNumber();
// The number NextSequenceNumber would return now, read without a lock and
// without creating or changing the file. Returns 0; PlatformFileNotFound
// when there is no file yet (*next is then 0, as the first sale would get);
// or another error code when the file cannot be read.
int PeekSequenceNumber(int* next);
