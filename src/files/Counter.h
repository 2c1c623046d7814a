// Counter.h - the sequence counter (.seq): the next number for a sale or
// void, 0 to 999999 and then 0 again, on stable storage before it is used.
#pragma once

// The most numbers one flush of the counter reserves.
constexpr int MaxSequenceGroup = 1000;

// Gives the number for the next sale or void in *number, called under the
// transaction lock. False, with the system's error code in *error, when the
// counter file could not be opened, read, written or flushed: no number is
// given then, since one the file does not hold as used could come again.
// Numbers are reserved in groups: when those reserved before are used up,
// the file is advanced past this number and alsoWaiting more (the sales and
// voids queued behind this one, at most MaxSequenceGroup in all) and is on
// stable storage before this number is returned; the next calls take the
// rest in order without touching the file. A number reserved and not taken
// before the process ends is skipped: the file is already past it.
bool NextSequenceNumber(int* number, int* error, int alsoWaiting = 0);
// The number NextSequenceNumber would return now, without the transaction
// lock and without creating or changing the file: the next reserved one, or
// else the file's. Returns 0; PlatformFileNotFound when there is no file yet
// (*next is then 0, as the first sale would get); or another error code when
// the file cannot be read.
int PeekSequenceNumber(int* next);

// The record file folds the counter into its own flush (Records.h): it
// reserves count numbers as one group of NextSequenceNumber would, with the
// file written past them but not flushed, since the record file's header,
// flushed with the group's records, holds the same next number. *first gets
// the first; SequenceAfter gives each one after it. False, with *error, as
// NextSequenceNumber; numbers it had reserved and not handed out are skipped.
bool ReserveSequenceNumbers(int count, int* first, int* error);
// Stores next in the file, on stable storage: at start, when the record
// file's header or records are ahead of it.
bool StoreSequenceNumber(int next, int* error);
// The number that follows number: 999999 and anything past it are followed by 0.
int SequenceAfter(int number);
