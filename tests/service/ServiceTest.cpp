// ServiceTest.cpp - the service host inside the test process: the status
// reports the service control manager would see, stopping from a control or
// a console key, the run sequence's log lines and server address, and the
// command line's usage text and letter case.
#include "Service.h"

#include "CommandLine.h"
#include "Run.h"

#include "Events.h"
#include "Files.h"
#include "Settings.h"
#include "Transaction.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// SERVICE_CONTROL_INTERROGATE: the one control besides stop that the service
// control manager sends on its own.
constexpr unsigned ControlInterrogate = 4;

struct StatusReport {
    unsigned state, accepted, exitCode, checkPoint, waitHint;
    bool operator==(const StatusReport&) const = default;
};

std::ostream& operator<<(std::ostream& out, const StatusReport& r) {
    return out << "{state " << r.state << ", accepted " << r.accepted << ", exit " << r.exitCode
               << ", checkpoint " << r.checkPoint << ", hint " << r.waitHint << "}";
}

std::mutex ReportsGuard;
std::vector<StatusReport> Reports;

bool RecordReport(unsigned state, unsigned accepted, unsigned exitCode, unsigned checkPoint,
                  unsigned waitHint) {
    std::lock_guard<std::mutex> hold(ReportsGuard);
    Reports.push_back({state, accepted, exitCode, checkPoint, waitHint});
    return true;
}

void ClearReports() {
    std::lock_guard<std::mutex> hold(ReportsGuard);
    Reports.clear();
}

std::vector<StatusReport> RecordedReports() {
    std::lock_guard<std::mutex> hold(ReportsGuard);
    return Reports;
}

// Installs the recorder for one test and puts the real reporter back after.
class RecordedStatus : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearReports();
        ServiceStatusReporter = RecordReport;
    }
    void TearDown() override {
        ServiceStatusReporter = PlatformSetServiceStatus;
        DebugMode = false;
    }
};

bool ReportedRunning() {
    for (const StatusReport& r : RecordedReports())
        if (r.state == PlatformServiceRunning)
            return true;
    return false;
}

// Settings with CR LF line ends, as a Windows editor leaves them.
std::string Settings(unsigned short listenPort, unsigned short serverPort,
                     const std::string& extra = "") {
    return SettingsText(listenPort, serverPort, extra, "127.0.0.1=5\n", "\r\n");
}

} // namespace

// Declared first so that it is the first test to report: the check points
// count from 1 for the whole process and are never reset.
TEST_F(RecordedStatus, ServiceLifecycleReportsStatesAndCheckPointsInOrder) {
    TempGatewayFiles files;
    FakeServer server;
    unsigned short port = FreePort();
    files.WriteSettings(Settings(port, server.Port()));

    // What ServiceMain does around the run sequence once its handler is registered.
    ASSERT_TRUE(ReportServiceStatus(PlatformServiceStartPending, 0, 3000));
    std::thread service([] { RunGateway(0, nullptr); });
    ASSERT_TRUE(WaitUntil(ReportedRunning, 10000));

    std::string response = SaleOnceListening(port);
    EXPECT_NE(response.find("200 OK"), std::string::npos) << response;
    EXPECT_EQ(response.substr(response.find("\r\n\r\n") + 4), "OK") << response;

    ServiceCtrlHandler(ControlInterrogate);
    ServiceCtrlHandler(PlatformServiceControlStop);
    service.join();
    ReportServiceStatus(PlatformServiceStopped, 0, 0);

    const unsigned none = 0, stop = PlatformServiceAcceptStop;
    std::vector<StatusReport> expected = {
        {PlatformServiceStartPending, none, 0, 1, 3000},
        {PlatformServiceStartPending, none, 0, 2, 3000},
        {PlatformServiceRunning, stop, 0, 0, 3000},
        {PlatformServiceRunning, stop, 0, 0, 0}, // the interrogation
        {PlatformServiceStopPending, stop, 0, 3, 0},
        {PlatformServiceStopped, stop, 0, 0, 0},
    };
    EXPECT_EQ(RecordedReports(), expected);

    std::vector<std::string> log = LogMessages(files.ReadLog());
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "Service started");
    EXPECT_EQ(log[1], "Transaction server address is 127.0.0.1.");
    EXPECT_EQ(log.back(), "Service stopped");
    EXPECT_EQ(files.ReadLog().find("4111111111111111"), std::string::npos)
        << "request items must never reach the log";
}

