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
