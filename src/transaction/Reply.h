// Reply.h - collecting one framed reply from the transaction server: two
// length bytes, high first, then that many bytes of text.
#pragma once

#include "TillAnswer.h"

#include <cstddef>

// Where a reply comes from. receive waits up to waitMs for data (not at all
// when waitMs is negative), then receives at most size bytes into buffer.
// Returns the byte count, 0 for an empty read, ReceiveTimedOut, or
// ReceiveFailed with *error set to the socket error code.
struct ReplyReceiver {
    long (*receive)(void* context, char* buffer, size_t size, int waitMs, int* error);
    void* context;
};
constexpr long ReceiveFailed = -1;
constexpr long ReceiveTimedOut = -2;

// Collects one framed reply into replyArea (ReplyAreaSize bytes), keeping it
// zero-terminated. Done once L + 2 bytes are in; otherwise Failed with an
// error text, or with the part received after five empty reads in a row.
// replyTimeoutSeconds <= 0: no time limit.
TransactionResult CollectReply(char* replyArea, int replyTimeoutSeconds,
                               const ReplyReceiver& receiver);