TEST_F(RecordedStatus, InterrogationRenumbersOnlyPendingStates) {
    ReportServiceStatus(PlatformServiceStopPending, 0, 0);
    ServiceCtrlHandler(ControlInterrogate);
    ReportServiceStatus(PlatformServiceRunning, 0, 0);
    ServiceCtrlHandler(ControlInterrogate);
    ReportServiceStatus(PlatformServiceStartPending, 0, 3000);
    ServiceCtrlHandler(ControlInterrogate);

    std::vector<StatusReport> got = RecordedReports();
    ASSERT_EQ(got.size(), 6u);
    unsigned first = got[0].checkPoint;
    EXPECT_GE(first, 1u);
    const unsigned none = 0, stop = PlatformServiceAcceptStop;
    std::vector<StatusReport> expected = {
        {PlatformServiceStopPending, stop, 0, first, 0},
        {PlatformServiceStopPending, stop, 0, first + 1, 0},
        {PlatformServiceRunning, stop, 0, 0, 0},
        {PlatformServiceRunning, stop, 0, 0, 0},
        {PlatformServiceStartPending, none, 0, first + 2, 3000},
        {PlatformServiceStartPending, none, 0, first + 3, 0},
    };
    EXPECT_EQ(got, expected);
}

TEST_F(RecordedStatus, DebugModeNeverReportsAndStopsOnConsoleKeys) {
    TempGatewayFiles files;
    FakeServer server;
    unsigned short port = FreePort();
    files.WriteSettings(Settings(port, server.Port()));
    DebugMode = true;

    EXPECT_TRUE(ReportServiceStatus(PlatformServiceStartPending, 0, 3000));
    std::thread gateway([] { RunGateway(0, nullptr); });
    std::string response = SaleOnceListening(port);
    EXPECT_NE(response.find("200 OK"), std::string::npos) << response;

    // Closing the console is not a stop key: the system's handling applies.
    EXPECT_FALSE(ConsoleCtrlHandler(2));
    response = SaleOnceListening(port);
    EXPECT_NE(response.find("200 OK"), std::string::npos) << "stopped by a close: " << response;

    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(ConsoleCtrlHandler(1)); // Ctrl+Break
    gateway.join();
    std::string console = ::testing::internal::GetCapturedStdout();

    EXPECT_TRUE(RecordedReports().empty());
    size_t stopping = console.find("Stopping Quillet Hollin Gateway.\n");
    size_t stopped = console.find(": Service stopped");
    ASSERT_NE(stopping, std::string::npos) << console;
    ASSERT_NE(stopped, std::string::npos) << console;
    EXPECT_LT(stopping, stopped);
    EXPECT_EQ(LogMessages(files.ReadLog()).back(), "Service stopped");
}

