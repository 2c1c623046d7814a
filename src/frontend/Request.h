// Request.h - a request's decision, free of sockets and files: from the
// received request to the transaction it asks for, or the answer at once.
#pragma once

#include "HttpText.h"
#include "Transaction.h"

#include <cstddef>

// The whole per-connection working memory: the request is read into it, its
// upper ReplyAreaSize bytes are the exchange's reply area, and the response
// is built in it.
constexpr size_t WorkAreaSize = 2048;
constexpr size_t RequestMaxBytes = WorkAreaSize - 1;

// What one request leads to: with transaction.code 0, `answer` at once;
// otherwise that transaction, whose items point into the area.
struct RequestDecision {
    HttpAnswer answer;
    TransactionRequest transaction;
};

// Judges the zero-terminated request in area (WorkAreaSize bytes) for a client
// whose "Allowed Clients" value is clientNumber. Cuts the area in place.
void DecideRequest(char* area, int clientNumber, bool voidAllowed, RequestDecision* out);

// The reply area inside a working area.
char* ReplyAreaOf(char* area);
