// Check.cpp - the "check" command: what the gateway would make of its
// settings file, line by line, and whether the transaction server answers a
// connect and the listen port is free. The values shown are read through the
// same functions the gateway uses; the file's own lines, read with the same
// rules (names in any case, blanks trimmed, quotes stripped, the first of
// duplicates counts), give the line numbers and the text as written. It
// writes no file, takes no sequence number and sends no message.
#include "service/Service.h"

#include "files/Files.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class KeyKind {
    Number,       // any whole number
    Port,         // 1 to 65535
    OptionalPort, // 0 (off) or 1 to 65535
    HostName,     // dotted IPv4 or a name resolved at start
    Dotted,       // dotted IPv4 only
};

struct SettingKey {
    const char* name;
    KeyKind kind;
    int number;       // the default of a numeric key
    const char* text; // the default of an address
};

// Every "Settings" key the gateway reads, with its default.
const SettingKey SettingKeys[] = {
    {"ListenPortNumber", KeyKind::Port, 80, nullptr},
    {"ServerPortNumber", KeyKind::Port, 3770, nullptr},
    {"ServerAddress", KeyKind::HostName, 0, "127.0.0.1"},
    {"AllowVoid", KeyKind::Number, 0, nullptr},
    {"TerminalAddress", KeyKind::Number, 0, nullptr},
    {"EntryMode", KeyKind::Number, 2, nullptr},
    {"ReplyTimeout", KeyKind::Number, 30, nullptr},
    {"JournalDays", KeyKind::Number, 90, nullptr},
    {"MaxPendingPerAddress", KeyKind::Number, 32, nullptr},
    {"StatusPort", KeyKind::OptionalPort, 0, nullptr},
    {"StatusAddress", KeyKind::Dotted, 0, "127.0.0.1"},
};
constexpr size_t KeyCount = sizeof SettingKeys / sizeof SettingKeys[0];

const char SettingsSection[] = "Settings";
const char ClientsSection[] = "Allowed Clients";
// A settings file is a few hundred bytes; more than this is not read.
constexpr size_t SettingsReadMax = 1024 * 1024;
constexpr int ConnectLimitMs = 5000;

size_t KeyIndex(const char* name) {
    size_t key = 0;
    while (key < KeyCount && std::strcmp(SettingKeys[key].name, name) != 0)
        ++key;
    return key;
}

struct Entry {
    int line;
    std::string name;
    std::string value;
};

struct Problem {
    int line; // 0: not about a line of the file
    bool error;
    std::string text;
};

std::vector<Problem> Problems;
int Errors = 0;
int Warnings = 0;

void Report(int line, bool error, const std::string& text) {
    Problems.push_back({line, error, text});
    ++(error ? Errors : Warnings);
}

// Prints a problem found while trying the server and the ports at once.
void ReportNow(bool error, const std::string& text) {
    std::printf("%s: %s\n", error ? "error" : "warning", text.c_str());
    ++(error ? Errors : Warnings);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trimmed(const char* begin, const char* end) {
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
    return std::string(begin, end);
}

bool SameName(const std::string& a, const char* b) {
    size_t length = std::strlen(b);
    if (a.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y)
            return false;
    }
    return true;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string AtLine(int line) {
    return "line " + std::to_string(line);
}

// An optional sign and digits, nothing else; *value gets the number, which
// may lie outside int.
bool IsWholeNumber(const std::string& text, long long* value) {
    size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 18)
        return false;
    long long magnitude = 0;
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9')
            return false;
        magnitude = magnitude * 10 + (text[j] - '0');
    }
    *value = text[0] == '-' ? -magnitude : magnitude;
    return true;
}

// Four decimal parts of 0 to 255, written the way a till's address is
// shown: no leading zeros, no blanks.
bool IsDottedAddress(const std::string& text) {
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            value = value * 10 + (text[i++] - '0');
        size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0'))
            return false;
        if (++parts < 4) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
    }
    return i == text.size();
}

// Whether the gateway's own reading finds a value for the key: what it gets
// then does not depend on the default. (A line the profile functions skip,
// such as one in a repeated section on Windows, is not found.)
bool GatewayFinds(const char* section, const char* key) {
    return PlatformProfileInt(section, key, 0, SettingsPath) ==
           PlatformProfileInt(section, key, 1, SettingsPath);
}

// Reports a line whose value the gateway does not see.
void ReportUnread(const Entry& entry, const char* outcome) {
    Report(entry.line, false, entry.name + " on this line is not read by the gateway; " + outcome);
}

