// ConsoleLines.h - the debug lines about connections. While a batch is begun
// on a thread, the lines of the connections it handles are gathered and go
// out when it is flushed or ended: the listener flushes once per pass of its
// loop, and before a transaction starts.
#pragma once

void BeginConsoleBatch();
void FlushConsoleBatch();
void EndConsoleBatch();
// Debug lines about one connection: "Received connection: <address>" and
// "Closed connection: <address>"; a connection answered as soon as it is
// accepted gets both at once.
void WriteConnectionLines(const char* address, bool received, bool closed);
