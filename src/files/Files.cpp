// Files.cpp - paths, settings, the log writer, the sequence counter and the
// system error text.
#include "files/Files.h"

#include "platform/Platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char LogPath[GatewayPathSize];
char SettingsPath[GatewayPathSize];
char SequencePath[GatewayPathSize];
char JournalStem[GatewayPathSize];
std::atomic<bool> DebugMode{false};

static const char SettingsSection[] = "Settings";
static const char ClientsSection[] = "Allowed Clients";

// Replaces the extension of the executable's file name, or appends one when
// the name has none; a null extension drops it. A "." in a directory name is
// never taken for it.
static void DeriveOnePath(char* out, const char* executablePath, const char* extension) {
    const char* name = executablePath;
    for (const char* p = executablePath; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            name = p + 1;
    }
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

int ReadSetting(const char* key, int defaultValue) {
    return PlatformProfileInt(SettingsSection, key, defaultValue, SettingsPath);
}

int ReadClientNumber(const char* clientAddress) {
    return PlatformProfileInt(ClientsSection, clientAddress, 0, SettingsPath);
}

void WriteLogLine(const char* message) {
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
}

// Leading white space, an optional sign and the leading digits; no digits
// give 0. A number too large for an int saturates, so a huge counter counts
// as past the wrap instead of wrapping into a small number.
static int ParseCounter(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '-' || *text == '+')
        negative = *text++ == '-';
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value <= INT_MAX)
            value = value * 10 + (*text - '0');
        ++text;
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// The wrap: past 999999 the counter starts again at 0.
static int WrappedCounter(int value) {
    return value > 999999 ? 0 : value;
}

int NextSequenceNumber() {
    PlatformFile* file = nullptr;
    bool created = false;
    for (int attempt = 0; attempt < 1000 && file == nullptr; ++attempt) {
        int error = 0;
        file = PlatformOpenForUpdate(SequencePath, &error, &created);
        if (file != nullptr)
            break;
        if (error != PlatformSharingViolation)
            return 0;
        PlatformSleepMs(1000);
    }
    if (file == nullptr)
        return 0;

    char text[33];
    long got = PlatformFileReadAt(file, 0, text, 32);
    text[got > 0 ? got : 0] = '\0';
    int value = WrappedCounter(ParseCounter(text));

    // The new digits go over the old ones before the file is cut to their
    // length, so a crash at any point leaves a number that still parses and
    // never one below the last number handed out. Almost every time the new
    // number is as long as the old text, and there is nothing to cut.
    // The number goes out only once the file is on stable storage: after a
    // power cut the file must never hold a number the server has seen. A
    // failed store is not reported; the next call reads the old number.
    char next[16];
    int length =
        snprintf(next, sizeof next, "%d", static_cast<int>(static_cast<unsigned>(value) + 1u));
    if (PlatformFileWriteAt(file, 0, next, static_cast<size_t>(length)) == length) {
        if (got != length)
            PlatformFileSetSize(file, length);
        PlatformFileFlush(file);
        if (created)
            PlatformFlushDirectoryOf(SequencePath);
    }
    PlatformFileClose(file);
    return value;
}

int PeekSequenceNumber(int* next) {
    char text[33];
    int error = 0;
    long got = PlatformReadFileHead(SequencePath, text, 32, &error);
    *next = 0;
    if (got < 0)
        return error;
    text[got] = '\0';
    *next = WrappedCounter(ParseCounter(text));
    return 0;
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
