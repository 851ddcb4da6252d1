#pragma once
#include <windows.h>

namespace vellumora {

// The program: start-up, the choice of run mode (the uninstaller's clean-up, the Explorer
// verbs' server, a silent batch, or the window), the message loop and shut-down. Returns the
// exit code. The only code above the window: it may include every other part of the program.
int AppMain(HINSTANCE instance, int showCommand);

}  // namespace vellumora
