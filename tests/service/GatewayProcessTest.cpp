// GatewayProcessTest.cpp - the real executable on Linux, in a directory of
// its own with its own settings: "debug" serves until SIGINT or SIGTERM and
// then ends promptly with "Service stopped" as the log's last line; the other
// commands print and end. Built on Linux only: it starts and signals a child.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <spawn.h>
#include <string>
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
    GatewayCopy() {
        std::random_device random;
        directory_ = fs::temp_directory_path() / ("qhg-process-" + std::to_string(random()));
        fs::create_directories(directory_);
        fs::copy_file(GATEWAY_EXECUTABLE, Executable());
    }
    ~GatewayCopy() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    std::string Executable() const { return (directory_ / "QuilletHollinGateway").string(); }
    std::string File(const char* extension) const {
        return (directory_ / "QuilletHollinGateway").string() + extension;
    }

    // Starts it with one argument, stdout and stderr into a file.
    bool Start(const char* argument) {
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
        std::string path = Executable();
        char* argv[] = {path.data(), const_cast<char*>(argument), nullptr};
        int failed = posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv, environ);
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

  private:
    fs::path directory_;
    pid_t pid_ = -1;
};

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
    WriteWholeFile(gateway.File(".ini"), "[Settings]\nListenPortNumber=" + std::to_string(port) +
                                             "\nServerPortNumber=" + std::to_string(server.Port()) +
                                             "\n[Allowed Clients]\n127.0.0.1=1\n");
    ASSERT_TRUE(gateway.Start(GetParam().command));

    std::string response;
    for (int tries = 0; tries < 500; ++tries) {
        response = RawExchange(port, "GET /Sale?4111111111111111+250+0917 HTTP/1.0\r\n\r\n");
        if (response != "<no connection>")
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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
    EXPECT_EQ(log.find("4111111111111111"), std::string::npos) << "card data in the log";
}

INSTANTIATE_TEST_SUITE_P(Signals, DebugModeStop,
                         ::testing::Values(StopCase{SIGINT, "debug"}, StopCase{SIGTERM, "DEBUG"}),
                         [](const auto& info) {
                             return std::string(info.param.signal == SIGINT ? "Interrupt"
                                                                            : "Terminate");
                         });

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
