#include "app/settings_store.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cwctype>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/file_bytes.h"
#include "common/guid_text.h"
#include "common/text.h"
#include "common/environment.h"
#include "common/unique_handle.h"

namespace vellumora {

namespace {

std::wstring SettingsFilePath() { return EnvironmentValue(kSettingsFileVariable); }

// Decimal text as the C runtime's string-to-integer reads it: leading white space, an optional
// sign, then digits up to the first non-digit. Empty when there is no digit or the value does
// not fit a 32-bit signed integer.
std::optional<int> ParseDecimal(std::wstring_view text) {
  size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  const size_t firstDigit = i;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > std::int64_t{INT_MAX} + 1) return std::nullopt;
  }
  if (i == firstDigit) return std::nullopt;
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

bool ParseBool(const std::wstring& text) { return text == L"true" || text == L"1"; }

const std::wstring& ValueOf(const SettingsMap& map, const wchar_t* key) {
  static const std::wstring empty;
  const auto it = map.find(key);
  return it == map.end() ? empty : it->second;
}

// "a" "b" -> a b; then every pair of backslashes becomes one, left to right.
std::wstring UnescapeFileValue(std::wstring value) {
  if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') value = value.substr(1, value.size() - 2);
  std::wstring out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    out += value[i];
    if (value[i] == L'\\' && i + 1 < value.size() && value[i + 1] == L'\\') ++i;
  }
  return out;
}

void ReadSettingsFile(const std::wstring& path, SettingsMap& map) {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = ReadFileBytes(path);
  } catch (const std::exception&) {
    return;  // a missing or unreadable file leaves the defaults
  }
  ReadSettingsFileText(std::string(bytes.begin(), bytes.end()), map);
}

// One registry value as settings text: REG_SZ up to its first NUL, REG_DWORD as unsigned
// decimal; anything else (or a missing value) gives nothing.
std::optional<std::wstring> ReadRegistryValue(HKEY key, const std::wstring& name) {
  std::vector<BYTE> data(256);
  DWORD type = 0;
  for (;;) {
    DWORD size = static_cast<DWORD>(data.size());
    const LONG status = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA) {
      data.resize(size + sizeof(wchar_t));
      continue;
    }
    if (status != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    break;
  }
  if (type == REG_SZ) {
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::copy_n(data.data(), text.size() * sizeof(wchar_t), reinterpret_cast<BYTE*>(text.data()));
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
  }
  if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
    DWORD value = 0;
    std::copy_n(data.data(), sizeof value, reinterpret_cast<BYTE*>(&value));
    return std::to_wstring(value);
  }
  return std::nullopt;
}

void ReadRegistry(SettingsMap& map) {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsRegistryKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  for (auto& [name, value] : map) {
    if (auto text = ReadRegistryValue(key.get(), name)) value = std::move(*text);
  }
}

void SaveToFile(const std::filesystem::path& path, const SettingsMap& map) {
  const std::string text = SettingsFileText(map);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  const std::wstring temporary = path.wstring() + L"." + NewGuidText() + L".tmp";
  try {
    WriteFileBytes(temporary, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  } catch (...) {
    // A half-written temporary file is of no use to anyone: do not leave it beside the settings.
    DeleteFileW(temporary.c_str());
    throw;
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temporary.c_str());
    throw std::runtime_error("無法儲存設定");
  }
}

void SaveToRegistry(const SettingsMap& map) {
  UniqueRegKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("無法開啟設定儲存位置");
  bool allWritten = true;
  for (const auto& [name, value] : map) {
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) !=
        ERROR_SUCCESS)
      allWritten = false;
  }
  key.reset();
  if (!allWritten) throw std::runtime_error("無法儲存設定");
}

}  // namespace

SettingsMap ToSettingsMap(const Settings& settings) {
  const auto text = [](bool b) { return std::wstring(b ? L"true" : L"false"); };
  return {
      {L"auto", text(settings.auto_)},
      {L"destination", settings.destination == Destination::Folder ? L"1" : L"0"},
      {L"folder", settings.folder},
      {L"format", OutputFormatText(settings.format)},
      {L"quality", std::to_wstring(settings.quality)},
      {L"recursive", text(settings.recursive)},
      {L"recycle", text(settings.recycle)},
      {L"silent_quick", text(settings.silent_quick)},
  };
}

Settings FromSettingsMap(const SettingsMap& map) {
  Settings settings;
  settings.auto_ = ParseBool(ValueOf(map, L"auto"));
  settings.recursive = ParseBool(ValueOf(map, L"recursive"));
  settings.recycle = ParseBool(ValueOf(map, L"recycle"));
  settings.silent_quick = ParseBool(ValueOf(map, L"silent_quick"));
  // The two numbers are read together: without a usable quality the destination is not
  // trusted either, and both keep their defaults.
  if (const auto quality = ParseDecimal(ValueOf(map, L"quality"))) {
    settings.quality = std::clamp(*quality, 1, 100);
    const auto destination = ParseDecimal(ValueOf(map, L"destination"));
    settings.destination = destination && *destination == 1 ? Destination::Folder : Destination::BesideSource;
  }
  settings.format = OutputFormatFromText(ValueOf(map, L"format")).value_or(OutputFormat::Jpg);
  settings.folder = ValueOf(map, L"folder");
  return settings;
}

std::string SettingsFileText(const SettingsMap& map) {
  std::string text = "[General]\n";
  for (const auto& [key, value] : map) {
    std::wstring written = value;
    if (key == L"folder") std::replace(written.begin(), written.end(), L'\\', L'/');
    text += ToUtf8(key);
    text += '=';
    text += ToUtf8(written);
    text += '\n';
  }
  return text;
}

void ReadSettingsFileText(const std::string& text, SettingsMap& map) {
  bool inSection = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == "[General]") {
      inSection = true;
      continue;
    }
    if (!line.empty() && line.front() == '[') {
      inSection = false;
      continue;
    }
    const size_t equals = line.find('=');
    if (!inSection || equals == std::string_view::npos) continue;
    const auto it = map.find(ToUtf16(line.substr(0, equals)));
    if (it != map.end()) it->second = UnescapeFileValue(ToUtf16(line.substr(equals + 1)));
  }
}

Settings LoadSettings() {
  SettingsMap map = ToSettingsMap(Settings{});
  const std::wstring file = SettingsFilePath();
  if (!file.empty())
    ReadSettingsFile(file, map);
  else
    ReadRegistry(map);
  return FromSettingsMap(map);
}

void SaveSettings(const Settings& settings) {
  const SettingsMap map = ToSettingsMap(settings);
  const std::wstring file = SettingsFilePath();
  if (!file.empty())
    SaveToFile(file, map);
  else
    SaveToRegistry(map);
}

}  // namespace vellumora
