#include "app/single_instance.h"

#include <cstring>
#include <cwchar>
#include <stdexcept>

#include "common/environment.h"

namespace vellumora {

std::uint64_t InstanceHash(std::wstring_view key) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a 64 offset basis
  for (wchar_t unit : key) {
    const auto value = static_cast<std::uint16_t>(unit);
    for (std::uint8_t byte : {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)}) {
      hash ^= byte;
      hash *= 1099511628211ull;  // FNV 64 prime
    }
  }
  return hash;
}

std::wstring InstanceKey() {
  std::wstring key = EnvironmentValue(L"VELLUMORA_SETTINGS_FILE");
  if (!key.empty()) return key;
  return EnvironmentValue(L"USERNAME");
}

std::wstring InstanceNameForKey(std::wstring_view key) {
  return L"Vellumora.Native." + std::to_wstring(InstanceHash(key));
}

std::wstring InstanceName() { return InstanceNameForKey(InstanceKey()); }

UniqueHandle CreateInstanceMutex(const std::wstring& instanceName, bool& alreadyRunning) {
  const std::wstring mutexName = L"Local\\" + instanceName;
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, mutexName.c_str()));
  const DWORD error = GetLastError();
  if (!mutex) throw std::runtime_error("無法建立程式執行個體");
  alreadyRunning = error == ERROR_ALREADY_EXISTS;
  return mutex;
}

std::optional<std::wstring> ReadForwardedCommandLine(const COPYDATASTRUCT& data) {
  if (data.dwData != kForwardedCommandLineId) return std::nullopt;
  const DWORD bytes = data.cbData;
  if (bytes % 2 != 0 || bytes < 2 || bytes > kMaxForwardedBytes || !data.lpData) return std::nullopt;
  // The sender's buffer carries no alignment promise: copy units out byte-wise.
  std::wstring text(bytes / 2, L'\0');
  std::memcpy(text.data(), data.lpData, bytes);
  if (text.back() != L'\0') return std::nullopt;
  text.resize(std::wcslen(text.c_str()));  // the command line ends at its first NUL
  return text;
}

bool SendCommandLine(HWND window, const std::wstring& commandLine) {
  COPYDATASTRUCT data{};
  data.dwData = kForwardedCommandLineId;
  data.cbData = static_cast<DWORD>((commandLine.size() + 1) * sizeof(wchar_t));
  data.lpData = const_cast<wchar_t*>(commandLine.c_str());
  DWORD_PTR answer = 0;
  const LRESULT sent = SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                           SMTO_ABORTIFHUNG, 5000, &answer);
  return sent != 0 && answer != 0;
}

void ForwardToRunningInstance(const std::wstring& className) {
  ForwardToRunningInstance(className, GetCommandLineW());
}

void ForwardToRunningInstance(const std::wstring& className, const std::wstring& commandLine) {
  // The running instance may hold the mutex but not have its window yet: look for about 5 s.
  HWND window = nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    window = FindWindowW(className.c_str(), nullptr);
    if (window || attempt == 99) break;
    Sleep(50);
  }
  if (!window) throw std::runtime_error("現有視窗尚未回應，請稍後再試");
  if (!SendCommandLine(window, commandLine)) throw std::runtime_error("無法傳送檔案至現有視窗");
}

namespace {

// One argument in the quoting that CommandLineToArgvW reads back: backslashes are literal
// except before a quotation mark, so those at the end are doubled before the closing quote.
// (File names hold no quotation marks.)
std::wstring QuotedArgument(const std::wstring& argument) {
  size_t trailing = 0;
  while (trailing < argument.size() && argument[argument.size() - 1 - trailing] == L'\\') ++trailing;
  return L"\"" + argument + std::wstring(trailing, L'\\') + L"\"";
}

}  // namespace

std::vector<std::wstring> ForwardingCommandLines(const std::wstring& exePath, const std::wstring& quickFormat,
                                                 const std::vector<std::wstring>& paths) {
  std::wstring start = QuotedArgument(exePath);
  if (!quickFormat.empty()) start += L" --quick " + quickFormat;
  // Units of one payload, its terminator included, with room to spare.
  constexpr size_t kLimit = kMaxForwardedBytes / sizeof(wchar_t) - 1;
  std::vector<std::wstring> lines;
  std::wstring line = start;
  bool carriesPaths = false;
  for (const std::wstring& path : paths) {
    const std::wstring argument = L" " + QuotedArgument(path);
    if (carriesPaths && line.size() + argument.size() > kLimit) {
      lines.push_back(std::move(line));
      line = start;
      carriesPaths = false;
    }
    line += argument;
    carriesPaths = true;
  }
  lines.push_back(std::move(line));
  return lines;
}

}  // namespace vellumora