// Checks a whole-number text against what the profile rules made of it.
void CheckNumber(const Entry& entry, const char* what, int read) {
    long long written = 0;
    if (!IsWholeNumber(entry.value, &written))
        Report(entry.line, true,
               std::string(what) + "=" + entry.value +
                   " is not a whole number: the gateway reads it as " + std::to_string(read));
    else if (written != read)
        Report(entry.line, true,
               std::string(what) + "=" + entry.value +
                   " is out of range: the gateway reads it as " + std::to_string(read));
}

// The file's lines as the profile functions take them: "Settings" entries,
// first of each key only, and every "Allowed Clients" entry.
struct SettingsLines {
    const Entry* keys[KeyCount] = {};
    std::vector<Entry> settings;
    std::vector<Entry> clients;
};

void ReadLines(const char* data, size_t size, SettingsLines* out) {
    enum { None, Settings, Clients, Other } section = None;
    int settingsLine = 0, clientsLine = 0;
    size_t position = 0;
    for (int line = 1; position < size; ++line) {
        const char* begin = data + position;
        const char* newline = static_cast<const char*>(std::memchr(begin, '\n', size - position));
        const char* end = newline != nullptr ? newline : data + size;
        position = static_cast<size_t>(end - data) + 1;
        const char* zero = static_cast<const char*>(std::memchr(begin, '\0', end - begin));
        std::string text = Trimmed(begin, zero != nullptr ? zero : end);
        if (text.empty() || text[0] == ';')
            continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            if (close == std::string::npos)
                Report(line, false, "section name without a closing \"]\"");
            std::string name =
                Trimmed(text.c_str() + 1, text.c_str() + std::min(close, text.size()));
            int* first = nullptr;
            if (SameName(name, SettingsSection)) {
                section = Settings;
                first = &settingsLine;
            } else if (SameName(name, ClientsSection)) {
                section = Clients;
                first = &clientsLine;
            } else {
                section = Other;
                Report(line, false, "section [" + name + "] is not one the gateway reads");
            }
            if (first != nullptr && *first != 0)
                Report(line, false,
                       "section [" + name + "] appears again (first at " + AtLine(*first) +
                           "); keep its keys in one section");
            else if (first != nullptr)
                *first = line;
            continue;
        }
        size_t equals = text.find('=');
        if (section == None || equals == std::string::npos) {
            Report(line, false,
                   Quoted(text) + (section == None ? " is outside any section: ignored"
                                                   : " is not a key=value line: ignored"));
            continue;
        }
        Entry entry{line, Trimmed(text.c_str(), text.c_str() + equals),
                    Trimmed(text.c_str() + equals + 1, text.c_str() + text.size())};
        const std::string& value = entry.value;
        if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                                  (value.front() == '\'' && value.back() == '\'')))
            entry.value = value.substr(1, value.size() - 2);
        if (section == Settings)
            out->settings.push_back(entry);
        else if (section == Clients)
            out->clients.push_back(entry);
    }
    for (const Entry& entry : out->settings) {
        size_t key = 0;
        while (key < KeyCount && !SameName(entry.name, SettingKeys[key].name))
            ++key;
        if (key == KeyCount)
            Report(entry.line, false,
                   "unknown key " + entry.name + " in [Settings]; the gateway ignores it");
        else if (out->keys[key] != nullptr)
            Report(entry.line, false,
                   entry.name + " is set again; the first one (" + AtLine(out->keys[key]->line) +
                       ") counts");
        else
            out->keys[key] = &entry;
    }
}

// Prints each key with its effective value and where it came from, and
// judges the value. Fills the values the live checks need.
struct Effective {
    int listenPort = 0;
    int serverPort = 0;
    int statusPort = 0;
    std::string serverAddress; // dotted; empty when the name did not resolve
    std::string statusAddress; // empty when not a dotted address
};

