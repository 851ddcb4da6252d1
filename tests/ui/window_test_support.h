#pragma once
// Helpers for tests that drive the real main window in this process: an isolated settings
// file, a hidden window created like the program creates it, message pumping with a time
// limit, and readers for control texts and list items.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/background_jobs.h"
#include "app/single_instance.h"
#include "common/file_bytes.h"
#include "common/guid_text.h"
#include "common/text.h"
#include "ui/control_ids.h"
#include "ui/drawing.h"
#include "ui/main_window.h"
#include "ui/window_state.h"

namespace vellumora::test {

// A fresh folder under the temporary folder, removed with everything in it at the end.
class UiTempFolder {
 public:
  UiTempFolder() : path_(std::filesystem::temp_directory_path() / (L"vc-ui-" + NewGuidText())) {
    std::filesystem::create_directories(path_);
  }
  ~UiTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  UiTempFolder(const UiTempFolder&) = delete;
  UiTempFolder& operator=(const UiTempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return (path_ / name).wstring(); }

  // A file that claims to be a photograph but is not one: its conversion fails quickly.
  std::wstring MakeFakePhoto(const std::wstring& name) const {
    const std::wstring path = *this / name;
    const std::string bytes = "not a HEIF file";
    WriteFileBytes(path, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    return path;
  }

 private:
  std::filesystem::path path_;
};

// Points VELLUMORA_SETTINGS_FILE at a file of this test's own: settings never reach the
// registry, and the instance name (and so the window class) is unique to the test.
class IsolatedSettings {
 public:
  IsolatedSettings() : file_(folder_ / L"settings.ini") {
    SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", file_.c_str());
  }
  ~IsolatedSettings() { SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", nullptr); }
  IsolatedSettings(const IsolatedSettings&) = delete;
  IsolatedSettings& operator=(const IsolatedSettings&) = delete;
  const std::wstring& file() const { return file_; }

 private:
  UiTempFolder folder_;
  std::wstring file_;
};

// Dispatches this thread's messages until `done` holds or the time is up; a WM_QUIT from a
// destroyed window is dropped. Returns whether `done` held.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<long long>(left, 50)), QS_ALLINPUT);
  }
}

// Until no scan is pending, no conversion runs and the queue is empty.
inline bool PumpUntilIdle(std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
  return PumpUntil(
      [] {
        const auto& state = AppState();
        MSG message;
        return state.pendingScans == 0 && !state.converting && !PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
      },
      limit);
}

// The main window as the program creates it, but hidden: same class name, styles and size.
class TestWindow {
 public:
  explicit TestWindow(const Settings& settings = Settings{}, int clientWidth = 0, int clientHeight = 0) {
    AppState() = MainWindowState();
    auto& state = AppState();
    state.instance = GetModuleHandleW(nullptr);
    state.settings = settings;
    state.dpi = 96;
    background_ = CreateSolidBrush(RGB(244, 247, 251));
    panel_ = CreateSolidBrush(RGB(255, 255, 255));
    state.backgroundBrush = background_;
    state.panelBrush = panel_;

    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    className_ = InstanceName();
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = state.instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = className_.c_str();
    registered_ = RegisterClassExW(&windowClass) != 0;

    int width = 1120, height = 800;
    if (clientWidth > 0 && clientHeight > 0) {
      RECT frame{0, 0, clientWidth, clientHeight};
      AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
      width = frame.right - frame.left;
      height = frame.bottom - frame.top;
    }
    window_ = CreateWindowExW(kExStyle, className_.c_str(), L"Vellumora Convert", kStyle, 0, 0, width, height,
                              nullptr, nullptr, state.instance, nullptr);
  }

  ~TestWindow() {
    // Workers must have reported before their window goes away.
    PumpUntilIdle();
    if (IsWindow(window_)) DestroyWindow(window_);
    PumpUntil([] { return true; });
    DeleteFonts();
    if (registered_) UnregisterClassW(className_.c_str(), AppState().instance);
    AppState() = MainWindowState();
    DeleteObject(background_);
    DeleteObject(panel_);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND hwnd() const { return window_; }
  const std::wstring& className() const { return className_; }

  static constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VSCROLL;
  static constexpr DWORD kExStyle = WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES;

 private:
  IsolatedSettings settingsFile_;
  std::wstring className_;
  bool registered_ = false;
  HBRUSH background_ = nullptr;
  HBRUSH panel_ = nullptr;
  HWND window_ = nullptr;
};

inline std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), length + 1)));
  return text;
}
inline std::wstring ControlText(int id) { return WindowText(GetControl(id)); }
inline bool ControlEnabled(int id) { return IsWindowEnabled(GetControl(id)) != FALSE; }

inline int ListItemCount() {
  return static_cast<int>(SendMessageW(GetControl(IDC_LIST), LVM_GETITEMCOUNT, 0, 0));
}
inline std::wstring ListItemText(int item, int subItem) {
  wchar_t buffer[1024] = {};
  LVITEMW request{};
  request.iSubItem = subItem;
  request.pszText = buffer;
  request.cchTextMax = 1024;
  SendMessageW(GetControl(IDC_LIST), LVM_GETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&request));
  return buffer;
}

// A control's rectangle in the main window's client coordinates.
inline RECT ControlRect(int id) {
  RECT rect{};
  GetWindowRect(GetControl(id), &rect);
  MapWindowPoints(nullptr, AppState().window, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// An HDROP as the shell hands it over: DROPFILES with wide names, NUL-separated, double NUL.
inline HDROP MakeDrop(const std::vector<std::wstring>& paths) {
  std::size_t units = 1;
  for (const auto& path : paths) units += path.size() + 1;
  const std::size_t bytes = sizeof(DROPFILES) + units * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GHND, bytes);
  auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  auto* names = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(header) + sizeof(DROPFILES));
  for (const auto& path : paths) {
    std::memcpy(names, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    names += path.size() + 1;
  }
  *names = L'\0';
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

// Posts a scan result as a scan worker would, counting it as a pending scan first.
inline void PostScanResult(const std::vector<std::wstring>& paths, const Settings& options, bool quick = false,
                           const std::wstring& note = L"") {
  auto result = std::make_unique<ScanResult>();
  result->paths = paths;
  result->options = options;
  result->quick = quick;
  result->note = note;
  ++AppState().pendingScans;
  ASSERT_TRUE(PostMessageW(AppState().window, WM_APP_SCAN_DONE, 0, reinterpret_cast<LPARAM>(result.get())));
  result.release();
}

// Hands a scan result to the window at once (no pumping), as if it had just arrived.
inline void SendScanResult(const std::vector<std::wstring>& paths, const Settings& options, bool quick = false) {
  auto* result = new ScanResult;
  result->paths = paths;
  result->options = options;
  result->quick = quick;
  ++AppState().pendingScans;
  SendMessageW(AppState().window, WM_APP_SCAN_DONE, 0, reinterpret_cast<LPARAM>(result));  // the window frees it
}

// Sends a command line the way a later start of the program does.
inline LRESULT SendForwardedCommandLine(HWND window, const std::wstring& commandLine) {
  COPYDATASTRUCT data{1, static_cast<DWORD>((commandLine.size() + 1) * sizeof(wchar_t)),
                      const_cast<wchar_t*>(commandLine.c_str())};
  return SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
}

inline void Click(int id) {
  SendMessageW(AppState().window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetControl(id)));
}

}  // namespace vellumora::test
