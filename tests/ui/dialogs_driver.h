#pragma once
// Drives a modal dialog of the calling thread from a second thread: the pickers and the About
// box are shown for real, and the driver always closes them, so no test waits forever.
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace vellumora::test {

inline std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

inline std::wstring TextOf(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

// The first dialog window (class #32770) of a thread, or null.
inline HWND FindDialogOf(DWORD thread) {
  HWND found = nullptr;
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM param) -> BOOL {
        if (ClassOf(window) != L"#32770") return TRUE;
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// Waits on another thread for the calling thread's next dialog, lets `act` work on it, and
// cancels it if it is still open a few seconds later.
class DialogDriver {
 public:
  explicit DialogDriver(std::function<void(HWND)> act)
      : owner_(GetCurrentThreadId()), thread_([this, act = std::move(act)] { Run(act); }) {}
  ~DialogDriver() {
    if (thread_.joinable()) thread_.join();
  }
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;
  void Join() { thread_.join(); }
  bool sawDialog() const { return sawDialog_; }
  bool neededCancel() const { return neededCancel_; }

 private:
  void Run(const std::function<void(HWND)>& act) {
    using Clock = std::chrono::steady_clock;
    HWND dialog = nullptr;
    // The dialog window exists before its controls are filled in; a modal dialog is shown only
    // once its initialisation is done, so it is driven from then on.
    for (const auto until = Clock::now() + std::chrono::seconds(30);
         !(dialog && IsWindowVisible(dialog)) && Clock::now() < until;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!dialog || !IsWindow(dialog)) dialog = FindDialogOf(owner_);
    }
    if (!dialog) return;
    sawDialog_ = true;
    act(dialog);
    for (const auto until = Clock::now() + std::chrono::seconds(5); IsWindow(dialog) && Clock::now() < until;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    while (IsWindow(dialog)) {
      neededCancel_ = true;
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  DWORD owner_;
  bool sawDialog_ = false;
  bool neededCancel_ = false;
  std::thread thread_;
};

// The common item dialog's own controls (comdlg32 ids).
inline constexpr int kFileNameEdit = 1152;
inline constexpr int kFileTypeCombo = 1136;

// Types a name into the dialog and presses its OK button.
inline std::function<void(HWND)> Choose(const std::wstring& typed) {
  return [typed](HWND dialog) {
    SendMessageW(GetDlgItem(dialog, kFileNameEdit), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()));
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  };
}

inline std::function<void(HWND)> Cancel() {
  return [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); };
}

}  // namespace vellumora::test
