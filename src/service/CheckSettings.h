// CheckSettings.h - what "check" makes of the settings file, and the values
// its probes take from it.
#pragma once

#include "CheckReport.h"

#include <string>
#include <vector>

// The effective values the probes need, from the settings.
struct CheckTargets {
    int listenPort = 0;
    int serverPort = 0;
    int statusPort = 0;
    std::string serverAddress;           // dotted; empty when the name did not resolve
    int backupPort = 0;                  // BackupServerPort as the gateway takes it
    std::string backupAddress;           // dotted; empty when none or when the name did not resolve
    std::string statusAddress;           // empty when not a dotted address
    std::vector<std::string> faultyKeys; // keys whose own rule refused their value
};

// Reads the settings file's lines, prints every "Settings" key with the value
// the gateway would use and where it came from, and files every problem of
// the file, its keys and its "Allowed Clients".
void CheckSettingsFile(CheckReport* report, CheckTargets* targets);
