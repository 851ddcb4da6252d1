#include "app/context_menu.h"

#include <shlobj.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/text.h"
#include "common/unique_handle.h"

namespace vellumora {
namespace {

constexpr wchar_t kAssociationsRoot[] = L"Software\\Classes\\SystemFileAssociations\\";
constexpr wchar_t kClassesRoot[] = L"Software\\Classes\\CLSID\\";

std::wstring MenuText(std::wstring_view verb) {
  if (verb == L"Vellumora.JPG") return L"快速轉換為 JPG";
  if (verb == L"Vellumora.PNG") return L"快速轉換為 PNG";
  return L"使用 Vellumora 開啟";
}

// A plain REG_SZ value of `subkey` below `key` (empty subkey: the key itself), or nothing when
// it is missing or of another type.
bool ReadString(HKEY key, const wchar_t* subkey, const wchar_t* name, std::wstring& text) {
  // RRF_NOEXPAND keeps a REG_EXPAND_SZ value as what it is; without it the value would be
  // expanded, reported as REG_SZ and pass the type restriction.
  constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_NOEXPAND;
  DWORD bytes = 0;
  if (RegGetValueW(key, subkey, name, kFlags, nullptr, nullptr, &bytes) != ERROR_SUCCESS) return false;
  DWORD capacity = (bytes & ~static_cast<DWORD>(1)) + 2;
  std::vector<wchar_t> buffer(capacity / sizeof(wchar_t), L'\0');
  if (RegGetValueW(key, subkey, name, kFlags, nullptr, buffer.data(), &capacity) != ERROR_SUCCESS) return false;
  buffer.back() = L'\0';
  text = buffer.data();
  return true;
}

bool ReadString(const std::wstring& keyPath, const wchar_t* subkey, const wchar_t* name, std::wstring& text) {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
  return ReadString(key.get(), subkey, name, text);
}

std::wstring Quoted(std::wstring_view path) { return L"\"" + std::wstring(path) + L"\""; }

bool SameText(const std::wstring& a, const std::wstring& b) { return FoldCase(a) == FoldCase(b); }

// A class key that this program wrote for some copy of itself (it carries the mark).
bool IsVerbClassKey(const std::wstring& classIdText) {
  std::wstring verb;
  return !classIdText.empty() && classIdText.find(L'\\') == std::wstring::npos &&
         ReadString(kClassesRoot + classIdText, nullptr, kVerbClassMark, verb);
}

// The class a verb key's DropTarget names ("" when none).
std::wstring DropTargetClass(const std::wstring& verbKey) {
  std::wstring text;
  return ReadString(verbKey, L"DropTarget", L"CLSID", text) ? text : std::wstring();
}

LSTATUS DeleteTree(const std::wstring& path) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// 64-bit FNV-1a over the UTF-16LE bytes, from a given start value.
std::uint64_t Fnv1a(std::wstring_view text, std::uint64_t hash) {
  for (wchar_t unit : text) {
    const auto value = static_cast<std::uint16_t>(unit);
    for (std::uint8_t byte : {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)}) {
      hash ^= byte;
      hash *= 1099511628211ull;
    }
  }
  return hash;
}

}  // namespace

std::wstring ThisExecutablePath() {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::wstring(buffer.data(), length < buffer.size() ? length : 0);
}

std::wstring ContextMenuVerbKey(std::wstring_view extension, std::wstring_view verb) {
  std::wstring key = kAssociationsRoot;
  key += extension;
  key += L"\\shell\\";
  key += verb;
  return key;
}

std::wstring ContextMenuCommandLine(std::wstring_view verb, std::wstring_view exePath) {
  std::wstring command = Quoted(exePath);
  const std::wstring format = VerbQuickFormat(verb);
  if (!format.empty()) command += L" --quick " + format;
  command += L" \"%1\"";
  return command;
}

std::wstring VerbQuickFormat(std::wstring_view verb) {
  if (verb == L"Vellumora.JPG") return L"JPG";
  if (verb == L"Vellumora.PNG") return L"PNG";
  return L"";
}

GUID VerbClassId(std::wstring_view verb, std::wstring_view exePath) {
  const std::wstring name = std::wstring(verb) + L"\n" + FoldCase(exePath);
  // Two independent 64-bit hashes of the same name: the start values are FNV's offset basis
  // and that basis hashed once more with the program's name.
  const std::uint64_t high = Fnv1a(name, 14695981039346656037ull);
  const std::uint64_t low = Fnv1a(name, Fnv1a(L"Vellumora.Verb", 14695981039346656037ull));
  GUID id{};
  id.Data1 = static_cast<unsigned long>(high >> 32);
  id.Data2 = static_cast<unsigned short>(high >> 16);
  id.Data3 = static_cast<unsigned short>((high & 0x0FFF) | 0x8000);  // version 8: a name-based id of our own
  for (int i = 0; i < 8; ++i) id.Data4[i] = static_cast<unsigned char>(low >> (56 - 8 * i));
  id.Data4[0] = static_cast<unsigned char>((id.Data4[0] & 0x3F) | 0x80);  // the RFC 4122 variant
  return id;
}

std::wstring ClassIdText(const GUID& classId) {
  wchar_t text[40] = {};
  const int n = StringFromGUID2(classId, text, 40);
  return std::wstring(text, n > 0 ? static_cast<size_t>(n - 1) : 0);
}

