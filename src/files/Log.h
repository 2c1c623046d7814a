// Log.h - the log beside the executable (.txt): one dated line per event an
// operator needs, echoed to the console in debug mode and, for the events
// that say so, queued for the Event Log.
#pragma once

#include "Events.h"

// Appends "<date> <time>: <message>" to the log, retrying a held file five
// times 200 ms apart; echoed to the console in debug mode. While the Event
// Log is on, an event other than None is also queued for it.
void WriteLogLine(const char* message, LogEvent event = LogEvent::None);

// The last warnings and errors reported, to the log or to the Event Log
// alone, for the status page. Keeping one is safe from any thread.
constexpr int RecentWarningCount = 8;
struct RecentWarning {
    LogEvent event; // Warning or Error
    char time[24];  // local "YYYY-MM-DD HH:MM:SS"
    char text[512];
};
// Keeps a warning or an error as the newest; other events are not kept.
void KeepRecentWarning(LogEvent event, const char* message);
// Copies the kept ones into out, newest first; returns their count.
int ReadRecentWarnings(RecentWarning* out, int max);
