// Settings.cpp - the readers of the settings table's keys.
#include "Settings.h"

#include "Files.h"
#include "Platform.h"

int ReadSetting(const SettingRow& row) {
    int value = PlatformProfileInt(row.section, row.name, row.number, SettingsPath);
    if (row.kind == SettingKind::Number) {
        if (value < row.lowest)
            return row.lowest;
        if (value > row.highest)
            return row.highest;
    }
    return value;
}

size_t ReadSettingText(const SettingRow& row, char* out, size_t size) {
    return PlatformProfileString(row.section, row.name, row.text, out, size, SettingsPath);
}

int ReadClientNumber(const char* clientAddress) {
    return PlatformProfileInt(ClientsSection, clientAddress, 0, SettingsPath);
}

bool ReadSettingPath(SettingKey key, char* out, size_t size) {
    char value[GatewayPathSize];
    ReadSettingText(key, value, sizeof value);
    return ResolveSettingFile(value, out, size);
}

FingerprintSetting ReadSettingFingerprint(SettingKey key, unsigned char* out) {
    char value[160];
    ReadSettingText(key, value, sizeof value);
    return ReadFingerprintValue(value, out);
}

bool ReadTerminalAddresses(int* out, int* count, char* why, size_t size) {
    char value[256];
    ReadSettingText("TerminalAddresses", value, sizeof value);
    return ParseTerminalAddresses(value, out, count, why, size);
}
