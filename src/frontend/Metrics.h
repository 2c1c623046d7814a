// Metrics.h - what the status port reports: answers sent to tills, their
// connections, transactions by kind and outcome with their times, and the
// state of the transaction server connection. Counting takes no lock: a
// relaxed atomic add or two. Only a change in the server's health locks.
#pragma once

#include <cstddef>

struct TransactionReport;

// One answer sent to a till; status is its status line ("403 Forbidden").
void CountAnswer(const char* status);
// An accepted till connection, from its thread's start to its close.
void CountConnectionOpened();
void CountConnectionClosed();
// One SendTransaction of the given code, from its report.
void CountTransaction(int code, const TransactionReport& report);

// Noted by the exchange while it holds the transaction lock: a connection
// made; an exchange that went to the server, reached when its reply came
// whole, else failed with the error text in failure; the connection dropped.
void NoteServerConnected();
void NoteServerExchange(bool reached, const char* failure);
void NoteServerClosed();

// True while no exchange has failed since the last one that reached the
// server. Otherwise false with the failure as one printable line in reason,
// card numbers masked to their last four digits.
bool ServerHealthy(char* reason, size_t size);

// The Prometheus text exposition (version 0.0.4) of every count, with the
// next sequence number read from the counter file. Returns the length,
// cut to size - 1 and zero-terminated.
size_t FormatMetrics(char* out, size_t size);
