#pragma once
#include <map>
#include <string>

#include "common/settings.h"

namespace vellumora {

// Key text -> value text for the eight persisted keys, in the order they are written.
using SettingsMap = std::map<std::wstring, std::wstring>;

// The registry key of the settings under HKEY_CURRENT_USER.
inline constexpr wchar_t kSettingsRegistryKey[] = L"Software\\Vellumora\\Convert";

// The environment variable that switches the store to a settings file.
inline constexpr wchar_t kSettingsFileVariable[] = L"VELLUMORA_SETTINGS_FILE";

SettingsMap ToSettingsMap(const Settings& settings);
Settings FromSettingsMap(const SettingsMap& map);

// The bytes of the settings file for this map: "[General]" and one key=value line each,
// folder with forward slashes, UTF-8, line feeds.
std::string SettingsFileText(const SettingsMap& map);

// Applies the [General] lines of a settings file's bytes to the map (only its eight keys).
void ReadSettingsFileText(const std::string& text, SettingsMap& map);

// Reads the settings file named by VELLUMORA_SETTINGS_FILE, or else the registry under
// HKEY_CURRENT_USER\Software\Vellumora\Convert. Never fails: what it cannot read keeps its default.
Settings LoadSettings();

// Writes all eight keys to the same store; raises with the store's message on failure.
void SaveSettings(const Settings& settings);

}  // namespace vellumora
