// Clicks one button of the running program's window and then closes the window, as a user would:
// the release test's way to let the installed program register its Explorer verbs itself.
//   vellumora_press_button.exe CONTROL_ID     (waits up to 30 s for the window)
// Exit codes: 0 pressed and closed; 2 no window; 3 no such button; 64 bad arguments.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

BOOL CALLBACK FindProgramWindow(HWND window, LPARAM found) {
  wchar_t className[256] = {};
  GetClassNameW(window, className, 256);
  // The program names its window class after its single-instance key: "Vellumora.Native.<hash>".
  constexpr wchar_t kPrefix[] = L"Vellumora.Native.";
  if (wcsncmp(className, kPrefix, wcslen(kPrefix)) != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  const int id = std::atoi(argv[1]);
  // The window counts once it is shown: by then its controls exist and its message loop runs.
  HWND window = nullptr;
  for (int i = 0; i < 300 && !(window && IsWindowVisible(window)); ++i) {
    window = nullptr;
    EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&window));
    if (!(window && IsWindowVisible(window))) Sleep(100);
  }
  if (!window) return 2;
  HWND button = GetDlgItem(window, id);
  if (!button) return 3;
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  SendMessageW(window, WM_CLOSE, 0, 0);
  return 0;
}
