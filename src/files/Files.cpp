// Files.cpp - the files' paths.
#include "Files.h"

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
