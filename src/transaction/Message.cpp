// Message.cpp - the framing of messages and replies: BuildMessage, the
// size check made before a number is taken, and CollectReply.
#include "Exchange.h"
#include "Transaction.h"

#include "Platform.h"

#include <climits>
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

int CollectReply(char* replyArea, int replyTimeoutSeconds, const ReplyReceiver& receiver) {
    int received = 0;
    int emptyReads = 0;
    replyArea[0] = '\0';
    int64_t deadline = 0;
    if (replyTimeoutSeconds > 0)
        deadline = PlatformMonotonicMs() + static_cast<int64_t>(replyTimeoutSeconds) * 1000;

    while (emptyReads < 5) {
        int room = ReplyAreaSize - 1 - received;
        // A full area asks for 0 bytes, which counts as an empty read at once.
        int waitMs = -1;
        if (room > 0 && deadline != 0) {
            int64_t left = deadline - PlatformMonotonicMs();
            if (left <= 0) {
                snprintf(replyArea, ReplyAreaSize, "Timeout error.");
                return TransactionFailed;
            }
            waitMs = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        int error = 0;
        long got = receiver.receive(receiver.context, replyArea + received,
                                    static_cast<size_t>(room), waitMs, &error);
        if (got == ReceiveTimedOut) {
            snprintf(replyArea, ReplyAreaSize, "Timeout error.");
            return TransactionFailed;
        }
        if (got < 0) {
            snprintf(replyArea, ReplyAreaSize, "Socket error %d.", error);
            return TransactionFailed;
        }
        if (got == 0) {
            ++emptyReads;
            continue;
        }
        received += static_cast<int>(got);
        replyArea[received] = '\0';
        emptyReads = 0;
        if (received >= 2) {
            // The length is unsigned: 0x00 0x80 means 128 bytes, not -128.
            int expected = (static_cast<unsigned char>(replyArea[0]) << 8) |
                           static_cast<unsigned char>(replyArea[1]);
            if (received >= expected + 2)
                return TransactionDone;
        }
    }
    return TransactionFailed;
}
