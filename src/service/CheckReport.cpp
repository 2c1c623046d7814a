// CheckReport.cpp - the problems "check" finds, counted as they are filed.
#include "CheckReport.h"

#include "ErrorText.h"

#include <cstdio>

namespace {

void Tally(CheckReport* report, bool error) {
    ++(error ? report->errors : report->warnings);
}

} // namespace

void ReportProblem(CheckReport* report, int line, bool error, const std::string& text) {
    report->problems.push_back({line, error, text});
    Tally(report, error);
}

void ReportNow(CheckReport* report, bool error, const std::string& text) {
    std::printf("%s: %s\n", error ? "error" : "warning", text.c_str());
    Tally(report, error);
}

std::string ErrorWords(int code) {
    char text[256];
    FormatErrorText(code, text, sizeof text);
    return text;
}
