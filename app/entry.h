#pragma once
#include <windows.h>

namespace vellumora {

// The program: start-up, run mode, message loop, shut-down. Returns the exit code.
int AppMain(HINSTANCE instance, int showCommand);

}  // namespace vellumora
