// GatewayProcessTest.cpp - the real executable on Linux, in a directory of
// its own with its own settings: "debug" serves until SIGINT or SIGTERM and
// then ends promptly with "Service stopped" as the log's last line; the other
// commands print and end; "check" finds each kind of settings problem and
// changes nothing. Built on Linux only: it starts and signals a child.
#include "support/TestSupport.h"

#include "TxSim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A copy of the gateway in a fresh directory, so its .ini, .txt and .seq
// files are the test's own.
class GatewayCopy {
  public:
    GatewayCopy() { fs::copy_file(GATEWAY_EXECUTABLE, Executable()); }
    ~GatewayCopy() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string Executable() const { return directory_.File("QuilletHollinGateway"); }
    std::string File(const char* extension) const { return Executable() + extension; }
    // Settings for a listen port, a server port and client 127.0.0.1 as number 1.
    void WriteSettings(unsigned short port, unsigned short serverPort) const {
        WriteWholeFile(File(".ini"), SettingsText(port, serverPort));
    }

    // Starts it with one argument, stdout and stderr into a file; a wrapper
    // command (strace and its options) may go first.
    bool Start(const char* argument, std::vector<std::string> wrapper = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string out = File(".out");
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        // The child must get SIGINT and SIGTERM whatever this process blocks.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        wrapper.push_back(Executable());
        wrapper.push_back(argument);
        std::vector<char*> argv;
        for (std::string& word : wrapper)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        int failed = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        return failed == 0;
    }

