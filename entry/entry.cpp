#include "entry/entry.h"

#include <commctrl.h>
#include <dwmapi.h>
#include <objbase.h>
#include <shobjidl.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/context_menu.h"
#include "app/quick_conversion.h"
#include "app/settings_store.h"
#include "app/single_instance.h"
#include "app/verb_server.h"
#include "common/check_hr.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/run_control.h"
#include "ui/window_state.h"

// Older SDK headers do not know the Windows 11 corner attribute.
#ifndef DWMWA_WINDOW_CORNER_PREFERENCE
#define DWMWA_WINDOW_CORNER_PREFERENCE 33
#endif
#ifndef DWMWCP_ROUND
#define DWMWCP_ROUND 2
#endif

namespace vellumora {

namespace {

constexpr wchar_t kProgramTitle[] = L"Vellumora Convert";
constexpr int kApplicationIcon = 1;

// Everything the window run creates that must go away at shut-down.
struct WindowRunResources {
  UniqueHandle instanceMutex;
  UniqueGdiObject backgroundBrush;
  UniqueGdiObject panelBrush;
};

HICON LoadApplicationIcon(HINSTANCE instance, int size) {
  return static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(kApplicationIcon), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

// Every start that is not a silent quick run, once the quick format has been checked. Each of
// `scans` is a list of paths for the window (with its quick format): the command line's one, or
// the selections dropped on the Explorer verbs, which a running window is sent as command lines
// of their own (`fromVerbs`) since this process's command line holds only -Embedding.
int RunWindow(HINSTANCE instance, int showCommand, const std::vector<CommandLine>& scans, bool fromVerbs,
              WindowRunResources& resources) {
  MainWindowState& state = AppState();

  // One window per user and settings store: later starts hand their command line over.
  const std::wstring instanceName = InstanceName();
  bool alreadyRunning = false;
  resources.instanceMutex = CreateInstanceMutex(instanceName, alreadyRunning);
  if (alreadyRunning) {
    if (!fromVerbs) {
      ForwardToRunningInstance(instanceName);
      return 0;
    }
    const std::wstring exe = ThisExecutablePath();
    for (const CommandLine& scan : scans) {
      for (const std::wstring& line : ForwardingCommandLines(exe, scan.quickFormat, scan.paths))
        ForwardToRunningInstance(instanceName, line);
    }
    return 0;
  }

  InitCommonControls();
  resources.backgroundBrush.reset(CreateSolidBrush(RGB(244, 247, 251)));
  resources.panelBrush.reset(CreateSolidBrush(RGB(255, 255, 255)));
  state.backgroundBrush = static_cast<HBRUSH>(resources.backgroundBrush.get());
  state.panelBrush = static_cast<HBRUSH>(resources.panelBrush.get());
  // Only groups the taskbar buttons; a failure changes nothing else, so it does not stop the start.
  SetCurrentProcessExplicitAppUserModelID(L"Vellumora.Convert.Native");

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadApplicationIcon(instance, 48);
  windowClass.hIconSm = LoadApplicationIcon(instance, 24);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = instanceName.c_str();
  if (!RegisterClassExW(&windowClass)) CheckHr(E_FAIL, "建立視窗類別失敗");

  state.dpi = static_cast<int>(GetDpiForSystem());
  RECT workArea{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
  const TrackSize size = InitialWindowSize(state.dpi, workArea.right - workArea.left, workArea.bottom - workArea.top);

  const HWND window = CreateWindowExW(WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES, instanceName.c_str(), kProgramTitle,
                                      WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VSCROLL, CW_USEDEFAULT, CW_USEDEFAULT,
                                      size.width, size.height, nullptr, nullptr, instance, nullptr);
  if (!window) throw std::runtime_error("建立視窗失敗");

  const DWORD corner = DWMWCP_ROUND;
  DwmSetWindowAttribute(window, DWMWA_WINDOW_CORNER_PREFERENCE, &corner, sizeof corner);  // cosmetic only
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  for (const CommandLine& scan : scans) ScanForWindow(scan.paths, OutputFormatFromText(scan.quickFormat));

  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Tab and the arrow keys move among the window's controls.
    if (!IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}

// The installer starts the installed program with exactly this one argument when the program is
// removed (not an option for users): the Explorer verbs that start this very file go, the
// settings stay, and nothing is shown.
bool IsUninstallCleanup(const CommandLine& commandLine) {
  return commandLine.quickFormat.empty() && !commandLine.silent && commandLine.paths.size() == 1 &&
         commandLine.paths.front() == L"--uninstall";
}

// The selections dropped on the Explorer verbs, each handled as the verb's command line would
// be: a silent batch (one report for the whole selection) or paths for the window. `quiet` is
// set while a silent batch runs, so that its failure shows no box.
int RunVerbDrops(HINSTANCE instance, int showCommand, std::vector<VerbDrop> drops, WindowRunResources& resources,
                 bool& quiet) {
  MainWindowState& state = AppState();
  int exitCode = 0;
  std::vector<CommandLine> windowScans;
  for (VerbDrop& drop : drops) {
    CommandLine selection;
    selection.paths = std::move(drop.paths);
    selection.quickFormat = VerbQuickFormat(drop.verb);
    if (IsSilentQuickRun(selection, state.settings.silent_quick)) {
      Settings options = state.settings;
      options.format = OutputFormatFromText(selection.quickFormat).value_or(OutputFormat::Jpg);
      quiet = true;
      exitCode = std::max(exitCode, RunQuickConversion(selection, options));
      quiet = false;
    } else {
      windowScans.push_back(std::move(selection));
    }
  }
  if (windowScans.empty()) return exitCode;
  // COM may start its server hidden; the window of a verb is meant to be seen.
  const int show = showCommand == SW_HIDE ? SW_SHOWNORMAL : showCommand;
  return std::max(exitCode, RunWindow(instance, show, windowScans, true, resources));
}

// Shows a failure to the user unless this start was meant to run silently.
void ReportStartFailure(const char* message, bool quiet) noexcept {
  if (quiet) return;
  try {
    const CommandLine commandLine = ParseCommandLine(GetCommandLineW());
    if (IsSilentQuickRun(commandLine, AppState().settings.silent_quick)) return;
    MessageBoxW(nullptr, ToUtf16(message).c_str(), kProgramTitle, MB_ICONERROR);
  } catch (...) {
    // Nothing more can be said without risking a box in a silent run.
  }
}

}  // namespace

int AppMain(HINSTANCE instance, int showCommand) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int exitCode = 0;
  WindowRunResources resources;
  bool quiet = false;
  try {
    // The manifest already asks for this; the call covers starts that ignore the manifest.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    MainWindowState& state = AppState();
    state.instance = instance;
    const CommandLine commandLine = ParseCommandLine(GetCommandLineW());
    // Before the settings: an unreadable settings store must not stop the uninstaller.
    if (IsUninstallCleanup(commandLine)) {
      RemoveContextMenuOfThisExecutable();
      if (SUCCEEDED(com)) CoUninitialize();
      return 0;
    }
    state.settings = LoadSettings();

    const std::optional<OutputFormat> quickFormat = OutputFormatFromText(commandLine.quickFormat);
    if (!commandLine.quickFormat.empty() && !quickFormat) throw std::runtime_error("快速轉換格式必須是 JPG 或 PNG");
    if (IsVerbServerStart(commandLine)) {
      // Started by COM for an Explorer verb: the selection arrives through IDropTarget::Drop.
      exitCode = RunVerbDrops(instance, showCommand, ServeExplorerVerbs(), resources, quiet);
    } else if (IsSilentQuickRun(commandLine, state.settings.silent_quick)) {
      // The quick format applies to this run only; nothing is saved.
      state.settings.format = *quickFormat;
      const Settings options = state.settings;
      exitCode = RunQuickConversion(commandLine, options);
    } else {
      exitCode = RunWindow(instance, showCommand, {commandLine}, false, resources);
    }
  } catch (const std::exception& e) {
    ReportStartFailure(e.what(), quiet);
    exitCode = 1;
  }

  resources.instanceMutex.reset();
  AppState().backgroundBrush = nullptr;
  AppState().panelBrush = nullptr;
  resources.backgroundBrush.reset();
  resources.panelBrush.reset();
  if (SUCCEEDED(com)) CoUninitialize();
  return exitCode;
}

}  // namespace vellumora
