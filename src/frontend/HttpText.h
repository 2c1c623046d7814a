// HttpText.h - the bytes of an answer: the gateway's header block, the
// response around a body, and the HTTP date.
#pragma once

#include <cstddef>
#include <cstdint>

struct HttpAnswer {
    const char* status; // status line text, e.g. "200 OK"
    const char* body;   // zero-terminated; may point into the reply area
};

// Formats the gateway's header block into out, for an HTML body or (with
// metricsText) the Prometheus text format; returns its length, 0 if it did
// not fit.
size_t FormatHeaderBlock(char* out, size_t size, const char* status, const char* date,
                         bool metricsText);

// Formats the response (header block and body) at the start of area (size
// bytes) and returns its length, at most size; no terminating zero is
// counted. The body may lie in the area's upper half.
size_t BuildResponse(char* area, size_t size, HttpAnswer answer, const char* date);

// Formats a UTC instant, rounded to the nearest second, as an HTTP date
// ("Tue, 06 Oct 2009 08:05:09 GMT").
void FormatHttpDate(int64_t utcMilliseconds, char* out, size_t size);
// The HTTP date of the current second; each thread keeps the last it made.
void CurrentHttpDate(char* out, size_t size);
