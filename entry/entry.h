#pragma once
#include <windows.h>

#include <algorithm>

namespace vellumora {

// The program: start-up, run mode, message loop, shut-down. Returns the exit code.
int AppMain(HINSTANCE instance, int showCommand);

// The main window's first size: 1120 x 800 device-independent pixels, but never more than
// the work area less 24 device-independent pixels in either direction.
inline SIZE InitialWindowSize(int dpi, const RECT& workArea) {
  const int margin = MulDiv(24, dpi, 96);
  return SIZE{std::min(MulDiv(1120, dpi, 96), static_cast<int>(workArea.right - workArea.left) - margin),
              std::min(MulDiv(800, dpi, 96), static_cast<int>(workArea.bottom - workArea.top) - margin)};
}

}  // namespace vellumora
