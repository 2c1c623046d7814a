// Events.h - the Event Log beside the text log: in service mode the lines an
// operator must see there are queued here and reported by a thread of their
// own, so that no till's answer ever waits for the Event Log.
#pragma once

// What a log line is for the Event Log: None for the text log alone.
enum class LogEvent { None, Information, Warning, Error };

// Queues an event for the Event Log alone, when it is on; never waits. A
// full queue drops the newest event: the text log has them all. Warnings and
// errors are also kept for the status page (KeepRecentWarning), on or off.
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
