#include <windows.h>

#include "entry/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  return vellumora::AppMain(instance, showCommand);
}
