#include "ui/drawing.h"

#include <string>
#include <utility>

#include "common/unique_handle.h"
#include "ui/control_ids.h"
#include "ui/window_state.h"

namespace vellumora {
namespace {

int Scale(int value) { return ScaleToDpi(value); }

HFONT MakeFont(int size, int weight) {
  return CreateFontW(-Scale(size), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Microsoft JhengHei UI");
}

// Selects a GDI object into a device context and puts the previous one back on every path.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;
  ~SelectedObject() {
    if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

void PaintText(HDC dc, int x, int y, const wchar_t* text) {
  TextOutW(dc, x, y, text, static_cast<int>(wcslen(text)));
}

}  // namespace

ButtonLook ButtonLookFor(int id, bool enabled, bool pressed) {
  const bool primary = id == IDC_START;
  ButtonLook look{};
  if (!enabled) {
    look.fill = palette::kDisabledFill;
  } else if (primary) {
    look.fill = pressed ? palette::kPrimaryPressedFill : palette::kPrimaryFill;
  } else {
    look.fill = pressed ? palette::kButtonPressedFill : palette::kButtonFill;
  }
  look.border = (enabled && primary) ? look.fill : palette::kButtonBorder;
  look.text = !enabled ? palette::kDisabledText : primary ? palette::kPrimaryText : palette::kButtonText;
  look.smallFont = id == IDC_MENU_INSTALL || id == IDC_MENU_REMOVE;
  return look;
}

void DeleteFonts() {
  MainWindowState& state = AppState();
  state.bodyFont = state.titleFont = state.headingFont = state.smallFont = nullptr;
  state.fontOwners = {};
}

void CreateFonts() {
  MainWindowState& state = AppState();
  MainWindowState::FontOwners& owners = state.fontOwners;
  // The old fonts are deleted only when this returns, after every control holds a new one.
  const MainWindowState::FontOwners old = std::move(owners);
  owners.body.reset(MakeFont(15, FW_NORMAL));
  owners.title.reset(MakeFont(29, FW_BOLD));
  owners.heading.reset(MakeFont(19, FW_BOLD));
  owners.small.reset(MakeFont(13, FW_NORMAL));
  state.bodyFont = static_cast<HFONT>(owners.body.get());
  state.titleFont = static_cast<HFONT>(owners.title.get());
  state.headingFont = static_cast<HFONT>(owners.heading.get());
  state.smallFont = static_cast<HFONT>(owners.small.get());
  for (const auto& [id, control] : state.controls) {
    if (control == nullptr) continue;
    HFONT font = id == IDC_STATUS ? state.smallFont : state.bodyFont;
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
}

void PaintMainWindow(HWND window) {
  const MainWindowState& state = AppState();
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  const ScopeExit endPaint([&] { EndPaint(window, &paint); });

  RECT client{};
  GetClientRect(window, &client);
  FillRect(dc, &client, state.backgroundBrush != nullptr ? state.backgroundBrush
                                                          : static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));

  SetViewportOrgEx(dc, 0, -state.scroll, nullptr);
  SetBkMode(dc, TRANSPARENT);

  {
    SelectedObject font(dc, state.titleFont);
    SetTextColor(dc, palette::kHeading);
    PaintText(dc, Scale(26), Scale(13), L"Vellumora Convert");
  }
  {
    SelectedObject font(dc, state.bodyFont);
    SetTextColor(dc, palette::kTagline);
    PaintText(dc, Scale(28), Scale(53), L"讓照片，隨處可用。  HEIC / HEIF → JPG / PNG");
  }

  const int right = state.rightPanelLeft;
  const int leftWidth = state.leftPanelWidth;
  const int height = state.leftPanelHeight;
  {
    UniqueGdiObject pen(CreatePen(PS_SOLID, 1, palette::kPanelBorder));
    SelectedObject usePen(dc, pen.get());
    SelectedObject useBrush(dc, state.panelBrush != nullptr ? static_cast<HGDIOBJ>(state.panelBrush)
                                                             : GetStockObject(WHITE_BRUSH));
    RoundRect(dc, Scale(24), Scale(88), Scale(24 + leftWidth), Scale(88 + height), Scale(20), Scale(20));
    RoundRect(dc, Scale(right), Scale(88), Scale(right + 326), Scale(88 + height), Scale(20), Scale(20));
  }  // the previous pen and brush are back before the pen is deleted

  {
    SelectedObject font(dc, state.headingFont);
    SetTextColor(dc, palette::kHeading);
    PaintText(dc, Scale(42), Scale(108), L"轉換清單");
    PaintText(dc, Scale(right + 18), Scale(108), L"輸出設定");
  }
}

HBRUSH ControlColors(HDC dc, HWND control) {
  const MainWindowState& state = AppState();
  SetTextColor(dc, palette::kControlText);
  SetBkColor(dc, palette::kPanel);
  const int id = GetDlgCtrlID(control);
  if (id == IDC_SUMMARY || id == IDC_SILENT) {
    SetBkColor(dc, palette::kPage);
    return state.backgroundBrush;
  }
  return state.panelBrush;
}

void DrawButton(const DRAWITEMSTRUCT& item) {
  const MainWindowState& state = AppState();
  HDC dc = item.hDC;
  const bool enabled = IsWindowEnabled(item.hwndItem) != FALSE;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  const ButtonLook look = ButtonLookFor(static_cast<int>(item.CtlID), enabled, pressed);

  {
    UniqueGdiObject brush(CreateSolidBrush(look.fill));
    UniqueGdiObject pen(CreatePen(PS_SOLID, 1, look.border));
    SelectedObject useBrush(dc, brush.get());
    SelectedObject usePen(dc, pen.get());
    RoundRect(dc, item.rcItem.left, item.rcItem.top, item.rcItem.right, item.rcItem.bottom, Scale(10), Scale(10));
  }  // deselected before deletion

  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, look.text);
  {
    SelectedObject font(dc, look.smallFont ? state.smallFont : state.bodyFont);
    const int length = GetWindowTextLengthW(item.hwndItem);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(item.hwndItem, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    RECT box = item.rcItem;
    DrawTextW(dc, text.c_str(), -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }

  if ((item.itemState & ODS_FOCUS) != 0) {
    RECT focus = item.rcItem;
    InflateRect(&focus, -4, -4);
    DrawFocusRect(dc, &focus);
  }
}

}  // namespace vellumora