    // Waits for the exit; false if it is still running after timeoutMs.
    bool WaitForExit(int timeoutMs, int* status) {
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            if (waitpid(pid_, status, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    pid_t Pid() const { return pid_; }

    // Runs a one-shot command to its end: the exit status, -1 if it did not end.
    int Run(const char* argument) {
        int status = 0;
        if (!Start(argument) || !WaitForExit(15000, &status) || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }
    // The names of the files in the directory, sorted.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory_.Path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    TempDirectory directory_;
    pid_t pid_ = -1;
};

// The card of every sale here.
const std::string SaleCard = "4111111111111111";

std::string LastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r'))
        trimmed.pop_back();
    return trimmed.substr(trimmed.rfind('\n') + 1);
}

struct StopCase {
    int signal;
    const char* command;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << "signal " << c.signal << " to \"" << c.command << "\"";
}

class DebugModeStop : public ::testing::TestWithParam<StopCase> {};

} // namespace

TEST_P(DebugModeStop, ServesThenStopsPromptlyOnSignal) {
    FakeServer server;
    GatewayCopy gateway;
    unsigned short port = FreePort();
    gateway.WriteSettings(port, server.Port());
    ASSERT_TRUE(gateway.Start(GetParam().command));

    std::string response = SaleOnceListening(port, 250);
    ASSERT_NE(response.find("200 OK"), std::string::npos) << response;
    ASSERT_EQ(server.Messages().size(), 1u);

    auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(gateway.Pid(), GetParam().signal), 0);
    int status = 0;
    ASSERT_TRUE(gateway.WaitForExit(3000, &status)) << "still running after the signal";
    auto took = std::chrono::steady_clock::now() - signalled;
    EXPECT_LT(took, std::chrono::seconds(1));
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal instead of stopping";
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string console = ReadWholeFile(gateway.File(".out"));
    EXPECT_EQ(console.rfind("Debugging Quillet Hollin Gateway.\n", 0), 0u) << console;
    size_t stopping = console.find("Stopping Quillet Hollin Gateway.\n");
    ASSERT_NE(stopping, std::string::npos) << console;
    EXPECT_LT(stopping, console.find(": Service stopped")) << console;

    std::string log = ReadWholeFile(gateway.File(".txt"));
    EXPECT_NE(log.find(": Service started\n"), std::string::npos) << log;
    std::string last = LastLine(log);
    EXPECT_GE(last.size(), std::string(": Service stopped").size());
    EXPECT_EQ(last.substr(last.find(": ")), ": Service stopped") << log;
    EXPECT_EQ(log.find(SaleCard), std::string::npos) << "card data in the log";
}

INSTANTIATE_TEST_SUITE_P(Signals, DebugModeStop,
                         ::testing::Values(StopCase{SIGINT, "debug"}, StopCase{SIGTERM, "DEBUG"}),
                         [](const auto& info) {
                             return std::string(info.param.signal == SIGINT ? "Interrupt"
                                                                            : "Terminate");
                         });

// The service manager's view (systemd's notify protocol): READY=1 once the
// port accepts connections, then watchdog pings from the listener's loop
// with a status line that follows the server and the day's transactions,
// then STOPPING=1 as the last word. A gateway that cannot bind says nothing
// and exits 1, so that systemd's Restart=on-failure applies.
TEST(GatewayProcess, TellsTheServiceManagerReadyPingsAndStopping) {
    GatewayCopy gateway;
    std::string address = gateway.File(".notify");
    int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    ASSERT_LT(address.size(), sizeof name.sun_path);
    std::memcpy(name.sun_path, address.c_str(), address.size());
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&name), sizeof name), 0);
    auto next = [manager](int timeoutMs) {
        pollfd ready{manager, POLLIN, 0};
        char buffer[512];
        ssize_t size =
            poll(&ready, 1, timeoutMs) == 1 ? recv(manager, buffer, sizeof buffer, 0) : -1;
        return size < 0 ? std::string("(none)") : std::string(buffer, size_t(size));
    };
    FakeServer server;
    unsigned short port = FreePort();
    gateway.WriteSettings(port, server.Port());
    setenv("NOTIFY_SOCKET", address.c_str(), 1);
    setenv("WATCHDOG_USEC", "200000", 1); // a ping every 100 ms
    bool started = gateway.Start("debug");
    ASSERT_TRUE(started);

    std::string status = "Listening on port " + std::to_string(port) + "; server ";
    EXPECT_EQ(next(5000), "READY=1\nSTATUS=" + status + "not connected; 0 transactions today");
    PlatformSocket first = ConnectLoopback(port); // no retry: the port listens already
    EXPECT_NE(first, PlatformNoSocket);
    PlatformCloseSocket(first);
    EXPECT_NE(SaleOnceListening(port, 250).find("200 OK"), std::string::npos);
    std::string ping = "WATCHDOG=1\nSTATUS=" + status + "connected; 1 transactions today";
    std::string got;
    for (int i = 0; i < 20 && got != ping; ++i)
        got = next(2000);
    EXPECT_EQ(got, ping);
    EXPECT_EQ(next(2000), ping) << "the pings go on";

    ASSERT_EQ(kill(gateway.Pid(), SIGTERM), 0);
    for (got = next(2000); got == ping;)
        got = next(2000);
    EXPECT_EQ(got, "STOPPING=1");
    int exit = 0;
    ASSERT_TRUE(gateway.WaitForExit(3000, &exit));
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
    EXPECT_EQ(next(100), "(none)");

    // The port taken: no word to the manager, and a failure's exit status.
    unsigned short taken = FreePort();
    PlatformSocket holding = PlatformTcpSocket();
    ASSERT_EQ(PlatformBind(holding, nullptr, taken), 0);
    ASSERT_EQ(PlatformListen(holding, 1), 0);
    gateway.WriteSettings(taken, server.Port());
    started = gateway.Start("debug");
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(started);
    ASSERT_TRUE(gateway.WaitForExit(5000, &exit));
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 1) << exit;
    EXPECT_EQ(next(100), "(none)");
    EXPECT_NE(ReadWholeFile(gateway.File(".txt")).find("is in use"), std::string::npos);
    PlatformCloseSocket(holding);
    close(manager);
}

