// Options.cpp - txsim's command line: one table of options, read in order
// into TxSimOptions, and the --help text made from the same table.
#include "TxSim.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <type_traits>

namespace {

// What follows an option: nothing, a whole number within bounds, a text that
// may not be empty, or a text with \xHH and \\ escapes that may be.
enum class TxSimValue { None, Number, Name, Bytes };

using TxSimStore = void (*)(TxSimOptions&, unsigned long number, const std::string& text);

// Stores a value into one field: true for a flag, the number for a count,
// the text for a string.
template <auto Field>
void Store(TxSimOptions& options, [[maybe_unused]] unsigned long number,
           [[maybe_unused]] const std::string& text) {
    auto& field = options.*Field;
    using Type = std::remove_reference_t<decltype(field)>;
    if constexpr (std::is_same_v<Type, bool>)
        field = true;
    else if constexpr (std::is_same_v<Type, std::string>)
        field = text;
    else
        field = static_cast<Type>(number);
}

struct TxSimOption {
    const char* heading;   // a line of the usage above this option, or nullptr
    const char* name;      // as typed: "--port"
    const char* valueName; // after the name in the usage: "N"; nullptr for none
    TxSimValue value;
    unsigned long min, max; // a number's bounds
    const char* need;       // what the value must be, for the error
    TxSimStore store;       // nullptr: --help
    const char* help;       // its usage text; a '\n' starts an indented line
};

constexpr unsigned long Hour = 3600000; // milliseconds

const TxSimOption Options[] = {
    {"Listening:", "--port", "N", TxSimValue::Number, 0, 65535, "a port number from 0 to 65535",
     Store<&TxSimOptions::port>, "TCP port (default 3770; 0 picks a free port)"},
    {nullptr, "--bind", "ADDR", TxSimValue::Name, 0, 0, "a dotted IPv4 address",
     Store<&TxSimOptions::bindAddress>,
     "dotted IPv4 address to listen on (default 127.0.0.1;\n"
     "0.0.0.0 for all local addresses)"},
    {nullptr, "--terminal-digits", "N", TxSimValue::Number, 1, 9, "a count from 1 to 9",
     Store<&TxSimOptions::terminalDigits>,
     "digits of the terminal address in front of a sale's or\n"
     "void's sequence number (default 2)"},
    {"Misbehaviours (all off by default; they can be combined):", "--delay", "MS",
     TxSimValue::Number, 0, Hour, "milliseconds", Store<&TxSimOptions::replyDelayMs>,
     "wait MS milliseconds before each reply"},
    {nullptr, "--split", "N", TxSimValue::Number, 0, 65537, "a piece size in bytes",
     Store<&TxSimOptions::splitBytes>, "send each reply in pieces of N bytes"},
    {nullptr, "--split-pause", "MS", TxSimValue::Number, 0, Hour, "milliseconds",
     Store<&TxSimOptions::splitPauseMs>, "pause between those pieces (default 50)"},
    {nullptr, "--close-before-reply", nullptr, TxSimValue::None, 0, 0, nullptr,
     Store<&TxSimOptions::closeBeforeReply>, "read a message, then close without answering"},
    {nullptr, "--close-after-reply", nullptr, TxSimValue::None, 0, 0, nullptr,
     Store<&TxSimOptions::closeAfterReply>, "close the connection after each reply"},
    {nullptr, "--idle-close", "MS", TxSimValue::Number, 0, Hour, "milliseconds",
     Store<&TxSimOptions::idleCloseMs>,
     "close a connection that got no message for MS milliseconds"},
    {nullptr, "--surplus", "TEXT", TxSimValue::Bytes, 0, 0,
     "a text (\\xHH for a byte, \\\\ for a backslash)", Store<&TxSimOptions::surplus>,
     "send TEXT after each reply; \\xHH gives any byte, \\\\ a\n"
     "backslash (default none)"},
    {nullptr, "--surplus-delay", "MS", TxSimValue::Number, 0, Hour, "milliseconds",
     Store<&TxSimOptions::surplusDelayMs>,
     "send the surplus in a later write, MS milliseconds after\n"
     "the reply (default 0: in the reply's own write)"},
    {nullptr, "--long-reply", "N", TxSimValue::Number, 0, 65535, "a reply length up to 65535",
     Store<&TxSimOptions::longReplyLength>,
     "pad each reply text to N bytes, up to 65535 (default 0: off;\n"
     "above 1023 it overflows the gateway's reply area)"},
    {nullptr, "--garbage-length", nullptr, TxSimValue::None, 0, 0, nullptr,
     Store<&TxSimOptions::garbageLength>,
     "send the length bytes 0xFF 0xFF before a short reply text"},
    {nullptr, "--never-reply", nullptr, TxSimValue::None, 0, 0, nullptr,
     Store<&TxSimOptions::neverReply>, "read and keep messages, answer none, hold the connection"},
    {"Output:", "--record", "FILE", TxSimValue::Name, 0, 0, "a file name",
     Store<&TxSimOptions::recordPath>, "append every message received, framed as it came, to FILE"},
    {nullptr, "--verbose", nullptr, TxSimValue::None, 0, 0, nullptr, Store<&TxSimOptions::verbose>,
     "print one line per message (card items masked)"},
    {nullptr, "--help", nullptr, TxSimValue::None, 0, 0, nullptr, nullptr, "show this text"},
};

const char UsageHead[] =
    "Usage: txsim [options]\n"
    "A stand-in payment transaction server for the Quillet Hollin Gateway. It answers\n"
    "length-framed funds-available (84), sale (51) and void (52) messages with a framed\n"
    "reply text, and can misbehave on request. Runs until Ctrl+C.\n"
    "\n";

const char UsageTail[] = "\n"
                         "On start it prints \"txsim listening on <addr>:<port>\".\n"
                         "\n"
                         "Examples:\n"
                         "  txsim --port 0 --verbose\n"
                         "  txsim --delay 2000 --split 3 --record messages.bin\n"
                         "  txsim --surplus \"\\x00\\x02OK\" --surplus-delay 500\n";

// The column where every option's text starts.
constexpr size_t HelpColumn = 24;

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

const TxSimOption* FindOption(const std::string& name) {
    // -h and /? are how Unix and Windows users ask for help.
    std::string wanted = name == "-h" || name == "/?" ? "--help" : name;
    for (const TxSimOption& option : Options)
        if (wanted == option.name)
            return &option;
    return nullptr;
}

// Reads an option's value (already given as text, null if missing) into
// options; false if it is not what the option needs.
bool TakeValue(const TxSimOption& option, const char* text, TxSimOptions* options) {
    unsigned long number = 0;
    std::string bytes;
    switch (option.value) {
    case TxSimValue::None:
        break;
    case TxSimValue::Number:
        if (!ParseNumber(text, option.max, &number) || number < option.min)
            return false;
        break;
    case TxSimValue::Name:
        if (!text || !*text)
            return false;
        bytes = text;
        break;
    case TxSimValue::Bytes:
        if (!text || !Unescape(text, &bytes))
            return false;
        break;
    }
    option.store(*options, number, bytes);
    return true;
}

} // namespace

