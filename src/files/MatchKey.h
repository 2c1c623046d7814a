// MatchKey.h - the duplicate window's key: the secret under which a sale's
// items become the keyed hash it is matched by, kept in "<JournalStem>.key"
// so that the window's records still match after a restart.
#pragma once

#include <cstddef>

constexpr size_t MatchKeySize = 32;

// Reads the key file, or makes a new key and stores it when there is none;
// of two processes making it at once, both end with the one stored. True
// with the key in key. False with key zeroed and, in reason, why, as a
// clause for the one log line: "the key file /opt/gw/gateway.key is open to
// other accounts (mode 0644)". The file's permissions are never changed.
bool LoadMatchKey(unsigned char* key, char* reason, size_t reasonSize);

// The key file's path, "<JournalStem>.key".
void MatchKeyPath(char* out, size_t size);
