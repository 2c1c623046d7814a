// Message.h - the framing of the messages sent to the transaction server:
// two length bytes, high first, then the fields of one transaction.
#pragma once

// The message is built in an area of this size, its terminating zero
// included: at most 255 bytes with the length bytes.
constexpr int MessageAreaSize = 256;

// Formats the framed message into out (MessageAreaSize bytes). Returns the
// total length, or 0 when it would not fit.
int BuildMessage(char* out, int code, int terminalAddress, int sequenceNumber, int clientNumber,
                 int amount, const char* card, const char* reference, int entryMode);

// The length BuildMessage gives a sale or void, counted without formatting
// it: the size check before a number is taken costs no second format.
int SaleMessageLength(int terminalAddress, int sequenceNumber, int clientNumber, int amount,
                      const char* card, const char* reference, int entryMode);
