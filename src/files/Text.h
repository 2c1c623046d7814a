// Text.h - small text rules that several layers share.
#pragma once

#include <cstddef>

// Leading white space, an optional sign and the leading digits, like atoi();
// no digits give 0. What does not fit an int either wraps modulo 2^32 (digits
// worth 2^32 + 50 give 50) or, with saturate, stops at INT_MIN or INT_MAX.
int ParseLeadingNumber(const char* text, bool saturate);

// Masks, in place, every run of 12 or more digits in the length bytes at
// text but its last four, which stay: no card number survives it. Mask the
// whole text before cutting it, or a cut run may be too short to be masked.
void MaskDigitRuns(char* text, size_t length);

// The part of a path after its last "/" or "\".
const char* FileNameOf(const char* path);

// Overwrites size bytes with zeros in a way the compiler may not leave out
// for a buffer about to die: for every buffer that held a card item.
void WipeBytes(void* data, size_t size);
