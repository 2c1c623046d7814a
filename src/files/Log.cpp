// Log.cpp - the log writer.
#include "Log.h"

#include "Files.h"
#include "Platform.h"

#include <cstdio>

void WriteLogLine(const char* message, LogEvent event) {
    char date[64];
    char time[32];
    PlatformLocalDateTime(date, sizeof date, time, sizeof time);

    char line[1024];
    int length = snprintf(line, sizeof line, "%s %s: %s\n", date, time, message);
    if (length < 0)
        return;
    if (length >= static_cast<int>(sizeof line))
        length = static_cast<int>(sizeof line) - 1;

    for (int attempt = 0; attempt < 5; ++attempt) {
        int error = PlatformAppendText(LogPath, line, static_cast<size_t>(length));
        if (error != PlatformSharingViolation)
            break; // written, or an error that waiting will not cure
        PlatformSleepMs(200);
    }
    if (DebugMode) {
        fputs(line, stdout);
        fflush(stdout);
    }
    ReportLogEvent(event, message);
}
