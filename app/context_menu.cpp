#include "app/context_menu.h"

#include <windows.h>
#include <shlobj.h>

#include <stdexcept>
#include <vector>

#include "common/text.h"
#include "common/unique_handle.h"

namespace vellumora {
namespace {

constexpr wchar_t kAssociationsRoot[] = L"Software\\Classes\\SystemFileAssociations\\";

std::wstring ExecutablePath() {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::wstring(buffer.data(), length < buffer.size() ? length : 0);
}

std::wstring MenuText(std::wstring_view verb) {
  if (verb == L"Vellumora.JPG") return L"快速轉換為 JPG";
  if (verb == L"Vellumora.PNG") return L"快速轉換為 PNG";
  return L"使用 Vellumora 開啟";
}

// The command's default value, or nothing when it is missing or not a plain REG_SZ.
bool ReadCommand(HKEY verbKey, std::wstring& command) {
  // RRF_NOEXPAND keeps a REG_EXPAND_SZ value as what it is; without it the value would be
  // expanded, reported as REG_SZ and pass the type restriction.
  constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_NOEXPAND;
  DWORD bytes = 0;
  if (RegGetValueW(verbKey, L"command", nullptr, kFlags, nullptr, nullptr, &bytes) != ERROR_SUCCESS) return false;
  DWORD capacity = (bytes & ~static_cast<DWORD>(1)) + 2;
  std::vector<wchar_t> buffer(capacity / sizeof(wchar_t), L'\0');
  if (RegGetValueW(verbKey, L"command", nullptr, kFlags, nullptr, buffer.data(), &capacity) != ERROR_SUCCESS) {
    return false;
  }
  buffer.back() = L'\0';
  command = buffer.data();
  return true;
}

}  // namespace

std::wstring ContextMenuVerbKey(std::wstring_view extension, std::wstring_view verb) {
  std::wstring key = kAssociationsRoot;
  key += extension;
  key += L"\\shell\\";
  key += verb;
  return key;
}

std::wstring ContextMenuCommandLine(std::wstring_view verb, std::wstring_view exePath) {
  std::wstring command = L"\"";
  command += exePath;
  command += L"\"";
  if (verb == L"Vellumora.JPG") {
    command += L" --quick JPG";
  } else if (verb == L"Vellumora.PNG") {
    command += L" --quick PNG";
  }
  command += L" \"%1\"";
  return command;
}

void SetRegistryString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& text) {
  UniqueRegKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
      ERROR_SUCCESS) {
    throw std::runtime_error("無法建立右鍵功能");
  }
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  if (RegSetValueExW(key.get(), valueName.empty() ? nullptr : valueName.c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(text.c_str()), bytes) != ERROR_SUCCESS) {
    throw std::runtime_error("無法寫入右鍵功能");
  }
}

int QueryContextMenuState() {
  int existing = 0;
  int matching = 0;
  try {
    const std::wstring exe = ExecutablePath();
    for (const wchar_t* extension : kContextMenuExtensions) {
      for (const wchar_t* verb : kContextMenuVerbs) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, ContextMenuVerbKey(extension, verb).c_str(), 0, KEY_READ, key.put()) !=
            ERROR_SUCCESS) {
          continue;
        }
        ++existing;
        std::wstring command;
        if (!ReadCommand(key.get(), command)) continue;
        if (FoldCase(command) == FoldCase(ContextMenuCommandLine(verb, exe))) ++matching;
      }
    }
  } catch (...) {
    // Out of memory while building a string: report what was seen so far rather than raise.
  }
  if (matching == 9) return 2;
  return existing > 0 ? 1 : 0;
}

int RemoveContextMenuOfThisExecutable() noexcept {
  int removed = 0;
  try {
    const std::wstring ownStart = FoldCase(L"\"" + ExecutablePath() + L"\"");
    for (const wchar_t* extension : kContextMenuExtensions) {
      for (const wchar_t* verb : kContextMenuVerbs) {
        const std::wstring path = ContextMenuVerbKey(extension, verb);
        std::wstring command;
        {
          UniqueRegKey key;
          if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) continue;
          if (!ReadCommand(key.get(), command)) continue;
        }
        if (FoldCase(command).rfind(ownStart, 0) != 0) continue;
        if (RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()) == ERROR_SUCCESS) ++removed;
      }
    }
  } catch (...) {
    // Out of memory while building a string: what was deleted so far stays deleted.
  }
  if (removed > 0) SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return removed;
}

void SetContextMenuInstalled(bool install) {
  const std::wstring exe = ExecutablePath();
  for (const wchar_t* extension : kContextMenuExtensions) {
    for (const wchar_t* verb : kContextMenuVerbs) {
      const std::wstring key = ContextMenuVerbKey(extension, verb);
      if (install) {
        SetRegistryString(key, L"", MenuText(verb));
        SetRegistryString(key, L"MultiSelectModel", L"Document");
        SetRegistryString(key, L"Icon", L"\"" + exe + L"\"");
        SetRegistryString(key + L"\\command", L"", ContextMenuCommandLine(verb, exe));
      } else {
        const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) throw std::runtime_error("移除右鍵功能失敗");
      }
    }
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

}  // namespace vellumora
