// Files.h - the gateway's files beside its executable: their paths, derived
// once from the executable's, and the flag of the "debug" command.
#pragma once

#include <atomic>

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
