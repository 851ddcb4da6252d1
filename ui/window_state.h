#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/settings.h"
#include "common/unique_handle.h"

namespace vellumora {

enum class RowStatus : std::int32_t { Waiting = 0, Converting = 1, Done = 2, Failed = 3 };

// One source photograph in the file list; the row index equals the list-view item index.
struct ListRow {
  std::wstring source;
  std::wstring output;
  RowStatus status = RowStatus::Waiting;
  std::wstring message;  // the conversion's error, else its warning
  RowOptions options;
  bool queued = false;   // to be converted when its turn comes
};

inline constexpr wchar_t kInitialSummary[] = L"拖曳 HEIC／HEIF 照片或資料夾開始使用";

// The window's state, owned by the UI thread. Everything the rules need is plain data here,
// so that the rules can be exercised without a window.
struct MainWindowState {
  int dpi = 96;
  std::map<int, HWND> controls;
  Settings settings;
  std::vector<ListRow> rows;
  std::wstring summary = kInitialSummary;
  HINSTANCE instance = nullptr;
  HBRUSH backgroundBrush = nullptr;
  HBRUSH panelBrush = nullptr;
  HWND window = nullptr;
  int scroll = 0;
  HFONT titleFont = nullptr;
  HFONT bodyFont = nullptr;
  HFONT headingFont = nullptr;
  HFONT smallFont = nullptr;
  struct FontOwners {  // the four fonts above, deleted with their owners (drawing's CreateFonts)
    UniqueGdiObject body, title, heading, small;
  } fontOwners;
  int leftPanelWidth = 0;
  int leftPanelHeight = 0;
  int rightPanelLeft = 0;
  bool creating = false;
  bool converting = false;
  int pendingScans = 0;
  bool stopRequested = false;
};

// The process-wide window state.
MainWindowState& AppState();

// The child control created under `id`, or null when none was.
HWND GetControl(int id);

// A length in 96-dpi units at the window's current dpi: MulDiv(value, dpi, 96).
int ScaleToDpi(int value);

// Puts a text into the status box (IDC_STATUS) when that control exists.
void SetStatusText(const std::wstring& text);

}  // namespace vellumora
