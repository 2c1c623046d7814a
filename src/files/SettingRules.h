// SettingRules.h - what a setting's value needs beyond its text: the rule of
// its kind (a port's bits, a file's place, a fingerprint's digits) and the
// rules of single keys, reached from their rows in Settings.h. `check` and
// the gateway's start judge values by these same rules.
#pragma once

#include <cstddef>

// The port a Port key's value gives: its low 16 bits, as the sockets take it.
unsigned short PortFrom(int configured);

// A File key's value as a full path: a name without a directory lies beside
// the executable (and the settings file). False when it would not fit.
bool ResolveSettingFile(const char* value, char* out, size_t size);

enum class FingerprintSetting { Unset, Valid, Invalid };
// A Fingerprint key's value: empty is Unset.
FingerprintSetting ReadFingerprintValue(const char* value, unsigned char* out);

// A key's own rule: false, with what is wrong after the value in why ("does
// not exist"), when the value would not work. value is what the gateway
// uses: for a File, its full path.
using SettingCheck = bool (*)(const char* value, char* why, size_t size);

// ServerCaFile, ServerClientCertificateFile: a readable PEM file with at
// least one certificate.
bool CheckCaFile(const char* path, char* why, size_t size);
// ServerClientKeyFile: a PEM private key without a passphrase, which its
// owner alone may read.
bool CheckClientKeyFile(const char* path, char* why, size_t size);

// A TerminalAddresses list: whole numbers from 0 to MaxTerminalAddress
// separated by commas, blanks around them allowed; empty: no list.
constexpr int MaxTerminalAddresses = 16;
constexpr int MaxTerminalAddress = 999999999;
// The addresses of the list in their order into out (MaxTerminalAddresses
// entries), their count in *count. False, with what is wrong in why, when an
// item is not such a number, an address is repeated or there are more than
// MaxTerminalAddresses: the addresses that can be used (the first of a
// repeat, the first MaxTerminalAddresses) are still given.
bool ParseTerminalAddresses(const char* text, int* out, int* count, char* why, size_t size);
// TerminalAddresses: the list's rule, as above.
bool CheckTerminalAddresses(const char* value, char* why, size_t size);
