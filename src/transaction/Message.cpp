// Message.cpp - the framing of messages: BuildMessage and the size check
// made before a number is taken.
#include "Message.h"

#include "Transaction.h"

#include <cstdio>
#include <cstring>

int BuildMessage(char* out, int code, int terminalAddress, int sequenceNumber, int clientNumber,
                 int amount, const char* card, const char* reference, int entryMode) {
    // "xx" holds the place of the two length bytes.
    int length;
    if (code == TransactionFundsAvailable) {
        length = snprintf(out, MessageAreaSize, "xx%02d\x1c\x1c%d\x1c%d\x1c\x1c\x1c\x1c%s\x1c%d",
                          terminalAddress, code, amount, card, entryMode);
    } else {
        length =
            snprintf(out, MessageAreaSize, "xx%02d%d\x1c%d\x1c%d\x1c%d\x1c\x1c%s\x1c\x1c%s\x1c%d",
                     terminalAddress, sequenceNumber, clientNumber, code, amount,
                     reference != nullptr ? reference : "", card, entryMode);
    }
    if (length < 2 || length >= MessageAreaSize)
        return 0;
    int textLength = length - 2;
    out[0] = static_cast<char>((textLength >> 8) & 0xFF);
    out[1] = static_cast<char>(textLength & 0xFF);
    return length;
}

// Characters "%d" prints for value, at least minDigits of them ("%02d").
static int DecimalWidth(int value, int minDigits) {
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    int digits = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++digits;
    }
    if (value < 0)
        ++digits;
    return digits < minDigits ? minDigits : digits;
}

int SaleMessageLength(int terminalAddress, int sequenceNumber, int clientNumber, int amount,
                      const char* card, const char* reference, int entryMode) {
    size_t items = strlen(card) + (reference != nullptr ? strlen(reference) : 0);
    if (items > static_cast<size_t>(MessageAreaSize))
        return MessageAreaSize;
    // "xx", 8 separators and the two-digit code.
    return 2 + 8 + 2 + DecimalWidth(terminalAddress, 2) + DecimalWidth(sequenceNumber, 1) +
           DecimalWidth(clientNumber, 1) + DecimalWidth(amount, 1) + DecimalWidth(entryMode, 1) +
           static_cast<int>(items);
}