// One-shot commands print and end without starting the gateway.
TEST(GatewayProcess, CommandsPrintAndEnd) {
    struct Case {
        const char* argument;
        const char* startsWith;
        const char* alsoHas;
    } cases[] = {
        {"Install", "Unable to open service manager:\n", "QuilletHollinGateway.service"},
        {"REMOVE", "Unable to open service manager:\n", "QuilletHollinGateway.service"},
        {"status", "\nQuillet Hollin Gateway", "Syntax:\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        GatewayCopy gateway;
        ASSERT_TRUE(gateway.Start(c.argument));
        int status = 0;
        ASSERT_TRUE(gateway.WaitForExit(5000, &status));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        std::string out = ReadWholeFile(gateway.File(".out"));
        EXPECT_EQ(out.rfind(c.startsWith, 0), 0u) << out;
        EXPECT_NE(out.find(c.alsoHas), std::string::npos) << out;
        EXPECT_FALSE(fs::exists(gateway.File(".txt"))) << "the gateway must not have started";
    }
}

// Each problem "check" must find, with the line it names: errors end it with
// 1, warnings alone with 0. It writes no log, leaves the counter as it was,
// creates no file and sends the server no byte.
TEST(GatewayProcess, CheckNamesEachProblemAndChangesNothing) {
    FakeServer server;
    unsigned short closed = FreePort();
    const std::string listen = "ListenPortNumber=" + std::to_string(FreePort()) + "\n";
    const std::string serverPort = "ServerPortNumber=" + std::to_string(server.Port()) + "\n";
    const std::string head = "[Settings]\n" + listen + serverPort;
    const std::string good = head + "[Allowed Clients]\n";
    struct Case {
        const char* what;
        std::string settings; // empty: no settings file
        int status;           // -1: depends on what listens on the default ports
        std::string line;
    } cases[] = {
        {"clean", good + "127.0.0.1=1\n", 0, "0 errors, 0 warnings."},
        {"unknown key", head + "ListenPort=8080\n", 0,
         "warning: line 4: unknown key ListenPort in [Settings]; the gateway ignores it"},
        {"letter O", "[Settings]\nListenPortNumber=18O\n" + serverPort, 1,
         "error: line 2: ListenPortNumber=18O is not a whole number: the gateway reads it as 18"},
        {"port range", "[Settings]\n" + listen + "ServerPortNumber=70000\n", 1,
         "error: line 3: ServerPortNumber 70000 is not a port from 1 to 65535 (the gateway would "
         "use 4464)"},
        {"address", good + "192.168.1.300=5\n", 1,
         "error: line 5: [Allowed Clients] 192.168.1.300 is not a dotted IPv4 address"},
        {"client number", good + "127.0.0.1=5x\n", 1,
         "error: line 5: 127.0.0.1=5x is not a whole number: the gateway reads it as 5"},
        {"refused", good + "127.0.0.2=0\n", 0,
         "warning: line 5: 127.0.0.2=0: this till is refused"},
        {"twice", good + "127.0.0.1=1\n127.0.0.1=2\n", 0,
         "warning: line 6: 127.0.0.1 is listed again; the first one (line 5) counts"},
        {"window", head + "DuplicateWindow=30000\n", 0,
         "warning: line 4: DuplicateWindow 30000 is more than 28800: the gateway takes 28800"},
        {"unresolved", head + "ServerAddress=no-such-host.invalid\n", 1,
         "error: line 4: ServerAddress no-such-host.invalid does not resolve to an IPv4 address"},
        {"no file", "", -1, "warning: the settings file does not exist: all defaults"},
        // Read as the gateway reads it: a line longer than 4,095 bytes goes on
        // as a line of its own, here a key the gateway uses.
        {"long line", head + "X=" + std::string(4093, 'a') + "EntryMode=7\n", 0,
         "EntryMode              7                  from the file, line 4"},
        {"repeated terminal", head + "TerminalAddresses=3,4,3\n", 1,
         "error: line 4: TerminalAddresses 3,4,3 repeats the address 3"},
        {"terminal beside list", head + "TerminalAddress=7\nTerminalAddresses=3,4\n", 0,
         "warning: line 4: TerminalAddress is not used beside TerminalAddresses"},
        {"pasted fingerprint",
         head + "ServerCertificateHash=sha256 Fingerprint=" +
             [] {
                 std::string pin = "AB";
                 for (int i = 1; i < 32; ++i)
                     pin += ":AB";
                 return pin;
             }() +
             "\n[Allowed Clients]\n127.0.0.1=1\n",
         0, "0 errors, 0 warnings."},
        {"backup down",
         head + "BackupServerAddress=127.0.0.1\nBackupServerPort=" + std::to_string(closed) + "\n",
         1,
         "error: cannot connect to the backup transaction server 127.0.0.1:" +
             std::to_string(closed) + ": Connection refused [111]"},
        {"server down", "[Settings]\n" + listen + "ServerPortNumber=" + std::to_string(closed), 1,
         "error: cannot connect to the transaction server 127.0.0.1:" + std::to_string(closed) +
             ": Connection refused [111]"},
        {"listen port in use",
         "[Settings]\nListenPortNumber=" + std::to_string(server.Port()) + "\n" + serverPort, 0,
         "warning: Listen port " + std::to_string(server.Port()) +
             " is in use: the gateway may already be running"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GatewayCopy gateway;
        // Without settings, without a counter: neither may appear.
        if (!c.settings.empty()) {
            WriteWholeFile(gateway.File(".ini"), c.settings);
            WriteWholeFile(gateway.File(".seq"), "41");
        }
        std::vector<std::string> files = gateway.Files();
        int status = gateway.Run("check");
        if (c.status >= 0) {
            EXPECT_EQ(status, c.status);
        }
        std::string out = ReadWholeFile(gateway.File(".out"));
        EXPECT_NE(out.find("\n" + c.line), std::string::npos) << out;

        files.push_back("QuilletHollinGateway.out");
        std::sort(files.begin(), files.end());
        EXPECT_EQ(gateway.Files(), files) << "check created or removed a file";
        if (!c.settings.empty()) {
            EXPECT_EQ(ReadWholeFile(gateway.File(".seq")), "41");
            EXPECT_NE(out.find("Next sequence number: 41\n"), std::string::npos) << out;
        } else {
            EXPECT_NE(out.find("Next sequence number: 0 (no counter file yet)\n"),
                      std::string::npos);
        }
    }
    EXPECT_GT(server.Connections(), 0);
    // No message: at most the first flight of a TLS handshake, the probe
    // for a TLS server behind ServerTls=0.
    EXPECT_TRUE(server.Messages().empty());
    EXPECT_EQ(server.Received().substr(0, 2), "\x16\x03");
}

TEST(GatewayProcess, CheckPassesOnThePackagedSettingsWithTxsimRunning) {
    TxSim txsim;
    TxSimOptions options;
    options.port = 3770; // as the packaged file says
    // If the port is taken, a transaction server is already listening there.
    bool ours = txsim.Start(options);
    GatewayCopy gateway;
    WriteWholeFile(gateway.File(".ini"), ReadWholeFile(GATEWAY_EXAMPLE_SETTINGS));
    EXPECT_EQ(gateway.Run("check"), 0) << ReadWholeFile(gateway.File(".out"));
    std::string out = ReadWholeFile(gateway.File(".out"));
    EXPECT_NE(out.find("Transaction server 127.0.0.1:3770: connected\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nStatusPort             0                  from the file, line "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nDuplicateWindow        120                from the file, line "),
              std::string::npos)
        << out;
    if (ours) {
        EXPECT_TRUE(txsim.Messages().empty());
    }
}

// The sale's record is on stable storage before the message leaves, with
// the counter folded into its flush. Under strace, a lone sale's number is
// written to the counter file without a flush, its record and the record
// file's header go in, one fdatasync of the record file follows and only
// then the send to the server: one flush per sale, none of the counter file.
// Sales that come together share a group: one counter write, their records
// and the header, one flush. Every number sent is below the number the
// counter held when the record flush before it returned.
TEST(GatewayProcess, RecordReachesTheDiskBeforeTheMessageLeaves) {
    if (!fs::exists("/usr/bin/strace"))
        GTEST_SKIP() << "strace is not installed (scripts/deps.sh installs it)";
    FakeServer server;
    GatewayCopy gateway;
    unsigned short port = FreePort();
    gateway.WriteSettings(port, server.Port());
    std::string trace = gateway.File(".strace");
    ASSERT_TRUE(gateway.Start("debug", {"/usr/bin/strace", "-f", "-yy", "-o", trace, "-e",
                                        "trace=pwrite64,fdatasync,fsync,sendto"}));
    for (int amount : {250, 260})
        ASSERT_NE(SaleOnceListening(port, amount).find("200 OK"), std::string::npos);
    const int burst = 16;
    std::vector<std::thread> tills;
    for (int i = 0; i < burst; ++i)
        tills.emplace_back([port, i] { SaleOnceListening(port, 300 + i); });
    for (auto& till : tills)
        till.join();

    // strace passes no signal on: stop the gateway itself, strace then ends.
    std::string children = ReadWholeFile("/proc/" + std::to_string(gateway.Pid()) + "/task/" +
                                         std::to_string(gateway.Pid()) + "/children");
    ASSERT_FALSE(children.empty());
    ASSERT_EQ(kill(std::stoi(children), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(gateway.WaitForExit(10000, &status));

    // The calls on the counter file, the record file and the server
    // connection, in the order they started, from the first sale on.
    const std::string counter = "<" + gateway.File(".seq") + ">";
    const std::string record = "<" + gateway.File(".rec") + ">";
    const std::string serverSocket = "->127.0.0.1:" + std::to_string(server.Port()) + "]>";
    std::vector<std::string> calls;
    std::vector<std::string> messages = server.Messages();
    size_t sends = 0, outcomes = 0;
    int written = -1, durable = -1;
    std::istringstream lines(ReadWholeFile(trace));
    for (std::string line; std::getline(lines, line);) {
        size_t call = line.find(' ');
        if (call == std::string::npos)
            continue;
        std::string rest = line.substr(call + 1);
        while (!rest.empty() && rest[0] == ' ')
            rest.erase(0, 1);
        bool returned = rest.find(" = ") != std::string::npos;
        if (rest.rfind("<... fdatasync resumed>", 0) == 0 && returned)
            durable = written;
        if (line.find("resumed>", call) != std::string::npos)
            continue;
        bool sync = rest.rfind("fdatasync(", 0) == 0 || rest.rfind("fsync(", 0) == 0;
        if (rest.rfind("pwrite64(", 0) == 0 && rest.find(counter) != std::string::npos) {
            calls.push_back("write counter");
            size_t quote = rest.find(", \"");
            written = quote == std::string::npos ? -1 : std::atoi(rest.c_str() + quote + 3);
        } else if (calls.empty()) {
            continue; // the start's own reading and marking of the record file
        } else if (rest.rfind("pwrite64(", 0) == 0 && rest.find(record) != std::string::npos) {
            // An outcome (1,024 bytes) goes in unflushed once the reply is
            // in, while the next sale may be on its way.
            if (rest.find(", 1024, ") != std::string::npos)
                ++outcomes;
            else
                calls.push_back("write record");
        } else if (sync) {
            calls.push_back(rest.find(record) != std::string::npos ? "sync record" : "sync other");
            if (returned)
                durable = written;
        } else if (rest.rfind("sendto(", 0) == 0 && rest.find(serverSocket) != std::string::npos) {
            calls.push_back("send message");
            ASSERT_LT(sends, messages.size());
            const std::string& message = messages[sends++];
            int number = std::atoi(message.substr(4, message.find('\x1c') - 4).c_str());
            EXPECT_EQ(number, static_cast<int>(sends) - 1);
            EXPECT_LT(number, durable) << "sent before its record was on disk";
        }
    }
    const std::vector<std::string> sale = {"write counter", "write record", "write record",
                                           "sync record", "send message"};
    std::vector<std::string> expected;
    for (int i = 0; i < 2; ++i)
        expected.insert(expected.end(), sale.begin(), sale.end());
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 10), expected)
        << ReadWholeFile(trace);
    // The burst: each group writes the counter once, its records and the
    // header, and flushes once; the counter file is never flushed.
    auto count = [&](const char* what) { return std::count(calls.begin(), calls.end(), what); };
    long groups = count("sync record");
    EXPECT_EQ(count("write counter"), groups);
    EXPECT_EQ(count("write record"), burst + 2 + groups);
    EXPECT_EQ(count("sync other"), 0);
    EXPECT_LT(groups, burst + 2); // queued sales shared flushes
    EXPECT_EQ(sends, static_cast<size_t>(burst + 2));
    EXPECT_EQ(outcomes, static_cast<size_t>(burst + 2));
    EXPECT_EQ(ReadWholeFile(gateway.File(".seq")), std::to_string(burst + 2));
}

// The crash the records are for: a sale is at the server, its reply not yet
// back, when the gateway is killed. "check" lists it and changes nothing;
// the next start journals it in doubt with the log's line, and the till's
// repeats of it and of the sale before it get 409 without reaching the
// server, under the key kept in the key file.
TEST(GatewayProcess, SaleInFlightAtAKillIsInDoubtAfterTheRestartAndNotSentAgain) {
    FakeServer server([](FakeConnection& c, const std::string& message) {
        if (message.find(FS + "250" + FS) != std::string::npos)
            c.Send(Framed("APPROVED 250")); // the second sale gets no reply
    });
    GatewayCopy gateway;
    unsigned short port = FreePort();
    WriteWholeFile(gateway.File(".ini"),
                   SettingsText(port, server.Port(), "DuplicateWindow=120\n"));
    WriteWholeFile(gateway.File(".seq"), "41");
    ASSERT_TRUE(gateway.Start("debug"));
    EXPECT_NE(SaleOnceListening(port, 250).find("200 OK"), std::string::npos);
    std::thread till([port] { SaleOnceListening(port, 260); });
    ASSERT_TRUE(WaitUntil([&] { return server.Messages().size() == 2; }));
    ASSERT_EQ(kill(gateway.Pid(), SIGKILL), 0);
    int status = 0;
    ASSERT_TRUE(gateway.WaitForExit(5000, &status));
    till.join();
    const std::string key = ReadWholeFile(gateway.File(".key"));
    EXPECT_EQ(key.size(), 32u);

    const std::string line = "1 transaction from before the last stop is in doubt: sequence 42.";
    std::vector<std::string> before;
    for (const std::string& name : gateway.Files())
        before.push_back(name + ReadWholeFile(gateway.File("") + name.substr(20)));
    EXPECT_EQ(gateway.Run("check"), 0);
    std::string out = ReadWholeFile(gateway.File(".out"));
    EXPECT_NE(out.find("warning: " + line + " A start journals them in doubt"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Duplicate window entries a start would bring back: 2\n"), std::string::npos)
        << out;
    std::vector<std::string> after;
    for (const std::string& name : gateway.Files())
        if (name != "QuilletHollinGateway.out")
            after.push_back(name + ReadWholeFile(gateway.File("") + name.substr(20)));
    before.erase(std::remove_if(before.begin(), before.end(),
                                [](const std::string& file) {
                                    return file.rfind("QuilletHollinGateway.out", 0) == 0;
                                }),
                 before.end());
    EXPECT_EQ(after, before) << "check changed a file";

    ASSERT_TRUE(gateway.Start("debug"));
    const std::string inDoubt = "Duplicate of sequence 42, whose outcome is unknown: check it with "
                                "the transaction server before trying again.";
    EXPECT_NE(SaleOnceListening(port, 260).find("409 Conflict\r\n"), std::string::npos);
    std::string repeat = SaleOnceListening(port, 260);
    EXPECT_EQ(repeat.substr(repeat.find("\r\n\r\n") + 4), inDoubt);
    repeat = SaleOnceListening(port, 250);
    EXPECT_EQ(repeat.substr(repeat.find("\r\n\r\n") + 4),
              "Duplicate of sequence 41, answered: APPROVED 250");
    ASSERT_EQ(kill(gateway.Pid(), SIGTERM), 0);
    ASSERT_TRUE(gateway.WaitForExit(5000, &status));
    EXPECT_EQ(server.Messages().size(), 2u);
    EXPECT_EQ(ReadWholeFile(gateway.File(".key")), key);
    std::string log = ReadWholeFile(gateway.File(".txt"));
    EXPECT_NE(log.find(": " + line + "\n"), std::string::npos) << log;
    std::string journal;
    for (const std::string& name : gateway.Files())
        if (name.size() > 4 && name.substr(name.size() - 4) == ".csv")
            journal += ReadWholeFile(gateway.File("") + name.substr(20));
    EXPECT_NE(journal.find(",127.0.0.1,1,sale,42,260,************1111,0917,in-doubt,504,,"
                           "The gateway stopped before the reply came.\r\n"),
              std::string::npos)
        << journal;
}

// With ServerTls=1 the real executable reaches txsim through a TLS front of
// support/tls-peers.sh: the plain leg behind it carries exactly the framed
// messages, one handshake serves both sales, and "check" shows the handshake,
// the client certificate and each problem of the TLS settings.
TEST(GatewayProcessTls, SalesCrossTheTlsFrontAsTheFramedBytesAndCheckShowsTheHandshake) {
    ASSERT_FALSE(Env("QHG_TLS_CA").empty())
        << "the TLS cases need the servers of tests/support/tls-peers.sh";
    GatewayCopy gateway;
    TxSim txsim;
    TxSimOptions options;
    options.port = EnvPort("QHG_TLS_BACKEND_PORT");
    options.recordPath = gateway.File(".record");
    ASSERT_TRUE(txsim.Start(options));
    unsigned short port = FreePort();
    auto settings = [&](const char* front, const std::string& extra,
                        const std::string& caFile = Env("QHG_TLS_CA")) {
        WriteWholeFile(gateway.File(".ini"),
                       SettingsText(port, EnvPort(front),
                                    "ServerTls=1\nServerCaFile=" + caFile + "\n" + extra));
    };
    settings("QHG_TLS_GOOD_PORT", "");
    WriteWholeFile(gateway.File(".seq"), "41");
    ASSERT_TRUE(gateway.Start("debug"));
    for (int amount : {250, 260})
        EXPECT_NE(SaleOnceListening(port, amount).find("200 OK"), std::string::npos);
    ASSERT_EQ(kill(gateway.Pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(gateway.WaitForExit(3000, &status));
    auto sale = [&](int sequence, int amount) {
        return Framed("00" + std::to_string(sequence) + FS + "1" + FS + "51" + FS +
                      std::to_string(amount) + FS + FS + "0917" + FS + FS + SaleCard + FS + "2");
    };
    EXPECT_EQ(ReadWholeFile(gateway.File(".record")), sale(41, 250) + sale(42, 260));
    EXPECT_EQ(txsim.ConnectionsAccepted(), 1u);

    // check: the handshake and the certificate, a warning for its end in
    // under 30 days, nothing sent.
    int64_t left = std::atoll(Env("QHG_TLS_NOT_AFTER").c_str()) -
                   std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    ASSERT_LT(left, 30 * 86400) << "tls-peers.sh makes certificates that end within 30 days";
    EXPECT_EQ(gateway.Run("check"), 0);
    std::string out = ReadWholeFile(gateway.File(".out"));
    for (const std::string& line : std::vector<std::string>{
             std::string("TLS: TLSv1.3, TLS_"),
             "Certificate: " + Env("QHG_TLS_SUBJECT") + "\n",
             "  issued by: " + Env("QHG_TLS_ISSUER") + "\n",
             "  SHA-256:   " + Env("QHG_TLS_SHA256") + "\n",
             "warning: the transaction server's certificate expires in " +
                 std::to_string(left / 86400) + " days, on ",
             "\n0 errors, 1 warning.",
         })
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(txsim.Messages().size(), 2u);

    // The client certificate to a server and a backup that ask for it: shown
    // once, its end within 30 days, and that it went to both.
    const std::string certificate = Env("QHG_TLS_CLIENT_CERT");
    auto client = [&](const std::string& key) {
        return "ServerClientCertificateFile=" + certificate + "\nServerClientKeyFile=" + key + "\n";
    };
    settings("QHG_TLS_REQUIRE_PORT", client(Env("QHG_TLS_CLIENT_KEY")) +
                                         "BackupServerAddress=127.0.0.1\nBackupServerPort=" +
                                         std::to_string(EnvPort("QHG_TLS_REQUIRE_PORT")) + "\n");
    EXPECT_EQ(gateway.Run("check"), 0);
    out = ReadWholeFile(gateway.File(".out"));
    left = std::atoll(Env("QHG_TLS_CLIENT_NOT_AFTER").c_str()) -
           std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count();
    auto count = [&](const std::string& line) {
        size_t found = 0;
        for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1))
            ++found;
        return found;
    };
    EXPECT_EQ(count("\nClient certificate: " + Env("QHG_TLS_CLIENT_SUBJECT") + "\n"), 1u) << out;
    EXPECT_EQ(count("warning: the client certificate expires in " + std::to_string(left / 86400) +
                    " days, on "),
              1u)
        << out;
    EXPECT_EQ(count("\nTLS: TLSv1.3, TLS_"), 2u) << out;
    EXPECT_EQ(count("\nClient certificate asked for: yes, sent\n"), 2u) << out;
    EXPECT_NE(out.find("\nBackup transaction server 127.0.0.1:"), std::string::npos) << out;
    EXPECT_NE(out.find("\n0 errors, 3 warnings."), std::string::npos) << out;

    struct Case {
        const char* what;
        const char* front;
        std::string extra;
        std::string caFile; // empty: the test CA
        std::string line;
        int status = 1;
    };
    const std::string directory = fs::path(gateway.Executable()).parent_path().string();
    const Case cases[] = {
        {"untrusted", "QHG_TLS_UNTRUSTED_PORT", "", "",
         "error: TLS handshake with the transaction server 127.0.0.1:" +
             std::to_string(EnvPort("QHG_TLS_UNTRUSTED_PORT")) +
             " (127.0.0.1): certificate not trusted\n"},
        {"pinned elsewhere", "QHG_TLS_GOOD_PORT",
         "ServerCertificateHash=" + std::string(64, 'a') + "\n", "",
         "(127.0.0.1): fingerprint mismatch\n"},
        {"short hash", "QHG_TLS_GOOD_PORT", "ServerCertificateHash=ab:cd\n", "",
         "error: line 6: ServerCertificateHash ab:cd is not a SHA-256 fingerprint"},
        {"no CA file", "QHG_TLS_GOOD_PORT", "", "nope.pem",
         "error: line 5: ServerCaFile " + directory + "/nope.pem does not exist"},
        {"not a PEM file", "QHG_TLS_GOOD_PORT", "", "QuilletHollinGateway.seq",
         "error: line 5: ServerCaFile " + directory +
             "/QuilletHollinGateway.seq holds no PEM certificate it can read"},
        {"no client certificate file", "QHG_TLS_REQUIRE_PORT",
         "ServerClientCertificateFile=gone.pem\nServerClientKeyFile=" + Env("QHG_TLS_CLIENT_KEY") +
             "\n",
         "",
         "error: line 6: ServerClientCertificateFile " + directory + "/gone.pem does not exist"},
        {"client key with a passphrase", "QHG_TLS_REQUIRE_PORT",
         client(Env("QHG_TLS_CLIENT_ENCRYPTED_KEY")), "",
         "error: line 7: ServerClientKeyFile " + Env("QHG_TLS_CLIENT_ENCRYPTED_KEY") +
             " is encrypted: export the key without a passphrase (openssl pkey"},
        {"a Windows key", "QHG_TLS_GOOD_PORT",
         "ServerClientCertificateHash=" + Env("QHG_TLS_CLIENT_SHA256") + "\n", "",
         "warning: line 6: ServerClientCertificateHash is not used on Linux; it is read on "
         "Windows only\n",
         0},
        {"backup untrusted", "QHG_TLS_GOOD_PORT",
         "BackupServerAddress=127.0.0.1\nBackupServerPort=" +
             std::to_string(EnvPort("QHG_TLS_UNTRUSTED_PORT")) + "\n",
         "",
         "error: TLS handshake with the backup transaction server 127.0.0.1:" +
             std::to_string(EnvPort("QHG_TLS_UNTRUSTED_PORT")) +
             " (127.0.0.1): certificate not trusted\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings(c.front, c.extra, c.caFile.empty() ? Env("QHG_TLS_CA") : c.caFile);
        EXPECT_EQ(gateway.Run("check"), c.status);
        out = ReadWholeFile(gateway.File(".out"));
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
    }
    // A plain gateway pointed at a TLS server is told to turn TLS on.
    WriteWholeFile(gateway.File(".ini"),
                   SettingsText(port, EnvPort("QHG_TLS_GOOD_PORT"), "ServerTls=0\n"));
    EXPECT_EQ(gateway.Run("check"), 1);
    out = ReadWholeFile(gateway.File(".out"));
    EXPECT_NE(out.find("error: the transaction server 127.0.0.1:" +
                       std::to_string(EnvPort("QHG_TLS_GOOD_PORT")) +
                       " answers a TLS handshake: set ServerTls=1"),
              std::string::npos)
        << out;
    EXPECT_EQ(txsim.Messages().size(), 2u);
}
