// Request.h - a request's decisions and the bytes of its answer, free of
// sockets and files: from the received request to the transaction it asks
// for, and from an answer to the response bytes.
#pragma once

#include "Transaction.h"

#include <cstddef>
#include <cstdint>

// The whole per-connection working memory: the request is read into it, its
// upper ReplyAreaSize bytes are the exchange's reply area, and the response
// is built in it.
constexpr size_t WorkAreaSize = 2048;
constexpr size_t RequestMaxBytes = WorkAreaSize - 1;

struct HttpAnswer {
    const char* status; // status line text, e.g. "200 OK"
    const char* body;   // zero-terminated; may point into the reply area
};

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

// Formats the gateway's header block into out, for an HTML body or (with
// metricsText) the Prometheus text format; returns its length, 0 if it did
// not fit.
size_t FormatHeaderBlock(char* out, size_t size, const char* status, const char* date,
                         bool metricsText);

// Formats the response (header block and body) at the start of area and
// returns its length, at most WorkAreaSize; no terminating zero is counted.
// The body may lie in the area's upper half.
size_t BuildResponse(char* area, HttpAnswer answer, const char* date);

// Formats a UTC instant, rounded to the nearest second, as an HTTP date
// ("Tue, 06 Oct 2009 08:05:09 GMT").
void FormatHttpDate(int64_t utcMilliseconds, char* out, size_t size);
// The HTTP date of the current second; each thread keeps the last it made.
void CurrentHttpDate(char* out, size_t size);
