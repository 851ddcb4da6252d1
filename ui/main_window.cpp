#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>
#include <windowsx.h>

#include <exception>

#include "app/background_jobs.h"
#include "common/text.h"
#include "ui/control_ids.h"
#include "ui/drawing.h"
#include "ui/file_list.h"
#include "ui/layout.h"
#include "ui/options_panel.h"
#include "ui/run_control.h"
#include "ui/window_state.h"

namespace vellumora {

namespace {

HWND CreateChildControl(const wchar_t* className, const wchar_t* text, DWORD style, int id) {
  auto& state = AppState();
  HWND control = CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, state.window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), state.instance, nullptr);
  state.controls[id] = control;
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(state.bodyFont), TRUE);
  SetWindowTheme(control, L"Explorer", nullptr);
  return control;
}

void UseSmallFont(HWND control) {
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(AppState().smallFont), TRUE);
}

// Every child control, in Tab order, each set up right after it exists (the option
// controls are filled from the settings by the options panel).
void CreateControls() {
  constexpr DWORD push = WS_TABSTOP | BS_OWNERDRAW;
  constexpr DWORD check = WS_TABSTOP | BS_AUTOCHECKBOX;

  CreateChildControl(L"BUTTON", L"＋ 選擇檔案", push, IDC_ADD_FILES);
  CreateChildControl(L"BUTTON", L"＋ 選擇資料夾", push, IDC_ADD_FOLDER);
  CreateChildControl(L"BUTTON", L"清空", push, IDC_CLEAR);
  CreateChildControl(L"BUTTON", L"加入資料夾時包含子資料夾", check, IDC_RECURSIVE);
  InitOptionControl(IDC_RECURSIVE);
  // An owner-data list: the rows vector is the only copy of the texts, and thousands of rows
  // are listed by setting the item count (inserting 5,000 items kept the window from answering
  // for about 2 s).
  SetUpFileList(
      CreateChildControl(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_OWNERDATA, IDC_LIST));
  UseSmallFont(CreateChildControl(L"EDIT", L"選取清單項目可查看完整路徑；完成後雙擊可開啟輸出資料夾。",
                                  ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_VSCROLL, IDC_STATUS));
  CreateChildControl(L"STATIC", L"圖片格式", 0, IDC_FORMAT_LABEL);

  CreateChildControl(L"ComboBox", L"", WS_TABSTOP | CBS_DROPDOWNLIST, IDC_FORMAT);
  InitOptionControl(IDC_FORMAT);
  CreateChildControl(L"STATIC", L"JPG 品質", 0, IDC_QUALITY_LABEL);
  CreateChildControl(TRACKBAR_CLASSW, L"", WS_TABSTOP | TBS_NOTICKS, IDC_QUALITY);
  InitOptionControl(IDC_QUALITY);
  UseSmallFont(CreateChildControl(L"STATIC", L"預設 95 · 4:4:4 色彩取樣\nPNG 保留解碼後像素", 0, IDC_QUALITY_HINT));
  CreateChildControl(L"STATIC", L"儲存位置", 0, IDC_DESTINATION_LABEL);

  CreateChildControl(L"ComboBox", L"", WS_TABSTOP | CBS_DROPDOWNLIST, IDC_DESTINATION);
  InitOptionControl(IDC_DESTINATION);
  CreateChildControl(L"EDIT", L"", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, IDC_FOLDER);
  InitOptionControl(IDC_FOLDER);
  CreateChildControl(L"BUTTON", L"選擇輸出位置…", push, IDC_BROWSE_FOLDER);
  UseSmallFont(CreateChildControl(L"STATIC", L"✓ 保留 EXIF、ICC 與 XMP\n✓ 驗證成功後才回收原檔", 0, IDC_GUARANTEE_NOTE));
  CreateChildControl(L"BUTTON", L"成功後將原檔移至資源回收筒", check, IDC_RECYCLE);
  InitOptionControl(IDC_RECYCLE);
  CreateChildControl(L"BUTTON", L"全自動轉換（加入即轉換）", check, IDC_AUTO);
  InitOptionControl(IDC_AUTO);
  CreateChildControl(L"BUTTON", L"靜默執行", check, IDC_SILENT);
  InitOptionControl(IDC_SILENT);
  CreateChildControl(L"BUTTON", L"開始轉換", push, IDC_START);
  CreateChildControl(L"BUTTON", L"停止", push, IDC_STOP);
  CreateChildControl(L"BUTTON", L"啟用檔案總管右鍵功能", push, IDC_MENU_INSTALL);
  CreateChildControl(L"BUTTON", L"移除功能", push, IDC_MENU_REMOVE);
  CreateChildControl(L"BUTTON", L"關於程式", push, IDC_ABOUT);
  UseSmallFont(CreateChildControl(L"STATIC", L"", 0, IDC_SUMMARY));
}

LRESULT OnCreate(HWND window) {
  auto& state = AppState();
  state.window = window;
  state.dpi = static_cast<int>(GetDpiForWindow(window));
  if (state.dpi <= 0) state.dpi = 96;
  state.creating = true;
  CreateFonts();
  CreateControls();
  state.creating = false;
  RefreshContextMenuButtons();
  RefreshCommandState();
  LayoutControls();
  DragAcceptFiles(window, TRUE);
  return 0;
}

