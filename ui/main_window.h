#pragma once
#include <windows.h>

namespace vellumora {

// The main window's procedure; the entry registers it under the instance name.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace vellumora
