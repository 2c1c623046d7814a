// Log.h - the log beside the executable (.txt): one dated line per event an
// operator needs, echoed to the console in debug mode and, for the events
// that say so, queued for the Event Log.
#pragma once

#include "Events.h"

// Appends "<date> <time>: <message>" to the log, retrying a held file five
// times 200 ms apart; echoed to the console in debug mode. While the Event
// Log is on, an event other than None is also queued for it.
void WriteLogLine(const char* message, LogEvent event = LogEvent::None);
