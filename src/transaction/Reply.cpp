// Reply.cpp - collecting one framed reply: until its length is in, a
// socket error, the reply time-out, or five empty reads in a row.
#include "Reply.h"

#include "Platform.h"
#include "Transaction.h"

#include <climits>
#include <cstdio>

TransactionResult CollectReply(char* replyArea, int replyTimeoutSeconds,
                               const ReplyReceiver& receiver) {
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
                return TransactionResult::Failed;
            }
            waitMs = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        int error = 0;
        long got = receiver.receive(receiver.context, replyArea + received,
                                    static_cast<size_t>(room), waitMs, &error);
        if (got == ReceiveTimedOut) {
            snprintf(replyArea, ReplyAreaSize, "Timeout error.");
            return TransactionResult::Failed;
        }
        if (got < 0) {
            snprintf(replyArea, ReplyAreaSize, "Socket error %d.", error);
            return TransactionResult::Failed;
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
                return TransactionResult::Done;
        }
    }
    return TransactionResult::Failed;
}
