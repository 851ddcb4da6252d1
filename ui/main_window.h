#pragma once
#include <windows.h>

namespace vellumora {

// The main window's procedure; the entry registers it under the instance name.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Places every control for the current client size, dpi and scroll position (clamping the
// scroll position) and sets the scroll bar and the list's column widths.
void LayoutControls();

}  // namespace vellumora
