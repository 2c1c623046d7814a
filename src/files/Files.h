// Files.h - the gateway's files beside its executable: their paths, the log
// (.txt) and the one-line system error text. The settings (Settings.h), the
// sequence counter (Counter.h) and the journal (Journal.h) have headers of
// their own.
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

// What a log line is for the Event Log: None for the text log alone.
enum class LogEvent { None, Information, Warning, Error };

// Appends "<date> <time>: <message>" to the log, retrying a held file five
// times 200 ms apart; echoed to the console in debug mode. While the Event
// Log is on, an event other than None is also queued for it.
void WriteLogLine(const char* message, LogEvent event = LogEvent::None);
// Queues an event for the Event Log alone, when it is on; never waits.
void ReportLogEvent(LogEvent event, const char* message);
// Turns the Event Log on (service mode) under the source name: events are
// reported by a thread of their own. False when the thread could not start.
bool StartEventLog(const char* source);
// Reports what is queued, then turns it off.
void StopEventLog();
// Where the Event Log's thread sends each event: to the platform's Event Log
// unless a test puts a recorder here.
using EventSink = bool (*)(const char* source, LogEvent event, const char* text);
extern EventSink EventReporter;

// The calling thread's last system error as "<sentence> [<code>]".
const char* GetLastErrorText();
// The same text for a given code, into a caller's buffer: "<sentence>
// [<code>]", or "Error <code>" when the system has no sentence for it.
void FormatErrorText(int code, char* out, size_t size);