void OnVerticalScroll(HWND window, WPARAM wParam) {
  auto& state = AppState();
  SCROLLINFO info{};
  info.cbSize = sizeof(info);
  info.fMask = SIF_ALL;
  GetScrollInfo(window, SB_VERT, &info);
  state.scroll = ScrollAfterCommand(LOWORD(wParam), state.scroll, static_cast<int>(info.nPage), info.nMax,
                                    info.nTrackPos, state.dpi);
  LayoutControls();
}

void OnDpiChanged(HWND window, WPARAM wParam, const RECT* suggested) {
  auto& state = AppState();
  state.dpi = HIWORD(wParam);
  CreateFonts();
  if (suggested) {
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER);
  }
  LayoutControls();
}

void OnClose(HWND window) {
  const auto& state = AppState();
  if (state.converting || state.pendingScans > 0) {
    SetStatusText(kCloseRefusedText);  // a worker would post into a window that is gone
    return;
  }
  DestroyWindow(window);
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto& state = AppState();
  switch (message) {
    case WM_CREATE:
      return OnCreate(window);
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      // The children are gone: nothing may reach them through the state any more.
      state.controls.clear();
      state.window = nullptr;
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) LayoutControls();
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) RefreshContextMenuButtons();
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_PAINT:
      PaintMainWindow(window);
      return 0;
    case WM_CLOSE:
      OnClose(window);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT fills the background
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      const TrackSize minimum = MinTrackSize(state.dpi);
      info->ptMinTrackSize = POINT{minimum.width, minimum.height};
      return 0;
    }
    case WM_DRAWITEM:
      DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_COPYDATA:
      return OnCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header && header->idFrom == IDC_LIST) return OnListNotify(header);
      return DefWindowProcW(window, message, wParam, lParam);
    }
    case WM_COMMAND:
      if (!state.creating) OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_HSCROLL:
      if (lParam != 0 && reinterpret_cast<HWND>(lParam) == GetControl(IDC_QUALITY)) ApplySettingsFromControls(true);
      return 0;
    case WM_VSCROLL:
      if (lParam != 0) return DefWindowProcW(window, message, wParam, lParam);
      OnVerticalScroll(window, wParam);
      return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<LRESULT>(ControlColors(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_MOUSEWHEEL:
      state.scroll = ScrollAfterWheel(state.scroll, GET_WHEEL_DELTA_WPARAM(wParam), state.dpi);
      LayoutControls();
      return 0;
    case WM_DROPFILES:
      HandleDroppedFiles(reinterpret_cast<HDROP>(wParam));
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(window, wParam, reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_APP_SCAN_DONE:
      OnScanDone(reinterpret_cast<ScanResult*>(lParam));
      return 0;
    case WM_APP_CONVERT_DONE:
      OnConvertDone(reinterpret_cast<ConversionResult*>(lParam));
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

void LayoutControls() {
  auto& state = AppState();
  HWND window = state.window;
  if (!window) return;
  RECT client{};
  GetClientRect(window, &client);
  ContentSize content = ContentSizeFor(client.right, client.bottom, state.dpi);

  const VerticalScroll bar = VerticalScrollFor(content, state.dpi, client.bottom, state.scroll);
  state.scroll = bar.pos;
  SCROLLINFO info{};
  info.cbSize = sizeof(info);
  info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  info.nMin = 0;
  info.nMax = bar.maxPos;
  info.nPage = static_cast<UINT>(bar.page);
  info.nPos = bar.pos;
  SetScrollInfo(window, SB_VERT, &info, TRUE);
  // Showing or hiding the bar changes the client width (and lays out again from WM_SIZE):
  // place the controls for the width that is left now.
  GetClientRect(window, &client);
  content.width = ContentSizeFor(client.right, client.bottom, state.dpi).width;

  const PanelGeometry panels = PanelGeometryFor(content);
  state.rightPanelLeft = panels.rightPanelLeft;
  state.leftPanelWidth = panels.leftPanelWidth;
  state.leftPanelHeight = panels.leftPanelHeight;

  for (const ControlPlacement& placement : ControlPlacements(content)) {
    HWND control = GetControl(placement.id);
    if (!control) continue;
    const PixelRect rect = PlacementToPixels(placement, state.dpi, state.scroll);
    MoveWindow(control, rect.x, rect.y, rect.width, rect.height, TRUE);
  }

  const ListColumnWidths columns = ListColumnWidthsFor(content, state.dpi);
  HWND list = GetControl(IDC_LIST);
  const int widths[] = {columns.name, columns.status, columns.detail};
  for (int i = 0; i < 3; ++i) {
    SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(i), MAKELPARAM(static_cast<WORD>(widths[i]), 0));
  }
  InvalidateRect(window, nullptr, TRUE);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return HandleMessage(window, message, wParam, lParam);
  } catch (const std::exception& e) {
    // No exception may unwind into the system's message dispatch: the failure becomes the
    // status box's text and the message gets its default handling.
    SetStatusText(ToUtf16(e.what()));
    return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace vellumora
