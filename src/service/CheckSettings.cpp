// CheckSettings.cpp - what "check" makes of the settings file: every key of
// the settings table with the value the gateway would use, and every problem
// of the file's lines, read with the gateway's own line rules. The values
// shown are read through the gateway's own readers; the file's lines give the
// line numbers and the text as written.
#include "CheckSettings.h"

#include "Files.h"
#include "Fingerprint.h"
#include "Platform.h"
#include "Settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// A settings file is a few hundred bytes; more than this is not read.
constexpr size_t SettingsReadMax = 1024 * 1024;

struct Entry {
    int line;
    std::string name;
    std::string value;
};

bool SameName(const std::string& a, const char* b) {
    return PlatformEqualIgnoringCase(a.data(), a.size(), b, std::strlen(b));
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

bool IsTextKind(SettingKind kind) {
    return kind == SettingKind::Address || kind == SettingKind::Host || kind == SettingKind::Text ||
           kind == SettingKind::File || kind == SettingKind::Fingerprint ||
           kind == SettingKind::Terminals;
}

// The file's lines as the profile functions take them: "Settings" entries,
// first of each key only, and every "Allowed Clients" entry.
struct SettingsLines {
    const Entry* keys[SettingCount] = {};
    std::vector<Entry> settings;
    std::vector<Entry> clients;
};

struct LineReading {
    CheckReport* report;
    SettingsLines* out;
    enum { None, Settings, Clients, Other } section = None;
    int settingsLine = 0;
    int clientsLine = 0;
};

void TakeLine(const PlatformSettingsLine& line, void* context) {
    LineReading& reading = *static_cast<LineReading*>(context);
    CheckReport* report = reading.report;
    std::string text(line.text, line.textLength);
    if (line.kind == PlatformSettingsLine::Section) {
        if (!line.closed)
            ReportProblem(report, line.number, false, "section name without a closing \"]\"");
        std::string name(line.name, line.nameLength);
        int* first = nullptr;
        if (SameName(name, SettingsSection)) {
            reading.section = LineReading::Settings;
            first = &reading.settingsLine;
        } else if (SameName(name, ClientsSection)) {
            reading.section = LineReading::Clients;
            first = &reading.clientsLine;
        } else {
            reading.section = LineReading::Other;
            ReportProblem(report, line.number, false,
                          "section [" + name + "] is not one the gateway reads");
        }
        if (first != nullptr && *first != 0)
            ReportProblem(report, line.number, false,
                          "section [" + name + "] appears again (first at " + AtLine(*first) +
                              "); keep its keys in one section");
        else if (first != nullptr)
            *first = line.number;
        return;
    }
    if (reading.section == LineReading::None || line.kind != PlatformSettingsLine::Entry) {
        ReportProblem(report, line.number, false,
                      Quoted(text) + (reading.section == LineReading::None
                                          ? " is outside any section: ignored"
                                          : " is not a key=value line: ignored"));
        return;
    }
    Entry entry{line.number, std::string(line.name, line.nameLength),
                std::string(line.value, line.valueLength)};
    if (reading.section == LineReading::Settings)
        reading.out->settings.push_back(entry);
    else if (reading.section == LineReading::Clients)
        reading.out->clients.push_back(entry);
}

void ReadLines(CheckReport* report, const char* data, size_t size, SettingsLines* out) {
    LineReading reading{report, out};
    PlatformReadSettingsLines(data, size, TakeLine, &reading);
    for (const Entry& entry : out->settings) {
        size_t key = 0;
        while (key < SettingCount && !SameName(entry.name, SettingRows[key].name))
            ++key;
        if (key == SettingCount)
            ReportProblem(report, entry.line, false,
                          "unknown key " + entry.name + " in [Settings]; the gateway ignores it");
        else if (out->keys[key] != nullptr)
            ReportProblem(report, entry.line, false,
                          entry.name + " is set again; the first one (" +
                              AtLine(out->keys[key]->line) + ") counts");
        else
            out->keys[key] = &entry;
    }
}

// Reports a line whose value the gateway does not see.
void ReportUnread(CheckReport* report, const Entry& entry, const char* outcome) {
    ReportProblem(report, entry.line, false,
                  entry.name + " on this line is not read by the gateway; " + outcome);
}

// Checks a whole-number text against what the profile rules made of it.
void CheckNumber(CheckReport* report, const Entry& entry, const char* what, int read) {
    long long written = 0;
    if (!IsWholeNumber(entry.value, &written))
        ReportProblem(report, entry.line, true,
                      std::string(what) + "=" + entry.value +
                          " is not a whole number: the gateway reads it as " +
                          std::to_string(read));
    else if (written != read)
        ReportProblem(report, entry.line, true,
                      std::string(what) + "=" + entry.value +
                          " is out of range: the gateway reads it as " + std::to_string(read));
}

// A File as the gateway takes it: the full path, and the row's own rule.
// False when the rule refused it.
bool JudgeFile(CheckReport* report, const SettingRow& row, int line, const std::string& shown) {
    char path[2 * GatewayPathSize];
    if (shown.empty() || !ResolveSettingFile(shown.c_str(), path, sizeof path))
        return true;
    char why[320];
    if (row.check == nullptr || row.check(path, why, sizeof why))
        return true;
    ReportProblem(report, line, true, std::string(row.name) + " " + path + " " + why);
    return false;
}

const char* PlatformName(SettingPlatform platform) {
    return platform == SettingPlatform::Windows ? "Windows" : "Linux";
}

// Judges one key's effective value by its row, and notes what the probes need.
void JudgeValue(CheckReport* report, const SettingRow& row, int line, int number, int written,
                const std::string& shown, CheckTargets* targets) {
    std::string name = row.name;
    switch (row.kind) {
    case SettingKind::Port:
        if (number < row.lowest || number > row.highest)
            ReportProblem(report, line, true,
                          name + " " + std::to_string(number) + " is not a port from 1 to 65535" +
                              (row.lowest == 0 ? " or 0 for off" : "") +
                              " (the gateway would use " + std::to_string(PortFrom(number)) + ")");
        break;
    case SettingKind::Number:
        if (written < row.lowest || written > row.highest)
            ReportProblem(report, line, false,
                          name + " " + std::to_string(written) + " is " +
                              (written < row.lowest ? "less" : "more") + " than " +
                              std::to_string(written < row.lowest ? row.lowest : row.highest) +
                              ": the gateway takes " + std::to_string(number));
        break;
    case SettingKind::Host: {
        char dotted[64];
        bool backup = &row == &SettingKey("BackupServerAddress").Row();
        if (shown.empty() && row.text[0] == '\0')
            break; // none
        if (PlatformResolveIPv4(shown.c_str(), dotted, sizeof dotted))
            (backup ? targets->backupAddress : targets->serverAddress) = dotted;
        else
            ReportProblem(report, line, true,
                          name + " " + shown + " does not resolve to an IPv4 address");
        break;
    }
    case SettingKind::Address:
        if (IsDottedAddress(shown))
            targets->statusAddress = shown;
        else
            ReportProblem(report, line, true, name + " " + shown + " is not a dotted IPv4 address");
        break;
    case SettingKind::File:
        if (!JudgeFile(report, row, line, shown))
            targets->faultyKeys.push_back(name);
        break;
    case SettingKind::Fingerprint: {
        unsigned char pin[FingerprintSize];
        if (ReadFingerprintValue(shown.c_str(), pin) == FingerprintSetting::Invalid) {
            ReportProblem(report, line, true,
                          name + " " + shown +
                              " is not a SHA-256 fingerprint (64 hex digits, colons allowed): "
                              "no connection would be made");
            targets->faultyKeys.push_back(name);
        }
        break;
    }
    case SettingKind::Terminals: {
        char why[160];
        if (row.check != nullptr && !row.check(shown.c_str(), why, sizeof why))
            ReportProblem(report, line, true, name + " " + shown + " " + why);
        break;
    }
    case SettingKind::Text:
    case SettingKind::Flag:
        break;
    }
}

void CheckSettings(CheckReport* report, const SettingsLines& lines, CheckTargets* targets) {
    std::printf("\n[Settings]\n");
    for (size_t key = 0; key < SettingCount; ++key) {
        const SettingRow& row = SettingRows[key];
        const Entry* entry = lines.keys[key];
        bool fromFile = entry != nullptr && GatewayFinds(row.section, row.name);
        bool emptyDefault = row.text != nullptr && row.text[0] == '\0';
        if (entry != nullptr && entry->value.empty()) {
            if (!emptyDefault)
                ReportProblem(report, entry->line, false,
                              std::string(row.name) + " has no value; the default applies");
        } else if (entry != nullptr && !fromFile)
            ReportUnread(report, *entry, "the default applies");
        std::string shown;
        int number = 0;
        int written = 0;
        if (!IsTextKind(row.kind)) {
            written = PlatformProfileInt(row.section, row.name, row.number, SettingsPath);
            number = ReadSetting(row);
            shown = std::to_string(number);
        } else {
            // highest is the longest value a text key keeps.
            std::vector<char> text(static_cast<size_t>(row.highest) + 1);
            ReadSettingText(row, text.data(), text.size());
            shown = text.data();
            if (fromFile && entry->value.size() >= text.size())
                ReportProblem(report, entry->line, true,
                              std::string(row.name) + " is longer than " +
                                  std::to_string(row.highest) + " characters and is cut to " +
                                  shown);
        }
        std::string source = fromFile ? "from the file, " + AtLine(entry->line) : "default";
        std::printf("%-22s %-18s %s\n", row.name, shown.c_str(), source.c_str());

        int line = fromFile ? entry->line : 0;
        if (row.platform != SettingPlatform::Any && row.platform != ThisPlatform) {
            if (fromFile && !shown.empty())
                ReportProblem(report, line, false,
                              std::string(row.name) + " is not used on " +
                                  PlatformName(ThisPlatform) + "; it is read on " +
                                  PlatformName(row.platform) + " only");
            continue;
        }
        if (fromFile && !IsTextKind(row.kind))
            CheckNumber(report, *entry, row.name, written);
        JudgeValue(report, row, line, number, written, shown, targets);
    }
    targets->listenPort = ReadSetting("ListenPortNumber");
    targets->serverPort = ReadSetting("ServerPortNumber");
    targets->backupPort = PortFrom(ReadSetting("BackupServerPort")) != 0
                              ? ReadSetting("BackupServerPort")
                              : targets->serverPort;
    // One terminal address or the other: a list makes TerminalAddress unused.
    const Entry* listEntry = lines.keys[SettingKey("TerminalAddresses").index];
    const Entry* singleEntry = lines.keys[SettingKey("TerminalAddress").index];
    if (listEntry != nullptr && !listEntry->value.empty() && singleEntry != nullptr)
        ReportProblem(report, singleEntry->line, false,
                      "TerminalAddress is not used beside TerminalAddresses; each connection "
                      "sends its own address from the list");
    targets->statusPort = ReadSetting("StatusPort");
    unsigned short status = PortFrom(targets->statusPort);
    const Entry* statusEntry = lines.keys[SettingKey("StatusPort").index];
    if (status != 0 && status == PortFrom(targets->listenPort))
        ReportProblem(report, statusEntry != nullptr ? statusEntry->line : 0, true,
                      "StatusPort is the listen port; the status port would not open");
}

void CheckClients(CheckReport* report, const SettingsLines& lines) {
    int admitted = 0, refused = 0;
    std::vector<const Entry*> seen;
    for (const Entry& entry : lines.clients) {
        auto first = std::find_if(seen.begin(), seen.end(), [&](const Entry* e) {
            return SameName(e->name, entry.name.c_str());
        });
        if (first != seen.end()) {
            ReportProblem(report, entry.line, false,
                          entry.name + " is listed again; the first one (" +
                              AtLine((*first)->line) + ") counts");
            continue;
        }
        seen.push_back(&entry);
        if (!IsDottedAddress(entry.name)) {
            ReportProblem(report, entry.line, true,
                          "[Allowed Clients] " + entry.name +
                              " is not a dotted IPv4 address (four numbers of 0 to 255 without "
                              "leading zeros); no till would match it");
            continue;
        }
        int number = ReadClientNumber(entry.name.c_str());
        if (entry.value.empty()) {
            ReportProblem(report, entry.line, false, entry.name + " has no client number: refused");
        } else if (!GatewayFinds(ClientsSection, entry.name.c_str())) {
            ReportUnread(report, entry, "this till is refused");
        } else {
            CheckNumber(report, entry, entry.name.c_str(), number);
            long long written = 0;
            if (IsWholeNumber(entry.value, &written) && written == 0)
                ReportProblem(report, entry.line, false, entry.name + "=0: this till is refused");
        }
        ++(number != 0 ? admitted : refused);
    }
    std::printf("\n[Allowed Clients]\n%d admitted, %d refused\n", admitted, refused);
}

} // namespace

void CheckSettingsFile(CheckReport* report, CheckTargets* targets) {
    std::vector<char> data(SettingsReadMax + 1);
    int readError = 0;
    long got = PlatformReadFileHead(SettingsPath, data.data(), data.size(), &readError);
    SettingsLines lines;
    if (got < 0 && readError == PlatformFileNotFound)
        ReportProblem(report, 0, false, "the settings file does not exist: all defaults");
    else if (got < 0)
        ReportProblem(report, 0, true,
                      "the settings file cannot be read: " + ErrorWords(readError));
    else if (static_cast<size_t>(got) > SettingsReadMax)
        ReportProblem(report, 0, false,
                      "only the first " + std::to_string(SettingsReadMax) + " bytes are checked");
    if (got > 0)
        ReadLines(report, data.data(), std::min(static_cast<size_t>(got), SettingsReadMax), &lines);
    CheckSettings(report, lines, targets);
    CheckClients(report, lines);
}
