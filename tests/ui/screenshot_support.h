#pragma once
// Helpers for the programs that show the real main window on a display for a screenshot taken
// from outside (scripts/screenshot.sh, tests/ui/drawing_screenshot/capture.sh): the window
// class registered as the program registers it, and message pumping until the script says done.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "ui/main_window.h"
#include "ui/window_state.h"

namespace vellumora::test {

// Dispatches this thread's messages for `duration`, or until the file `until` exists. A WM_QUIT
// from the destroyed window is dropped.
inline void PumpFor(std::chrono::milliseconds duration, const std::wstring& until = L"") {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!until.empty() && std::filesystem::exists(until)) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
}

// Registers the main window's class under `className` for AppState().instance.
inline bool RegisterMainWindowClass(const std::wstring& className) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = AppState().instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = className.c_str();
  return RegisterClassExW(&windowClass) != 0;
}

}  // namespace vellumora::test
