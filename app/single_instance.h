#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_handle.h"

namespace vellumora {

// COPYDATASTRUCT::dwData of a forwarded command line.
inline constexpr ULONG_PTR kForwardedCommandLineId = 1;
// The largest forwarded payload accepted, in bytes.
inline constexpr DWORD kMaxForwardedBytes = 0x1000000;

// FNV-1a, 64 bits, over the UTF-16LE bytes of the text (no terminator).
std::uint64_t InstanceHash(std::wstring_view key);

// VELLUMORA_SETTINGS_FILE when set and not empty, else USERNAME, else "".
std::wstring InstanceKey();

// "Vellumora.Native." + the decimal hash of the key.
std::wstring InstanceNameForKey(std::wstring_view key);

// The command line carried by a WM_COPYDATA payload, or nothing when the payload is not a
// well-formed forwarding: dwData 1, an even byte count from 2 to 16 MiB, last unit NUL.
std::optional<std::wstring> ReadForwardedCommandLine(const COPYDATASTRUCT& data);

// Sends a command line to a window as the forwarding payload; true when the window took it.
bool SendCommandLine(HWND window, const std::wstring& commandLine);

// "Vellumora.Native." + decimal 64-bit hash of the instance key (VELLUMORA_SETTINGS_FILE when
// set, else USERNAME). Also the main window's class name.
std::wstring InstanceName();

// Creates the per-user mutex "Local\<instance name>". Returns its handle; `alreadyRunning` is
// set when another instance owns it. Raises "無法建立程式執行個體" when it cannot be created.
UniqueHandle CreateInstanceMutex(const std::wstring& instanceName, bool& alreadyRunning);

// Sends this process's command line to the running instance's window; raises
// "現有視窗尚未回應，請稍後再試" or "無法傳送檔案至現有視窗" when that fails.
void ForwardToRunningInstance(const std::wstring& className);
// The same with a command line of the caller's (program path first).
void ForwardToRunningInstance(const std::wstring& className, const std::wstring& commandLine);

// Command lines that carry `paths` (with --quick and the format when one is given) to the
// running window, split so that none exceeds the payload limit; one command line without
// paths when there are none. ParseCommandLine gives each path back exactly.
std::vector<std::wstring> ForwardingCommandLines(const std::wstring& exePath, const std::wstring& quickFormat,
                                                 const std::vector<std::wstring>& paths);

}  // namespace vellumora
