// Shows the main window on a real display for a screenshot taken from outside
// (tests/ui/drawing_screenshot/capture.sh), with the start button held down, the stop and
// remove buttons disabled and the focus on the add-files button. Once painted, it writes the
// READY file: the window's dpi, the window's screen rectangle, and the points and regions the
// script must find in the palette's colours. It keeps the window up until DONE exists.
//   vellumora_drawing_capture READY_FILE DONE_FILE [scrolled]
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/background_jobs.h"
#include "app/single_instance.h"
#include "common/guid_text.h"
#include "tests/ui/screenshot_support.h"
#include "ui/control_ids.h"
#include "ui/drawing.h"
#include "ui/main_window.h"
#include "ui/window_state.h"

namespace vellumora {
namespace {

struct Expectations {
  HWND window = nullptr;
  std::string text;

  POINT ToScreen(int x, int y) const {
    POINT point{x, y};
    ClientToScreen(window, &point);
    return point;
  }
  bool Visible(int x, int y) const {
    RECT client{};
    GetClientRect(window, &client);
    const POINT point{x, y};
    return PtInRect(&client, point) != FALSE;
  }
  // One pixel, in client coordinates, that must have exactly this colour (when it is on screen).
  void Pixel(const char* name, int x, int y, COLORREF colour) {
    if (!Visible(x, y)) return;
    const POINT p = ToScreen(x, y);
    char line[160];
    std::snprintf(line, sizeof line, "pixel %s %ld %ld %d %d %d\n", name, p.x, p.y, GetRValue(colour),
                  GetGValue(colour), GetBValue(colour));
    text += line;
  }
  // A region, in client coordinates, in which this colour must appear (drawn text).
  void Region(const char* name, RECT r, COLORREF colour) {
    if (!Visible(r.left, r.top) || !Visible(r.right - 1, r.bottom - 1)) return;
    const POINT p = ToScreen(r.left, r.top);
    char line[160];
    std::snprintf(line, sizeof line, "region %s %ld %ld %ld %ld %d %d %d\n", name, p.x, p.y, r.right - r.left,
                  r.bottom - r.top, GetRValue(colour), GetGValue(colour), GetBValue(colour));
    text += line;
  }
  // Fill (3 pixels in from the left edge, half-way down) and border (the left edge) of a button.
  void Button(const char* name, int id, COLORREF fill, COLORREF border) {
    RECT r{};
    GetWindowRect(GetControl(id), &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    const int middle = (r.top + r.bottom) / 2;
    Pixel((std::string(name) + "-fill").c_str(), r.left + 3, middle, fill);
    Pixel((std::string(name) + "-border").c_str(), r.left, middle, border);
  }
};

int Run(const std::wstring& readyFile, const std::wstring& doneFile, bool scrolled) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring settingsFile = std::wstring(temp) + L"vellumora-capture-" + NewGuidText() + L".ini";
  SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", settingsFile.c_str());  // never the registry

  auto& state = AppState();
  state.instance = GetModuleHandleW(nullptr);
  state.backgroundBrush = CreateSolidBrush(palette::kPage);
  state.panelBrush = CreateSolidBrush(palette::kPanel);
  state.dpi = static_cast<int>(GetDpiForSystem());
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  const std::wstring className = InstanceName();
  if (!test::RegisterMainWindowClass(className)) return 2;
  // Under Xvfb without a window manager the window has no frame: the client area is the window.
  const int width = MulDiv(1100, state.dpi, 96);
  const int height = MulDiv(scrolled ? 600 : 740, state.dpi, 96);
  HWND window = CreateWindowExW(WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES, className.c_str(), L"Vellumora Convert",
                                WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VSCROLL, 0, 0, width, height, nullptr,
                                nullptr, state.instance, nullptr);
  if (!window) return 3;
  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  UpdateWindow(window);

  auto* scan = new ScanResult;
  scan->options = state.settings;
  scan->paths = {L"C:\\Users\\美玲\\Pictures\\IMG_0412.HEIC", L"C:\\Users\\美玲\\Pictures\\清水寺夜景.heic"};
  ++state.pendingScans;
  SendMessageW(window, WM_APP_SCAN_DONE, 0, reinterpret_cast<LPARAM>(scan));  // the window frees it

