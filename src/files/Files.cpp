// Files.cpp - the files' paths, the log writer and the system error text.
#include "Files.h"

#include "Platform.h"
#include "Text.h"

#include <cstdio>
#include <cstring>

char LogPath[GatewayPathSize];
char SettingsPath[GatewayPathSize];
char SequencePath[GatewayPathSize];
char JournalStem[GatewayPathSize];
std::atomic<bool> DebugMode{false};

// Replaces the extension of the executable's file name, or appends one when
// the name has none; a null extension drops it. A "." in a directory name is
// never taken for it.
static void DeriveOnePath(char* out, const char* executablePath, const char* extension) {
    const char* name = FileNameOf(executablePath);
    const char* dot = strrchr(name, '.');
    size_t stem =
        dot != nullptr ? static_cast<size_t>(dot - executablePath) : strlen(executablePath);
    if (extension == nullptr)
        snprintf(out, GatewayPathSize, "%.*s", static_cast<int>(stem), executablePath);
    else
        snprintf(out, GatewayPathSize, "%.*s.%s", static_cast<int>(stem), executablePath,
                 extension);
}

void DeriveFilePaths(const char* executablePath) {
    DeriveOnePath(LogPath, executablePath, "txt");
    DeriveOnePath(SettingsPath, executablePath, "ini");
    DeriveOnePath(SequencePath, executablePath, "seq");
    DeriveOnePath(JournalStem, executablePath, nullptr);
}

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

void FormatErrorText(int code, char* out, size_t size) {
    char sentence[200]; // leaves room for " [code]" in a 256-byte text
    if (PlatformErrorSentence(code, sentence, sizeof sentence))
        snprintf(out, size, "%s [%d]", sentence, code);
    else
        snprintf(out, size, "Error %d", code);
}

const char* GetLastErrorText() {
    static char text[256];
    FormatErrorText(PlatformLastError(), text, sizeof text);
    return text;
}
