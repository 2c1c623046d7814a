// Check.h - what the parts of the "check" command share: the report its
// problems go into, and the values its probes need.
#pragma once

#include <string>
#include <vector>

struct CheckProblem {
    int line; // 0: not about a line of the file
    bool error;
    std::string text;
};

struct CheckReport {
    std::vector<CheckProblem> problems; // printed together, by line
    int errors = 0;
    int warnings = 0;
};

// Files a problem found in the settings file, printed with the others.
void ReportProblem(CheckReport* report, int line, bool error, const std::string& text);
// Prints a problem found by a probe at once.
void ReportNow(CheckReport* report, bool error, const std::string& text);

// The effective values the probes need, from the settings.
struct CheckTargets {
    int listenPort = 0;
    int serverPort = 0;
    int statusPort = 0;
    std::string serverAddress; // dotted; empty when the name did not resolve
    std::string statusAddress; // empty when not a dotted address
};

// Reads the settings file's lines, prints every "Settings" key with the value
// the gateway would use and where it came from, and files every problem of
// the file, its keys and its "Allowed Clients".
void CheckSettingsFile(CheckReport* report, CheckTargets* targets);

// The probes, which change nothing: a connect to the transaction server (with
// ServerTls=1 its handshake too, sending nothing), a bind of each port let go
// at once, and the counter read.
void ProbeServer(CheckReport* report, const CheckTargets& targets);
void ProbePort(CheckReport* report, const char* what, const char* address, int configured);
void ShowSequence(CheckReport* report);

// "<sentence> [<code>]" for a system error code.
std::string ErrorWords(int code);
