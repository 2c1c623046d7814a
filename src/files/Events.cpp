// Events.cpp - the Event Log queue and the thread that reports it.
#include "Events.h"

#include "Log.h"
#include "Platform.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace {

bool ReportToEventLog(const char* source, LogEvent event, const char* text) {
    PlatformEventType type = event == LogEvent::Error     ? PlatformEventType::Error
                             : event == LogEvent::Warning ? PlatformEventType::Warning
                                                          : PlatformEventType::Information;
    return PlatformReportEvent(source, type, text);
}

constexpr size_t QueuedEvents = 32;
constexpr size_t EventTextSize = 512;
constexpr size_t EventStackSize = 64 * 1024;

struct QueuedEvent {
    LogEvent type;
    char text[EventTextSize];
};

// Guarded by Guard.
std::mutex Guard;
std::condition_variable Wake;
QueuedEvent Queue[QueuedEvents];
size_t First = 0;
size_t Count = 0;
bool Running = false;
bool Stopping = false;
char Source[64];
PlatformThread* Reporter = nullptr;

unsigned ReportQueued(void*) {
    std::unique_lock<std::mutex> hold(Guard);
    for (;;) {
        Wake.wait(hold, [] { return Count > 0 || Stopping; });
        if (Count == 0)
            return 0;
        // Reported outside the lock, from a copy: a report may take a while.
        QueuedEvent event = Queue[First];
        First = (First + 1) % QueuedEvents;
        --Count;
        hold.unlock();
        EventReporter(Source, event.type, event.text);
        hold.lock();
    }
}

} // namespace

EventSink EventReporter = ReportToEventLog;

void ReportLogEvent(LogEvent event, const char* message) {
    if (event == LogEvent::None)
        return;
    // Whether or not the Event Log is on, the status page shows it.
    KeepRecentWarning(event, message);
    std::lock_guard<std::mutex> hold(Guard);
    if (!Running || Stopping || Count == QueuedEvents)
        return;
    QueuedEvent& slot = Queue[(First + Count) % QueuedEvents];
    slot.type = event;
    std::snprintf(slot.text, sizeof slot.text, "%s", message);
    ++Count;
    Wake.notify_one();
}

bool StartEventLog(const char* source) {
    std::lock_guard<std::mutex> hold(Guard);
    if (Running)
        return true;
    std::snprintf(Source, sizeof Source, "%s", source);
    First = Count = 0;
    Stopping = false;
    Reporter = PlatformStartJoinableThread(ReportQueued, nullptr, EventStackSize);
    Running = Reporter != nullptr;
    return Running;
}

void StopEventLog() {
    {
        std::lock_guard<std::mutex> hold(Guard);
        if (!Running)
            return;
        Stopping = true;
        Wake.notify_one();
    }
    // What was queued before the stop is reported first.
    PlatformJoinThread(Reporter);
    std::lock_guard<std::mutex> hold(Guard);
    Reporter = nullptr;
    Running = false;
}
