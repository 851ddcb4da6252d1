#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "ui/window_state.h"

namespace vellumora {

inline constexpr wchar_t kMenuInstalledText[] = L"已啟用右鍵功能。Windows 11 請使用「顯示其他選項」。";
inline constexpr wchar_t kMenuRemovedText[] = L"已移除右鍵功能。";
inline constexpr wchar_t kFolderCueText[] = L"請選擇輸出資料夾";

// ---- Rules on plain state (no window needed).

// What the option controls hold, read back into settings.
struct OptionControlValues {
  bool autoConvert = false;
  bool recursive = false;
  bool recycle = false;
  bool silentQuick = false;
  int quality = 95;
  int formatIndex = 0;       // 1: PNG, anything else: JPG
  int destinationIndex = 0;  // 1: the chosen folder, anything else: beside the source
  std::wstring folder;
};
Settings SettingsFromControlValues(const OptionControlValues& values);

// After the settings changed with auto on: waiting rows that were not queued (or all waiting
// rows, when auto was just turned on) take the settings and are queued; waiting rows queued
// while auto was already on only get the folder filled in, and only when `fillMissingFolders`.
// Rows that are converting, done or failed are never touched. Does nothing with auto off.
void RetargetWaitingRows(std::vector<ListRow>& rows, const Settings& settings, bool previousAuto,
                         bool fillMissingFolders);

// Which context-menu buttons are enabled for a registration state (0, 1, 2).
struct ContextMenuButtons {
  bool installEnabled = false;
  bool removeEnabled = false;
};
ContextMenuButtons ContextMenuButtonsFor(int registrationState);

// ---- Control helpers.

void SetChecked(int id, bool checked);
bool IsChecked(int id);
std::wstring ReadWindowText(HWND window);

// Fills and selects one option control from the live settings right after it was created
// (combo items, trackbar range and position, the folder's cue banner). Other ids: nothing.
void InitOptionControl(int id);

// Reads every option control back into the live settings, saves them, and in auto mode
// re-targets the waiting rows; then starts the next conversion and refreshes the commands.
void ApplySettingsFromControls(bool fillMissingFolders);

// Enables the context-menu install/remove buttons from the registration state.
void RefreshContextMenuButtons();

// Routes WM_COMMAND (id, notification code) to its handler.
void OnCommand(int id, int code);

}  // namespace vellumora
