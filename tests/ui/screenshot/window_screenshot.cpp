// Shows the main window with a few sample rows in every state, for a screenshot taken from
// outside (scripts/screenshot.sh). Writes the window's dpi into READY_FILE once the window is
// painted, then keeps it on screen until DONE_FILE exists (at most a minute).
//   vellumora_window_screenshot READY_FILE DONE_FILE
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/background_jobs.h"
#include "app/single_instance.h"
#include "tests/ui/screenshot_support.h"
#include "ui/control_ids.h"
#include "ui/file_list.h"
#include "ui/main_window.h"
#include "ui/run_control.h"
#include "ui/window_state.h"

namespace vellumora {
namespace {

void Finish(std::uint64_t index, const std::wstring& output, const std::wstring& error, const std::wstring& warning) {
  auto& state = AppState();
  state.rows[index].status = RowStatus::Converting;
  state.converting = true;
  auto* result = new ConversionResult;
  result->index = index;
  result->outcome.output = output;
  result->outcome.error = error;
  result->outcome.warning = warning;
  SendMessageW(state.window, WM_APP_CONVERT_DONE, 0, reinterpret_cast<LPARAM>(result));  // the window frees it
}

int Run(const std::wstring& readyFile, const std::wstring& doneFile) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring settingsFile = std::wstring(temp) + L"vellumora-screenshot-settings.ini";
  SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", settingsFile.c_str());  // never the registry

  auto& state = AppState();
  state.instance = GetModuleHandleW(nullptr);
  state.backgroundBrush = CreateSolidBrush(RGB(244, 247, 251));
  state.panelBrush = CreateSolidBrush(RGB(255, 255, 255));
  state.dpi = static_cast<int>(GetDpiForSystem());
  InitCommonControls();

  const std::wstring className = InstanceName();
  if (!test::RegisterMainWindowClass(className)) return 2;
  HWND window = CreateWindowExW(WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES, className.c_str(), L"Vellumora Convert",
                                WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VSCROLL, 0, 0, MulDiv(1120, state.dpi, 96),
                                MulDiv(800, state.dpi, 96), nullptr, nullptr, state.instance, nullptr);
  if (!window) return 3;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);

  auto* scan = new ScanResult;
  scan->options = state.settings;
  scan->paths = {L"C:\\Users\\美玲\\Pictures\\2024 京都旅行\\IMG_0412.HEIC",
                 L"C:\\Users\\美玲\\Pictures\\2024 京都旅行\\IMG_0413.HEIC",
                 L"C:\\Users\\美玲\\Pictures\\2024 京都旅行\\清水寺夜景.heic",
                 L"D:\\相機匯入\\家庭聚餐\\IMG_2051.HEIC",
                 L"D:\\相機匯入\\家庭聚餐\\IMG_2052.HEIC",
                 L"D:\\相機匯入\\家庭聚餐\\生日蛋糕.hif"};
  ++state.pendingScans;
  SendMessageW(window, WM_APP_SCAN_DONE, 0, reinterpret_cast<LPARAM>(scan));

  Finish(0, L"C:\\Users\\美玲\\Pictures\\2024 京都旅行\\IMG_0412.jpg", L"", L"");
  Finish(1, L"C:\\Users\\美玲\\Pictures\\2024 京都旅行\\IMG_0413 (1).jpg", L"", L"原檔在轉換期間已被修改，已保留原檔");
  Finish(2, L"", L"HEIC 解碼失敗", L"");
  state.rows[3].status = RowStatus::Converting;
  state.converting = true;
  RefreshRow(3);
  RefreshCommandState();

  LVITEMW select{};
  select.stateMask = LVIS_SELECTED;
  select.state = LVIS_SELECTED;
  SendMessageW(GetControl(IDC_LIST), LVM_SETITEMSTATE, 2, reinterpret_cast<LPARAM>(&select));

  test::PumpFor(std::chrono::milliseconds(1500));
  if (FILE* ready = _wfopen(readyFile.c_str(), L"w")) {
    std::fprintf(ready, "%u\n", GetDpiForWindow(window));
    std::fclose(ready);
  }
  test::PumpFor(std::chrono::milliseconds(60000), doneFile);

  state.converting = false;  // nothing really runs: let the window close
  DestroyWindow(window);
  DeleteFileW(settingsFile.c_str());
  return 0;
}

}  // namespace
}  // namespace vellumora

int main() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  int code = 1;
  if (arguments && count == 3) code = vellumora::Run(arguments[1], arguments[2]);
  else std::fprintf(stderr, "usage: vellumora_window_screenshot READY_FILE DONE_FILE\n");
  LocalFree(arguments);
  if (SUCCEEDED(com)) CoUninitialize();
  return code;
}