std::wstring VerbClassKey(const GUID& classId) { return kClassesRoot + ClassIdText(classId); }

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

int QueryContextMenuState() { return QueryContextMenuStateFor(ThisExecutablePath()); }

int QueryContextMenuStateFor(const std::wstring& exePath) {
  int existing = 0;
  int matching = 0;
  bool serversMatch = true;
  try {
    for (const wchar_t* verb : kContextMenuVerbs) {
      const std::wstring classKey = VerbClassKey(VerbClassId(verb, exePath));
      std::wstring server;
      if (!ReadString(classKey, L"LocalServer32", nullptr, server) || !SameText(server, Quoted(exePath))) {
        serversMatch = false;
      }
      UniqueRegKey key;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, classKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) ++existing;
    }
    for (const wchar_t* extension : kContextMenuExtensions) {
      for (const wchar_t* verb : kContextMenuVerbs) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, ContextMenuVerbKey(extension, verb).c_str(), 0, KEY_READ, key.put()) !=
            ERROR_SUCCESS) {
          continue;
        }
        ++existing;
        std::wstring command;
        std::wstring classId;
        if (!ReadString(key.get(), L"command", nullptr, command)) continue;
        if (!ReadString(key.get(), L"DropTarget", L"CLSID", classId)) continue;
        if (SameText(command, ContextMenuCommandLine(verb, exePath)) &&
            SameText(classId, ClassIdText(VerbClassId(verb, exePath)))) {
          ++matching;
        }
      }
    }
  } catch (...) {
    // Out of memory while building a string: report what was seen so far rather than raise.
    serversMatch = false;
  }
  if (matching == 9 && serversMatch) return 2;
  return existing > 0 ? 1 : 0;
}

int RemoveContextMenuOfThisExecutable() noexcept { return RemoveContextMenuOfExecutable(ThisExecutablePath()); }

int RemoveContextMenuOfExecutable(const std::wstring& exePath) noexcept {
  int removed = 0;
  bool changed = false;
  try {
    const std::wstring ownStart = FoldCase(Quoted(exePath));
    for (const wchar_t* extension : kContextMenuExtensions) {
      for (const wchar_t* verb : kContextMenuVerbs) {
        const std::wstring path = ContextMenuVerbKey(extension, verb);
        std::wstring command;
        if (!ReadString(path, L"command", nullptr, command)) continue;
        if (FoldCase(command).rfind(ownStart, 0) != 0) continue;
        if (RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()) == ERROR_SUCCESS) ++removed;
      }
    }
    // Only this copy's own classes: another copy's verbs may still name theirs.
    for (const wchar_t* verb : kContextMenuVerbs) {
      if (RegDeleteTreeW(HKEY_CURRENT_USER, VerbClassKey(VerbClassId(verb, exePath)).c_str()) == ERROR_SUCCESS) {
        changed = true;
      }
    }
  } catch (...) {
    // Out of memory while building a string: what was deleted so far stays deleted.
  }
  if (removed > 0 || changed) SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return removed;
}

void SetContextMenuInstalled(bool install) { SetContextMenuInstalledFor(install, ThisExecutablePath()); }

void SetContextMenuInstalledFor(bool install, const std::wstring& exePath) {
  if (install) {
    // The classes first, so that no verb key ever names a class that is not there.
    for (const wchar_t* verb : kContextMenuVerbs) {
      const std::wstring classKey = VerbClassKey(VerbClassId(verb, exePath));
      SetRegistryString(classKey, L"", L"Vellumora Convert: " + MenuText(verb));
      SetRegistryString(classKey, kVerbClassMark, verb);
      SetRegistryString(classKey + L"\\LocalServer32", L"", Quoted(exePath));
    }
  }
  for (const wchar_t* extension : kContextMenuExtensions) {
    for (const wchar_t* verb : kContextMenuVerbs) {
      const std::wstring key = ContextMenuVerbKey(extension, verb);
      const std::wstring ownClass = ClassIdText(VerbClassId(verb, exePath));
      // The class an entry named before (another copy's) goes with the entry it served.
      const std::wstring previousClass = DropTargetClass(key);
      const bool dropPrevious =
          !previousClass.empty() && !SameText(previousClass, ownClass) && IsVerbClassKey(previousClass);
      if (install) {
        SetRegistryString(key, L"", MenuText(verb));
        SetRegistryString(key, L"MultiSelectModel", L"Player");
        SetRegistryString(key, L"Icon", Quoted(exePath));
        SetRegistryString(key + L"\\command", L"", ContextMenuCommandLine(verb, exePath));
        SetRegistryString(key + L"\\DropTarget", L"CLSID", ownClass);
        if (dropPrevious) DeleteTree(kClassesRoot + previousClass);  // a leftover at worst: not a failure
      } else {
        if (DeleteTree(key) != ERROR_SUCCESS) throw std::runtime_error("移除右鍵功能失敗");
        if (dropPrevious && DeleteTree(kClassesRoot + previousClass) != ERROR_SUCCESS) {
          throw std::runtime_error("移除右鍵功能失敗");
        }
      }
    }
  }
  if (!install) {
    for (const wchar_t* verb : kContextMenuVerbs) {
      if (DeleteTree(VerbClassKey(VerbClassId(verb, exePath))) != ERROR_SUCCESS) {
        throw std::runtime_error("移除右鍵功能失敗");
      }
    }
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

}  // namespace vellumora
