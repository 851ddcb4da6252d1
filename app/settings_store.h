#pragma once
#include <map>
#include <string>

#include "common/settings.h"

namespace vellumora {

// Key text -> value text for the eight persisted keys, in the order they are written.
using SettingsMap = std::map<std::wstring, std::wstring>;

SettingsMap ToSettingsMap(const Settings& settings);
Settings FromSettingsMap(const SettingsMap& map);

// Reads the settings file named by VELLUMORA_SETTINGS_FILE, or else the registry under
// HKEY_CURRENT_USER\Software\Vellumora\Convert. Never fails: what it cannot read keeps its default.
Settings LoadSettings();

// Writes all eight keys to the same store; raises with the store's message on failure.
void SaveSettings(const Settings& settings);

}  // namespace vellumora