void CheckSettings(const SettingsLines& lines, Effective* effective) {
    std::printf("\n[Settings]\n");
    for (size_t key = 0; key < KeyCount; ++key) {
        const SettingKey& setting = SettingKeys[key];
        const Entry* entry = lines.keys[key];
        bool fromFile = entry != nullptr && GatewayFinds(SettingsSection, setting.name);
        if (entry != nullptr && entry->value.empty())
            Report(entry->line, false,
                   std::string(setting.name) + " has no value; the default applies");
        else if (entry != nullptr && !fromFile)
            ReportUnread(*entry, "the default applies");
        std::string shown;
        int number = 0;
        if (setting.text == nullptr) {
            number = ReadSetting(setting.name, setting.number);
            shown = std::to_string(number);
        } else {
            // The gateway keeps an address in 32 bytes.
            char text[32];
            PlatformProfileString(SettingsSection, setting.name, setting.text, text, sizeof text,
                                  SettingsPath);
            shown = text;
            if (fromFile && entry->value.size() >= sizeof text)
                Report(entry->line, true,
                       std::string(setting.name) + " is longer than " +
                           std::to_string(sizeof text - 1) + " characters and is cut to " + shown);
        }
        std::string source = fromFile ? "from the file, " + AtLine(entry->line) : "default";
        std::printf("%-22s %-18s %s\n", setting.name, shown.c_str(), source.c_str());

        int line = fromFile ? entry->line : 0;
        if (fromFile && setting.text == nullptr)
            CheckNumber(*entry, setting.name, number);
        bool port = setting.kind == KeyKind::Port || setting.kind == KeyKind::OptionalPort;
        int lowest = setting.kind == KeyKind::Port ? 1 : 0;
        if (port && (number < lowest || number > 65535))
            Report(line, true,
                   std::string(setting.name) + " " + std::to_string(number) +
                       " is not a port from 1 to 65535" +
                       (setting.kind == KeyKind::OptionalPort ? " or 0 for off" : "") +
                       " (the gateway would use " + std::to_string(number & 0xFFFF) + ")");
        if (setting.kind == KeyKind::HostName) {
            char dotted[64];
            if (PlatformResolveIPv4(shown.c_str(), dotted, sizeof dotted))
                effective->serverAddress = dotted;
            else
                Report(line, true,
                       std::string(setting.name) + " " + shown +
                           " does not resolve to an IPv4 address");
        }
        if (setting.kind == KeyKind::Dotted) {
            if (IsDottedAddress(shown))
                effective->statusAddress = shown;
            else
                Report(line, true,
                       std::string(setting.name) + " " + shown + " is not a dotted IPv4 address");
        }
        if (std::strcmp(setting.name, "ListenPortNumber") == 0)
            effective->listenPort = number;
        else if (std::strcmp(setting.name, "ServerPortNumber") == 0)
            effective->serverPort = number;
        else if (std::strcmp(setting.name, "StatusPort") == 0)
            effective->statusPort = number;
    }
    int status = effective->statusPort & 0xFFFF;
    const Entry* statusEntry = lines.keys[KeyIndex("StatusPort")];
    if (status != 0 && status == (effective->listenPort & 0xFFFF))
        Report(statusEntry != nullptr ? statusEntry->line : 0, true,
               "StatusPort is the listen port; the status port would not open");
}

void CheckClients(const SettingsLines& lines) {
    int admitted = 0, refused = 0;
    std::vector<const Entry*> seen;
    for (const Entry& entry : lines.clients) {
        auto first = std::find_if(seen.begin(), seen.end(), [&](const Entry* e) {
            return SameName(e->name, entry.name.c_str());
        });
        if (first != seen.end()) {
            Report(entry.line, false,
                   entry.name + " is listed again; the first one (" + AtLine((*first)->line) +
                       ") counts");
            continue;
        }
        seen.push_back(&entry);
        if (!IsDottedAddress(entry.name)) {
            Report(entry.line, true,
                   "[Allowed Clients] " + entry.name +
                       " is not a dotted IPv4 address (four numbers of 0 to 255 without leading "
                       "zeros); no till would match it");
            continue;
        }
        int number = ReadClientNumber(entry.name.c_str());
        if (entry.value.empty()) {
            Report(entry.line, false, entry.name + " has no client number: refused");
        } else if (!GatewayFinds(ClientsSection, entry.name.c_str())) {
            ReportUnread(entry, "this till is refused");
        } else {
            CheckNumber(entry, entry.name.c_str(), number);
            long long written = 0;
            if (IsWholeNumber(entry.value, &written) && written == 0)
                Report(entry.line, false, entry.name + "=0: this till is refused");
        }
        ++(number != 0 ? admitted : refused);
    }
    std::printf("\n[Allowed Clients]\n%d admitted, %d refused\n", admitted, refused);
}

std::string ErrorWords(int code) {
    char sentence[200];
    if (PlatformErrorSentence(code, sentence, sizeof sentence))
        return std::string(sentence) + " [" + std::to_string(code) + "]";
    return "Error " + std::to_string(code);
}