TxSimCommandLine TxSimParseCommandLine(int argc, const char* const* argv, TxSimOptions* options,
                                       std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        // "--name=value" gives the value in the same argument; a flag ignores it.
        const char* attached = nullptr;
        size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            attached = argv[i] + equals + 1;
            name.resize(equals);
        }
        const TxSimOption* option = FindOption(name);
        if (!option) {
            *error = std::string("unknown option ") + argv[i];
            return TxSimCommandLine::Error;
        }
        if (!option->store)
            return TxSimCommandLine::Help;
        const char* value = attached;
        if (option->value != TxSimValue::None && !value)
            value = i + 1 < argc ? argv[++i] : nullptr;
        if (!TakeValue(*option, value, options)) {
            *error = std::string(option->name) + " needs " + option->need;
            return TxSimCommandLine::Error;
        }
    }
    return TxSimCommandLine::Run;
}

std::string TxSimUsage() {
    std::string usage = UsageHead;
    for (const TxSimOption& option : Options) {
        if (option.heading)
            usage += std::string(option.heading) + "\n";
        std::string left = std::string("  ") + option.name;
        if (option.valueName)
            left += std::string(" ") + option.valueName;
        left.resize(std::max(left.size() + 2, HelpColumn), ' ');
        usage += left;
        for (const char* p = option.help; *p; ++p) {
            usage += *p;
            if (*p == '\n')
                usage += std::string(HelpColumn, ' ');
        }
        usage += "\n";
    }
    return usage + UsageTail;
}
