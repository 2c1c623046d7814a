// Check.cpp - the "check" command: what the gateway would make of its
// settings file, then whether the transaction server answers a connect and
// the ports are free, and what a start would recover. It writes no file,
// takes no sequence number and sends no message.
#include "Check.h"

#include "CheckProbes.h"
#include "CheckReport.h"
#include "CheckSettings.h"
#include "Files.h"
#include "Platform.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Count(int n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// The file's problems: those about no line first, then by line.
void PrintProblems(CheckReport* report) {
    std::stable_sort(report->problems.begin(), report->problems.end(),
                     [](const CheckProblem& a, const CheckProblem& b) {
                         return (a.line == 0 ? 0 : 1) < (b.line == 0 ? 0 : 1) ||
                                (a.line != 0 && b.line != 0 && a.line < b.line);
                     });
    std::printf("\n");
    for (const CheckProblem& problem : report->problems)
        std::printf("%s: %s%s\n", problem.error ? "error" : "warning",
                    problem.line != 0 ? ("line " + std::to_string(problem.line) + ": ").c_str()
                                      : "",
                    problem.text.c_str());
    if (!report->problems.empty())
        std::printf("\n");
}

} // namespace

int CheckGateway() {
    CheckReport report;
    std::printf("Settings file: %s\n", SettingsPath);
    CheckTargets targets;
    CheckSettingsFile(&report, &targets);
    PrintProblems(&report);

    PlatformSocketStartup();
    ProbeServer(&report, targets);
    ProbePort(&report, "Listen port", nullptr, targets.listenPort);
    if (!targets.statusAddress.empty())
        ProbePort(&report, "Status port", targets.statusAddress.c_str(), targets.statusPort);
    PlatformSocketCleanup();
    ShowSequence(&report);
    ShowRecovery(&report);

    std::printf("\n%s, %s%s\n", Count(report.errors, "error").c_str(),
                Count(report.warnings, "warning").c_str(),
                report.errors != 0 ? ": the gateway would not run as configured." : ".");
    return report.errors != 0 ? 1 : 0;
}
