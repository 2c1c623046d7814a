// Log.cpp - the log writer.
#include "Log.h"

#include "Files.h"
#include "Platform.h"

#include <cstdio>
#include <mutex>

namespace {

// A ring of the newest warnings: Newest is the next slot to fill.
std::mutex RecentGuard;
RecentWarning Recent[RecentWarningCount];
int RecentKept = 0;
int Newest = 0;

} // namespace

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

void KeepRecentWarning(LogEvent event, const char* message) {
    if (event != LogEvent::Warning && event != LogEvent::Error)
        return;
    PlatformLocalTime now;
    PlatformLocalNow(&now);
    std::lock_guard<std::mutex> hold(RecentGuard);
    RecentWarning& slot = Recent[Newest];
    slot.event = event;
    std::snprintf(slot.time, sizeof slot.time, "%04d-%02d-%02d %02d:%02d:%02d", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);
    std::snprintf(slot.text, sizeof slot.text, "%s", message);
    Newest = (Newest + 1) % RecentWarningCount;
    if (RecentKept < RecentWarningCount)
        ++RecentKept;
}

int ReadRecentWarnings(RecentWarning* out, int max) {
    std::lock_guard<std::mutex> hold(RecentGuard);
    int count = RecentKept < max ? RecentKept : max;
    for (int i = 0; i < count; ++i)
        out[i] = Recent[(Newest - 1 - i + RecentWarningCount) % RecentWarningCount];
    return count;
}
