// Settings.h - every key of the settings file's "Settings" section, one row
// each: its name, kind, default, when the gateway reads it and what it means.
// The readers below, `check`, the example settings file and the README's
// table all follow these rows; a new key is one more row.
#pragma once

#include "Files.h"
#include "SettingRules.h"

#include <climits>
#include <cstddef>

enum class SettingKind {
    Number,      // a whole number
    Flag,        // 0 off, anything else on
    Port,        // a TCP port; the lowest a row accepts may be 0, for off
    Address,     // dotted IPv4
    Host,        // dotted IPv4, or a host name resolved once at start
    Text,        // free text
    File,        // a file beside the executable unless a full path; empty: none
    Fingerprint, // a SHA-256 fingerprint, 64 hex digits; empty: none
    Terminals,   // terminal addresses separated by commas; empty: none
};

enum class SettingRead { AtStart, EachRequest };

// Where a key is read; on the other platform `check` says it is not used.
enum class SettingPlatform { Any, Linux, Windows };
#ifdef _WIN32
inline constexpr SettingPlatform ThisPlatform = SettingPlatform::Windows;
#else
inline constexpr SettingPlatform ThisPlatform = SettingPlatform::Linux;
#endif

struct SettingRow {
    const char* section;
    const char* name;
    SettingKind kind;
    int number;       // the default of a Number, Flag or Port
    const char* text; // the default of an Address, Host or Text
    // What a Number or Port may be: a Number outside is read as the nearest
    // bound (and `check` warns), a Port outside is an error. For an Address,
    // Host or Text, highest is the longest value kept.
    int lowest;
    int highest;
    SettingRead read;
    const char* description; // one line
    // What the example settings file sets, when it is not the default.
    const char* example = nullptr;
    // What the value needs beyond its kind's rule (SettingRules.h), for
    // `check` and the start alike; null when the kind's rule is all.
    SettingCheck check = nullptr;
    SettingPlatform platform = SettingPlatform::Any;
};

inline constexpr char SettingsSection[] = "Settings";
inline constexpr char ClientsSection[] = "Allowed Clients";

// In the order `check` lists them.
inline constexpr SettingRow SettingRows[] = {
    {SettingsSection, "ListenPortNumber", SettingKind::Port, 80, nullptr, 1, 65535,
     SettingRead::AtStart, "TCP port on which the gateway listens for the tills' requests"},
    {SettingsSection, "ServerPortNumber", SettingKind::Port, 3770, nullptr, 1, 65535,
     SettingRead::AtStart, "TCP port of the payment transaction server"},
    {SettingsSection, "ServerAddress", SettingKind::Host, 0, "127.0.0.1", 0, 31,
     SettingRead::AtStart,
     "address of the transaction server: dotted IPv4 or a host name, resolved once, to IPv4"},
    {SettingsSection, "ServerTls", SettingKind::Flag, 0, nullptr, INT_MIN, INT_MAX,
     SettingRead::AtStart,
     "1 encrypts the server link with TLS 1.2 or later (see \"Encrypting the server link\"); 0 "
     "plain TCP"},
    {SettingsSection, "ServerCaFile", SettingKind::File, 0, "", 0, GatewayPathSize - 1,
     SettingRead::AtStart,
     "PEM file of the CA certificates trusted for the server link, beside the executable unless "
     "a full path; empty: the system's trust store",
     nullptr, CheckCaFile},
    {SettingsSection, "ServerTlsName", SettingKind::Text, 0, "", 0, 255, SettingRead::AtStart,
     "name the server's certificate must carry, sent as SNI when a DNS name; empty: "
     "ServerAddress, checked as an IP address"},
    // 64 hex digits and 31 colons, after openssl's "sha256 Fingerprint=".
    {SettingsSection, "ServerCertificateHash", SettingKind::Fingerprint, 0, "", 0, 127,
     SettingRead::AtStart,
     "SHA-256 fingerprint of the server's certificate, hex with or without colons or as openssl "
     "prints it, checked besides the chain; empty: none"},
    {SettingsSection, "ServerClientCertificateFile", SettingKind::File, 0, "", 0,
     GatewayPathSize - 1, SettingRead::AtStart,
     "Linux: PEM file of the gateway's client certificate and its chain, sent when the server "
     "asks for one (see \"Client certificates\"), beside the executable unless a full path; "
     "empty: none",
     nullptr, CheckCaFile, SettingPlatform::Linux},
    {SettingsSection, "ServerClientKeyFile", SettingKind::File, 0, "", 0, GatewayPathSize - 1,
     SettingRead::AtStart,
     "Linux: PEM file of that certificate's private key, without a passphrase and readable by "
     "the gateway's account alone; empty: the key is in ServerClientCertificateFile",
     nullptr, CheckClientKeyFile, SettingPlatform::Linux},
    {SettingsSection, "ServerClientCertificateHash", SettingKind::Fingerprint, 0, "", 0, 127,
     SettingRead::AtStart,
     "Windows: SHA-256 fingerprint of the gateway's client certificate in the local machine's "
     "\"My\" store, which holds its private key, sent when the server asks for one; empty: none",
     nullptr, nullptr, SettingPlatform::Windows},
    {SettingsSection, "ServerConnectTimeout", SettingKind::Number, 5, nullptr, 1, 120,
     SettingRead::AtStart,
     "seconds a connect to the transaction server may take before it counts as failed"},
    {SettingsSection, "BackupServerAddress", SettingKind::Host, 0, "", 0, 31, SettingRead::AtStart,
     "address of the backup transaction server, tried when a connect to the other one fails "
     "(see \"The backup server\"); empty: none"},
    {SettingsSection, "BackupServerPort", SettingKind::Port, 0, nullptr, 0, 65535,
     SettingRead::AtStart, "TCP port of the backup transaction server, 0 for ServerPortNumber"},
    {SettingsSection, "BackupServerTlsName", SettingKind::Text, 0, "", 0, 255, SettingRead::AtStart,
     "name the backup server's certificate must carry; empty: BackupServerAddress, checked as an "
     "IP address"},
    {SettingsSection, "BackupServerCertificateHash", SettingKind::Fingerprint, 0, "", 0, 127,
     SettingRead::AtStart,
     "SHA-256 fingerprint of the backup server's certificate, as ServerCertificateHash; empty: "
     "none"},
    {SettingsSection, "ServerFailBackSeconds", SettingKind::Number, 300, nullptr, 1, 86400,
     SettingRead::AtStart,
     "seconds after a move to the backup server before new connections try the transaction "
     "server again"},
    {SettingsSection, "AllowVoid", SettingKind::Flag, 0, nullptr, INT_MIN, INT_MAX,
     SettingRead::AtStart, "1 enables /Void; 0 refuses it"},
    {SettingsSection, "TerminalAddress", SettingKind::Number, 0, nullptr, INT_MIN, INT_MAX,
     SettingRead::EachRequest,
     "terminal number at the front of every message, two digits at least; not used with "
     "TerminalAddresses"},
    // 16 addresses of 9 digits, with commas and blanks.
    {SettingsSection, "TerminalAddresses", SettingKind::Terminals, 0, "", 0, 191,
     SettingRead::AtStart,
     "terminal numbers such as 3,4,5,6, at most 16: one server connection each, carrying one "
     "transaction at a time (see \"Several terminal addresses\"); empty: one connection, "
     "TerminalAddress",
     nullptr, CheckTerminalAddresses},
    {SettingsSection, "EntryMode", SettingKind::Number, 2, nullptr, INT_MIN, INT_MAX,
     SettingRead::EachRequest, "entry mode, the last field of every message"},
    {SettingsSection, "ReplyTimeout", SettingKind::Number, 30, nullptr, INT_MIN, INT_MAX,
     SettingRead::EachRequest, "seconds to wait for the server's reply, 0 for no limit"},
    {SettingsSection, "DuplicateWindow", SettingKind::Number, 0, nullptr, 0, 28800,
     SettingRead::EachRequest,
     "seconds in which a sale or void repeated by the same till is answered 409 and not sent "
     "again, 0 for off (see \"Reconciling\")",
     "120"},
    {SettingsSection, "JournalDays", SettingKind::Number, 90, nullptr, INT_MIN, INT_MAX,
     SettingRead::AtStart,
     "days of journal files kept, 0 turns the journal off (see \"Reconciling\")"},
    {SettingsSection, "MaxPendingPerAddress", SettingKind::Number, 32, nullptr, INT_MIN, INT_MAX,
     SettingRead::AtStart,
     "connections from one unlisted address that may wait for their request at once, 0 for no "
     "cap"},
    {SettingsSection, "StatusPort", SettingKind::Port, 0, nullptr, 0, 65535, SettingRead::AtStart,
     "TCP port of the status port (see \"Operating it\"), 0 for off"},
    {SettingsSection, "StatusAddress", SettingKind::Address, 0, "127.0.0.1", 0, 31,
     SettingRead::AtStart, "the dotted IPv4 address the status port listens on"},
};
inline constexpr size_t SettingCount = sizeof SettingRows / sizeof SettingRows[0];

