// CheckReport.h - the report the parts of "check" file their problems in.
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

// "<sentence> [<code>]" for a system error code.
std::string ErrorWords(int code);