TEST_F(RecordedStatus, StopBeforeTheRunSequenceStartsIsNotLost) {
    TempGatewayFiles files;
    files.WriteSettings("[Settings]\r\nListenPortNumber=0\r\n");
    StopGateway();
    RunGateway(0, nullptr); // returns at once instead of serving forever
    std::vector<std::string> log = LogMessages(files.ReadLog());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Service stopped");

    // The early stop was used up: the next run serves until stopped again.
    ClearReports();
    std::atomic<bool> returned{false};
    std::thread again([&returned] {
        RunGateway(0, nullptr);
        returned = true;
    });
    ASSERT_TRUE(WaitUntil(ReportedRunning, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned);
    StopGateway();
    again.join();
}

// The server address comes from the settings, resolved once at start.
TEST_F(RecordedStatus, ServerAddressIsDefaultedAndResolvedOnce) {
    struct Case {
        const char* setting;
        const char* logged;
        bool unresolved;
    } cases[] = {
        {nullptr, "Transaction server address is 127.0.0.1.", false},
        {"ServerAddress=10.1.2.3\r\n", "Transaction server address is 10.1.2.3.", false},
        {"ServerAddress=localhost\r\n", "Transaction server address is 127.0.0.1.", false},
        {"ServerAddress=no-such-host.invalid\r\n",
         "Transaction server address is no-such-host.invalid.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "(no ServerAddress)");
        TempGatewayFiles files;
        files.WriteSettings(std::string("[Settings]\r\nListenPortNumber=0\r\n") +
                            (c.setting ? c.setting : ""));
        StopGateway();
        RunGateway(0, nullptr);
        std::vector<std::string> log = LogMessages(files.ReadLog());
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[0], "Service started");
        bool sawUnresolved = false, sawAddress = false;
        for (const std::string& line : log) {
            sawUnresolved |= line.find("Unable to resolve") != std::string::npos;
            sawAddress |= line == c.logged;
        }
        EXPECT_EQ(sawUnresolved, c.unresolved);
        EXPECT_TRUE(sawAddress);
    }
}

namespace {

std::mutex EventsGuard;
std::vector<std::string> Events;
bool RecordEvent(const char*, LogEvent event, const char* text) {
    std::lock_guard<std::mutex> hold(EventsGuard);
    Events.push_back(std::to_string(int(event)) + " " + text);
    return true;
}

} // namespace

// A key file the gateway cannot use is told once, in the log and as an
// Event Log warning, with the reason; it is left as it is, and the window
// works on under a key of this run alone.
TEST_F(RecordedStatus, KeyFileThatCannotBeUsedIsToldOnceAndLeftAsItIs) {
    TempGatewayFiles files;
    FakeServer server;
    unsigned short port = FreePort();
    files.WriteSettings(Settings(port, server.Port(), "DuplicateWindow=120\r\n"));
    const std::string key = std::string(JournalStem) + ".key"; // as the gateway names it
    WriteWholeFile(key, "short");
    Events.clear();
    EventSink platformReporter = EventReporter;
    EventReporter = RecordEvent;
    ASSERT_TRUE(StartEventLog("Source"));
    std::thread service([] { RunGateway(0, nullptr); });
    std::string first = SaleOnceListening(port);
    EXPECT_NE(first.find("200 OK"), std::string::npos) << first;
    EXPECT_NE(SaleOnceListening(port).find("409 Conflict"), std::string::npos);
    StopGateway();
    service.join();
    StopEventLog();
    EventReporter = platformReporter;

    const std::string head = "The duplicate window's key file cannot be used: the key file " + key;
    const std::string tail = ". The window starts empty and does not outlast this run.";
    std::vector<std::string> told;
    for (const std::string& line : LogMessages(files.ReadLog())) {
        if (line.rfind(head, 0) == 0)
            told.push_back(line);
    }
    ASSERT_EQ(told.size(), 1u) << files.ReadLog();
    EXPECT_EQ(told[0].substr(told[0].size() - tail.size()), tail);
    std::lock_guard<std::mutex> hold(EventsGuard);
    EXPECT_EQ(std::count(Events.begin(), Events.end(), "2 " + told[0]), 1) << told[0];
    EXPECT_EQ(ReadWholeFile(key), "short");
}

namespace {

std::string RunCommandLine(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    int status = GatewayMain(static_cast<int>(words.size()), argv.data());
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    return out;
}

const char ExpectedUsage[] =
    "\n"
    "Quillet Hollin Gateway - Copyright (c) 2009 Quillet Hollin\n"
    "http://www.quillethollin.example/\n"
    "Version: 1.01 (2009.09.14)\n"
    "\n"
    "Syntax:\n"
    "QuilletHollinGateway install           Install service\n"
    "QuilletHollinGateway remove            Remove service\n"
    "QuilletHollinGateway check             Check settings and connections\n"
    "QuilletHollinGateway report [date]     Report a day from the journal (YYYY-MM-DD, default "
    "today)\n";

} // namespace

TEST(CommandLine, UsageTextIsExactAndListsNoDebugCommand) {
    ::testing::internal::CaptureStdout();
    PrintUsage();
    std::string usage = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(usage, ExpectedUsage);
    // The descriptions line up in column 40.
    for (const char* word :
         {"Install service", "Remove service", "Check settings", "Report a day"}) {
        size_t at = usage.find(word);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(at - usage.rfind('\n', at), 40u) << word;
    }
    EXPECT_EQ(usage.find("debug"), std::string::npos);
}

TEST(CommandLine, UnknownOrMissingCommandPrintsUsage) {
    EXPECT_EQ(RunCommandLine({"QuilletHollinGateway"}), ExpectedUsage);
    EXPECT_EQ(RunCommandLine({"QuilletHollinGateway", "start"}), ExpectedUsage);
    EXPECT_EQ(RunCommandLine({"QuilletHollinGateway", "installs"}), ExpectedUsage);
    EXPECT_EQ(RunCommandLine({"QuilletHollinGateway", "help", "install"}), ExpectedUsage);
}

#ifndef _WIN32
// Without a service control manager both commands stop at opening it, say why
// in the system's words and point to the systemd unit; letter case is ignored.
TEST(CommandLine, InstallAndRemoveInAnyCaseReachTheServiceManager) {
    for (const char* word : {"Install", "INSTALL", "remove", "Remove"}) {
        SCOPED_TRACE(word);
        std::string out = RunCommandLine({"QuilletHollinGateway", word});
        const std::string head = "Unable to open service manager:\n";
        ASSERT_EQ(out.substr(0, head.size()), head);
        size_t end = out.find('\n', head.size());
        ASSERT_NE(end, std::string::npos);
        std::string reason = out.substr(head.size(), end - head.size());
        EXPECT_GT(reason.size(), 4u);
        EXPECT_EQ(reason.back(), ']') << reason; // the system's sentence, then [code]
        EXPECT_NE(out.find("QuilletHollinGateway.service", end), std::string::npos) << out;
        EXPECT_EQ(out.find("Syntax:"), std::string::npos);
    }
}
#endif

// The example settings shipped beside the executable and the README's table
// must say what the settings table says: every key, in the table's order,
// spelt so the gateway finds it, at its default; no other key; no client let
// in.
TEST(SettingsTable, ExampleFileAndReadmeFollowIt) {
    const char* path = GATEWAY_EXAMPLE_SETTINGS;
    struct Lines {
        std::string section;
        std::vector<std::string> keys;
    } lines;
    std::string text = ReadWholeFile(path);
    PlatformReadSettingsLines(
        text.data(), text.size(),
        [](const PlatformSettingsLine& line, void* context) {
            Lines& found = *static_cast<Lines*>(context);
            if (line.kind == PlatformSettingsLine::Section)
                found.section.assign(line.name, line.nameLength);
            else if (line.kind == PlatformSettingsLine::Entry && found.section == "Settings")
                found.keys.emplace_back(line.name, line.nameLength);
        },
        &lines);
    std::vector<std::string> names;
    for (const SettingRow& row : SettingRows) {
        names.push_back(row.name);
        // The file sets each key to its default, or to the value the row gives for it.
        if (row.text == nullptr) {
            EXPECT_EQ(PlatformProfileInt(row.section, row.name, -12345, path),
                      row.example != nullptr ? std::stoi(row.example) : row.number)
                << row.name;
        } else {
            // An empty value reads as the default, so an empty default is
            // shown by the key's line alone (the list of keys below).
            char value[256];
            PlatformProfileString(row.section, row.name, row.text[0] != '\0' ? "(missing)" : "",
                                  value, sizeof value, path);
            EXPECT_STREQ(value, row.example != nullptr ? row.example : row.text) << row.name;
        }
    }
    EXPECT_EQ(lines.keys, names);
    EXPECT_EQ(PlatformProfileInt("Allowed Clients", "192.168.1.20", 0, path), 0);

    // README: "| key | default | read | meaning |", one row per key, in order.
    std::string readme = ReadWholeFile(GATEWAY_README);
    size_t at = readme.find("| key | default | read | meaning |\n|---|---|---|---|\n");
    ASSERT_NE(at, std::string::npos);
    at = readme.find('\n', readme.find('\n', at) + 1) + 1;
    std::vector<std::string> rows, expected;
    for (size_t end; (end = readme.find('\n', at)) != std::string::npos && readme[at] == '|';
         at = end + 1)
        rows.push_back(readme.substr(at, end - at));
    for (const SettingRow& row : SettingRows)
        expected.push_back(
            std::string("| ") + row.name + " | " +
            (row.text != nullptr ? row.text : std::to_string(row.number)) + " | " +
            (row.read == SettingRead::AtStart ? "at start" : "on every transaction") + " | " +
            row.description + " |");
    EXPECT_EQ(rows, expected);
}
