// Files.h - the gateway's files beside its executable: settings (.ini), log
// (.txt), sequence counter (.seq) and the journal's day files (Journal.h), and
// the one-line system error text.
#pragma once

#include <atomic>
#include <cstddef>

constexpr int GatewayPathSize = 256;

// Written once at start-up, before any thread starts; read-only afterwards.
extern char LogPath[GatewayPathSize];
extern char SettingsPath[GatewayPathSize];
extern char SequencePath[GatewayPathSize];
// The executable's path without its extension: the journal's files are
// "<JournalStem>-YYYY-MM-DD.csv".
extern char JournalStem[GatewayPathSize];
// Set only by the "debug" command: log lines and progress go to the console.
// Atomic: a connection thread still reads it after its client has had the
// answer, so a later run in the same process may change it under that thread.
extern std::atomic<bool> DebugMode;

// Derives the paths from the executable's path: the text after the last
// "." of the file name is replaced; a name without "." gets ".ext" appended.
void DeriveFilePaths(const char* executablePath);

// An integer from the "Settings" section, or defaultValue.
int ReadSetting(const char* key, int defaultValue);
// The client number listed for a dotted address under "Allowed Clients";
// 0 refuses the client.
int ReadClientNumber(const char* clientAddress);

// Appends "<date> <time>: <message>" to the log, retrying a held file five
// times 200 ms apart; echoed to the console in debug mode.
void WriteLogLine(const char* message);

// Returns the number for the next sale or void and advances the counter file,
// which is on stable storage before the number is returned.
int NextSequenceNumber();
// The number NextSequenceNumber would return now, read without a lock and
// without creating or changing the file. Returns 0; PlatformFileNotFound
// when there is no file yet (*next is then 0, as the first sale would get);
// or another error code when the file cannot be read.
int PeekSequenceNumber(int* next);

// The calling thread's last system error as "<sentence> [<code>]".
const char* GetLastErrorText();
// The same text for a given code, into a caller's buffer.
void FormatErrorText(int code, char* out, size_t size);