  if (scrolled) SendMessageW(window, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-120)), 0);
  SetFocus(GetControl(IDC_ADD_FILES));
  SendMessageW(GetControl(IDC_START), BM_SETSTATE, TRUE, 0);  // held down
  test::PumpFor(std::chrono::milliseconds(1500));

  Expectations expect;
  expect.window = window;
  const int scroll = state.scroll;
  auto s = [&](int units) { return ScaleToDpi(units); };
  RECT client{};
  GetClientRect(window, &client);
  expect.text = std::to_string(GetDpiForWindow(window)) + "\n";
  {
    RECT r = client;
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    char line[120];
    std::snprintf(line, sizeof line, "window %ld %ld %ld %ld scroll %d\n", r.left, r.top, r.right - r.left,
                  r.bottom - r.top, scroll);
    expect.text += line;
  }
  const int right = state.rightPanelLeft;
  expect.Pixel("page-left", s(10), s(300) - scroll, palette::kPage);
  expect.Pixel("page-between-panels", s(right - 8), s(300) - scroll, palette::kPage);
  expect.Pixel("left-panel", s(30), s(300) - scroll, palette::kPanel);
  expect.Pixel("right-panel", s(right + 6), s(300) - scroll, palette::kPanel);
  expect.Pixel("left-panel-border", s(24), s(300) - scroll, palette::kPanelBorder);
  expect.Pixel("left-panel-top-border", s(200), s(88) - scroll, palette::kPanelBorder);
  expect.Pixel("above-left-panel", s(200), s(88) - scroll - 2, palette::kPage);
  expect.Button("start-pressed", IDC_START, palette::kPrimaryPressedFill, palette::kPrimaryPressedFill);
  expect.Button("stop-disabled", IDC_STOP, palette::kDisabledFill, palette::kButtonBorder);
  expect.Button("remove-disabled", IDC_MENU_REMOVE, palette::kDisabledFill, palette::kButtonBorder);
  expect.Button("clear", IDC_CLEAR, palette::kButtonFill, palette::kButtonBorder);
  expect.Button("browse-disabled", IDC_BROWSE_FOLDER, palette::kDisabledFill, palette::kButtonBorder);
  {
    RECT r{};  // the text of the held-down start button is white on the pressed blue
    GetWindowRect(GetControl(IDC_START), &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    InflateRect(&r, -s(6), -s(6));  // clear of the rounded corners, where the white panel shows
    expect.Region("start-text", r, palette::kPrimaryText);
  }
  {
    RECT r{};
    GetWindowRect(GetControl(IDC_STOP), &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    expect.Region("stop-text", r, palette::kDisabledText);
  }
  expect.Region("title", RECT{s(26), s(13) - scroll, s(260), s(50) - scroll}, palette::kHeading);
  expect.Region("tagline", RECT{s(28), s(53) - scroll, s(400), s(75) - scroll}, palette::kTagline);
  expect.Region("heading-right", RECT{s(right + 18), s(108) - scroll, s(right + 120), s(132) - scroll},
                palette::kHeading);

  if (FILE* ready = _wfopen((readyFile + L".part").c_str(), L"w")) {
    std::fputs(expect.text.c_str(), ready);
    std::fclose(ready);
    MoveFileExW((readyFile + L".part").c_str(), readyFile.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  test::PumpFor(std::chrono::milliseconds(60000), doneFile);

  DestroyWindow(window);
  test::PumpFor(std::chrono::milliseconds(100));
  DeleteFonts();
  DeleteObject(state.backgroundBrush);
  DeleteObject(state.panelBrush);
  DeleteFileW(settingsFile.c_str());
  return 0;
}

}  // namespace
}  // namespace vellumora

int main() {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  int code = 1;
  if (arguments && (count == 3 || count == 4)) {
    code = vellumora::Run(arguments[1], arguments[2], count == 4 && std::wstring(arguments[3]) == L"scrolled");
  } else {
    std::fprintf(stderr, "usage: vellumora_drawing_capture READY_FILE DONE_FILE [scrolled]\n");
  }
  LocalFree(arguments);
  if (SUCCEEDED(com)) CoUninitialize();
  return code;
}