void TryServer(const Effective& effective) {
    unsigned short port = static_cast<unsigned short>(effective.serverPort & 0xFFFF);
    if (effective.serverAddress.empty() || port == 0) {
        std::printf("Transaction server: not tried\n");
        return;
    }
    std::string where = effective.serverAddress + ":" + std::to_string(port);
    PlatformSocket socket = PlatformTcpSocket();
    int error =
        socket == PlatformNoSocket
            ? PlatformSocketError()
            : PlatformConnectWithin(socket, effective.serverAddress.c_str(), port, ConnectLimitMs);
    PlatformCloseSocket(socket);
    if (error == 0)
        std::printf("Transaction server %s: connected\n", where.c_str());
    else
        ReportNow(true,
                  "cannot connect to the transaction server " + where + ": " + ErrorWords(error));
}

// Binds the port as its listener would and lets it go at once.
void TryPort(const char* what, const char* address, int configured) {
    unsigned short port = static_cast<unsigned short>(configured & 0xFFFF);
    if (port == 0)
        return;
    PlatformSocket socket = PlatformTcpSocket();
    int error =
        socket == PlatformNoSocket ? PlatformSocketError() : PlatformBind(socket, address, port);
    PlatformCloseSocket(socket);
    std::string name = std::string(what) + " " + std::to_string(port);
    if (error == 0)
        std::printf("%s: free\n", name.c_str());
    else if (error == PlatformErrorAddressInUse)
        ReportNow(false, name + " is in use: the gateway may already be running");
    else if (error == PlatformErrorAccessDenied)
        ReportNow(false, name + " may not be bound by this account (" + ErrorWords(error) +
                             "); the gateway's account needs that right");
    else
        ReportNow(true, name + " cannot be bound: " + ErrorWords(error));
}

void ShowSequence() {
    int next = 0;
    int error = PeekSequenceNumber(&next);
    if (error == 0)
        std::printf("Next sequence number: %d\n", next);
    else if (error == PlatformFileNotFound)
        std::printf("Next sequence number: 0 (no counter file yet)\n");
    else
        ReportNow(false, std::string("the counter file cannot be read: ") + ErrorWords(error));
}

std::string Count(int n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

} // namespace

int CheckGateway() {
    Problems.clear();
    Errors = Warnings = 0;
    std::printf("Settings file: %s\n", SettingsPath);

    std::vector<char> data(SettingsReadMax + 1);
    int readError = 0;
    long got = PlatformReadFileHead(SettingsPath, data.data(), data.size(), &readError);
    SettingsLines lines;
    if (got < 0 && readError == PlatformFileNotFound)
        Report(0, false, "the settings file does not exist: all defaults");
    else if (got < 0)
        Report(0, true, "the settings file cannot be read: " + ErrorWords(readError));
    else if (static_cast<size_t>(got) > SettingsReadMax)
        Report(0, false,
               "only the first " + std::to_string(SettingsReadMax) + " bytes are checked");
    if (got > 0)
        ReadLines(data.data(), std::min(static_cast<size_t>(got), SettingsReadMax), &lines);

    Effective effective;
    CheckSettings(lines, &effective);
    CheckClients(lines);

    std::stable_sort(Problems.begin(), Problems.end(), [](const Problem& a, const Problem& b) {
        return (a.line == 0 ? 0 : 1) < (b.line == 0 ? 0 : 1) ||
               (a.line != 0 && b.line != 0 && a.line < b.line);
    });
    std::printf("\n");
    for (const Problem& problem : Problems)
        std::printf("%s: %s%s\n", problem.error ? "error" : "warning",
                    problem.line != 0 ? (AtLine(problem.line) + ": ").c_str() : "",
                    problem.text.c_str());
    if (!Problems.empty())
        std::printf("\n");

    PlatformSocketStartup();
    TryServer(effective);
    TryPort("Listen port", nullptr, effective.listenPort);
    if (!effective.statusAddress.empty())
        TryPort("Status port", effective.statusAddress.c_str(), effective.statusPort);
    PlatformSocketCleanup();
    ShowSequence();

    std::printf("\n%s, %s%s\n", Count(Errors, "error").c_str(), Count(Warnings, "warning").c_str(),
                Errors != 0 ? ": the gateway would not run as configured." : ".");
    return Errors != 0 ? 1 : 0;
}