namespace settings_detail {
consteval bool SameName(const char* a, const char* b) {
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}
consteval size_t IndexOf(const char* name) {
    for (size_t i = 0; i < SettingCount; ++i) {
        if (SameName(SettingRows[i].name, name))
            return i;
    }
    throw "not a key of the settings table"; // a compile-time error, never thrown
}
} // namespace settings_detail

// A key named in the code; a name that is not in the table does not compile.
struct SettingKey {
    consteval SettingKey(const char* name) : index(settings_detail::IndexOf(name)) {}
    size_t index;
    const SettingRow& Row() const { return SettingRows[index]; }
};

// A Number, Flag or Port as the gateway reads it: the row's default when the
// key is missing or empty, a Number brought within its row's bounds.
int ReadSetting(const SettingRow& row);
inline int ReadSetting(SettingKey key) {
    return ReadSetting(SettingRows[key.index]);
}
// A Port as the sockets take it: its low 16 bits.
inline unsigned short ReadPortSetting(SettingKey key) {
    return PortFrom(ReadSetting(key));
}
// An Address, Host, Text, File, Fingerprint or Terminals as written, cut to size - 1
// bytes; returns its length.
size_t ReadSettingText(const SettingRow& row, char* out, size_t size);
inline size_t ReadSettingText(SettingKey key, char* out, size_t size) {
    return ReadSettingText(SettingRows[key.index], out, size);
}
// A File as a full path (beside the executable unless written as one);
// empty when not set. False when the path would not fit.
bool ReadSettingPath(SettingKey key, char* out, size_t size);
// A Fingerprint: Unset, Valid with the 32 bytes in out, or Invalid.
FingerprintSetting ReadSettingFingerprint(SettingKey key, unsigned char* out);

// TerminalAddresses as the gateway takes it (ParseTerminalAddresses): the
// count of addresses put in out (MaxTerminalAddresses entries), 0 for none.
// False, with the problem in why, when the list is not all usable.
bool ReadTerminalAddresses(int* out, int* count, char* why, size_t size);

// The client number listed for a dotted address under "Allowed Clients";
// 0 refuses the client.
int ReadClientNumber(const char* clientAddress);
