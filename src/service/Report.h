// Report.h - the "report" command: a day's figures from its journal file,
// for a person at the end of the day or for a scheduled task.
#pragma once

#include <string>

// Exit codes besides 0: no day to report (a bad date, a missing or
// unreadable file), and sales or voids in doubt listed.
constexpr int ReportNoDay = 1;
constexpr int ReportInDoubt = 3;

// The report of the day named "YYYY-MM-DD" (null or empty: today, the local
// day the journal names its files by) into text; returns the exit code.
int MakeReport(const char* date, std::string* text);

// The command line "report [YYYY-MM-DD]": prints the report, returns its code.
int ReportCommand(int argc, char** argv);
