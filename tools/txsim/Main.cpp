// Main.cpp - the txsim command line: parses the options, starts one simulator
// and runs until Ctrl+C (SIGINT or SIGTERM on Linux).
#include "TxSim.h"

#include "Platform.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

std::mutex StopMutex;
std::condition_variable StopSignal;
bool StopRequested = false;

bool OnConsoleCtrl(unsigned /*event*/) {
    {
        std::lock_guard<std::mutex> lock(StopMutex);
        StopRequested = true;
    }
    StopSignal.notify_all();
    return true;
}

void PrintUsage() {
    std::printf(
        "Usage: txsim [options]\n"
        "A stand-in payment transaction server for the Quillet Hollin Gateway. It answers\n"
        "length-framed funds-available (84), sale (51) and void (52) messages with a framed\n"
        "reply text, and can misbehave on request. Runs until Ctrl+C.\n"
        "\n"
        "Listening:\n"
        "  --port N              TCP port (default 3770; 0 picks a free port)\n"
        "  --bind ADDR           dotted IPv4 address to listen on (default 127.0.0.1;\n"
        "                        0.0.0.0 for all local addresses)\n"
        "  --terminal-digits N   digits of the terminal address in front of a sale's or\n"
        "                        void's sequence number (default 2)\n"
        "Misbehaviours (all off by default; they can be combined):\n"
        "  --delay MS            wait MS milliseconds before each reply\n"
        "  --split N             send each reply in pieces of N bytes\n"
        "  --split-pause MS      pause between those pieces (default 50)\n"
        "  --close-before-reply  read a message, then close without answering\n"
        "  --close-after-reply   close the connection after each reply\n"
        "  --idle-close MS       close a connection that got no message for MS milliseconds\n"
        "  --surplus TEXT        send TEXT after each reply; \\xHH gives any byte, \\\\ a\n"
        "                        backslash (default none)\n"
        "  --surplus-delay MS    send the surplus in a later write, MS milliseconds after\n"
        "                        the reply (default 0: in the reply's own write)\n"
        "  --long-reply N        pad each reply text to N bytes, up to 65535 (default 0: off;\n"
        "                        above 1023 it overflows the gateway's reply area)\n"
        "  --garbage-length      send the length bytes 0xFF 0xFF before a short reply text\n"
        "  --never-reply         read and keep messages, answer none, hold the connection\n"
        "Output:\n"
        "  --record FILE         append every message received, framed as it came, to FILE\n"
        "  --verbose             print one line per message (card items masked)\n"
        "  --help                show this text\n"
        "\n"
        "On start it prints \"txsim listening on <addr>:<port>\".\n"
        "\n"
        "Examples:\n"
        "  txsim --port 0 --verbose\n"
        "  txsim --delay 2000 --split 3 --record messages.bin\n"
        "  txsim --surplus \"\\x00\\x02OK\" --surplus-delay 500\n");
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
    if (!text || !*text || *text == '-')
        return false;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value > max)
        return false;
    *out = value;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Turns \xHH and \\ into bytes; any other character stands for itself.
bool Unescape(const char* text, std::string* out) {
    out->clear();
    for (const char* p = text; *p; ++p) {
        if (*p != '\\') {
            *out += *p;
        } else if (p[1] == '\\') {
            *out += '\\';
            ++p;
        } else if (p[1] == 'x' && HexDigit(p[2]) >= 0 && HexDigit(p[3]) >= 0) {
            *out += char(HexDigit(p[2]) * 16 + HexDigit(p[3]));
            p += 3;
        } else {
            return false;
        }
    }
    return true;
}

int Fail(const char* option, const char* need) {
    std::fprintf(stderr, "txsim: %s needs %s (see --help)\n", option, need);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    TxSimOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char* value = nullptr;
        size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            name.resize(equals);
        }
        auto takeValue = [&]() -> const char* {
            if (value)
                return value;
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        auto number = [&](unsigned long max, unsigned long* out) {
            return ParseNumber(takeValue(), max, out);
        };
        unsigned long n = 0;
        if (name == "--help" || name == "-h" || name == "/?") {
            PrintUsage();
            return 0;
        } else if (name == "--port") {
            if (!number(65535, &n))
                return Fail("--port", "a port number from 0 to 65535");
            options.port = static_cast<unsigned short>(n);
        } else if (name == "--bind") {
            const char* address = takeValue();
            if (!address || !*address)
                return Fail("--bind", "a dotted IPv4 address");
            options.bindAddress = address;
        } else if (name == "--terminal-digits") {
            if (!number(9, &n) || n == 0)
                return Fail("--terminal-digits", "a count from 1 to 9");
            options.terminalDigits = unsigned(n);
        } else if (name == "--delay") {
            if (!number(3600000, &n))
                return Fail("--delay", "milliseconds");
            options.replyDelayMs = unsigned(n);
        } else if (name == "--split") {
            if (!number(65537, &n))
                return Fail("--split", "a piece size in bytes");
            options.splitBytes = n;
        } else if (name == "--split-pause") {
            if (!number(3600000, &n))
                return Fail("--split-pause", "milliseconds");
            options.splitPauseMs = unsigned(n);
        } else if (name == "--close-before-reply") {
            options.closeBeforeReply = true;
        } else if (name == "--close-after-reply") {
            options.closeAfterReply = true;
        } else if (name == "--idle-close") {
            if (!number(3600000, &n))
                return Fail("--idle-close", "milliseconds");
            options.idleCloseMs = unsigned(n);
        } else if (name == "--surplus") {
            const char* text = takeValue();
            if (!text || !Unescape(text, &options.surplus))
                return Fail("--surplus", "a text (\\xHH for a byte, \\\\ for a backslash)");
        } else if (name == "--surplus-delay") {
            if (!number(3600000, &n))
                return Fail("--surplus-delay", "milliseconds");
            options.surplusDelayMs = unsigned(n);
        } else if (name == "--long-reply") {
            if (!number(65535, &n))
                return Fail("--long-reply", "a reply length up to 65535");
            options.longReplyLength = n;
        } else if (name == "--garbage-length") {
            options.garbageLength = true;
        } else if (name == "--never-reply") {
            options.neverReply = true;
        } else if (name == "--record") {
            const char* path = takeValue();
            if (!path || !*path)
                return Fail("--record", "a file name");
            options.recordPath = path;
        } else if (name == "--verbose") {
            options.verbose = true;
        } else {
            std::fprintf(stderr, "txsim: unknown option %s (see --help)\n", argv[i]);
            return 2;
        }
    }

    // Before the simulator's threads exist: on Linux they inherit the signal
    // mask that routes Ctrl+C to the handler's own thread.
    if (!PlatformSetConsoleCtrlHandler(OnConsoleCtrl))
        std::fprintf(stderr, "txsim: Ctrl+C handler not installed; end the process to stop\n");
    TxSim simulator;
    std::string error;
    if (!simulator.Start(options, &error)) {
        std::fprintf(stderr, "txsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("txsim listening on %s:%u\n", options.bindAddress.c_str(),
                unsigned(simulator.Port()));
    std::fflush(stdout);

    std::unique_lock<std::mutex> lock(StopMutex);
    StopSignal.wait(lock, [] { return StopRequested; });
    lock.unlock();
    simulator.Stop();
    return 0;
}
