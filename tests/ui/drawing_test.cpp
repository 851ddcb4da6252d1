// Drawing without a display: owner-drawn buttons rendered into a memory bitmap, the control
// colours and the fonts of the real window.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "ui/control_ids.h"
#include "ui/drawing.h"
#include "window_test_support.h"

namespace vellumora {
namespace {

using test::TestWindow;

constexpr COLORREF kUntouched = RGB(255, 0, 255);  // what the bitmap holds where nothing was drawn

// A 32-bit top-down bitmap selected into a memory DC, pre-filled with kUntouched.
class Canvas {
 public:
  Canvas(int width, int height) : width_(width), height_(height), dc_(CreateCompatibleDC(nullptr)) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_.reset(CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    bits_ = static_cast<std::uint32_t*>(bits);
    previous_ = SelectObject(dc_, bitmap_.get());
    for (int i = 0; i < width * height; ++i) bits_[i] = 0xFF00FF;
  }
  ~Canvas() {
    SelectObject(dc_, previous_);
    DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return dc_; }
  COLORREF At(int x, int y) const {
    GdiFlush();
    const std::uint32_t v = bits_[y * width_ + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
  int Count(COLORREF colour, RECT area) const {
    int n = 0;
    for (int y = area.top; y < area.bottom; ++y) {
      for (int x = area.left; x < area.right; ++x) n += At(x, y) == colour ? 1 : 0;
    }
    return n;
  }

 private:
  int width_, height_;
  HDC dc_;
  UniqueGdiObject bitmap_;
  std::uint32_t* bits_ = nullptr;
  HGDIOBJ previous_ = nullptr;
};

struct Rendered {
  COLORREF fill, border, corner;
  int textPixels;          // pixels of exactly the text colour
  bool focusLineAtInset4;  // something drawn on the column 4 pixels in from the left edge
  bool anythingAtInset3;   // ... and on the column 3 in (should stay fill)
};

// Draws control `id` as WM_DRAWITEM would, into a 160 x 40 bitmap.
Rendered Render(int id, UINT itemState, COLORREF text) {
  constexpr int kW = 160, kH = 40;
  Canvas canvas(kW, kH);
  DRAWITEMSTRUCT item{};
  item.CtlType = ODT_BUTTON;
  item.CtlID = static_cast<UINT>(id);
  item.itemAction = ODA_DRAWENTIRE;
  item.itemState = itemState;
  item.hwndItem = GetControl(id);
  item.hDC = canvas.dc();
  item.rcItem = RECT{0, 0, kW, kH};
  DrawButton(item);

  Rendered r{};
  r.fill = canvas.At(6, kH / 2);
  r.border = canvas.At(0, kH / 2);
  r.corner = canvas.At(0, 0);
  r.textPixels = canvas.Count(text, RECT{8, 6, kW - 8, kH - 6});
  for (int y = 8; y < kH - 8; ++y) {
    if (canvas.At(4, y) != r.fill) r.focusLineAtInset4 = true;
    if (canvas.At(3, y) != r.fill) r.anythingAtInset3 = true;
  }
  return r;
}

TEST(Drawing, OwnerDrawnButtonsPaintFillBorderTextAndFocus) {
  TestWindow window;
  ASSERT_TRUE(window.hwnd());
  EnableWindow(GetControl(IDC_START), TRUE);
  EnableWindow(GetControl(IDC_STOP), FALSE);

  for (const int dpi : {96, 144}) {
    SCOPED_TRACE(dpi);
    AppState().dpi = dpi;
    const Rendered pressed = Render(IDC_START, ODS_SELECTED, palette::kPrimaryText);
    EXPECT_EQ(pressed.fill, palette::kPrimaryPressedFill);
    EXPECT_EQ(pressed.border, palette::kPrimaryPressedFill);
    EXPECT_EQ(pressed.corner, kUntouched);  // rounded: the corner pixel is left alone
    EXPECT_GT(pressed.textPixels, 0);
    EXPECT_FALSE(pressed.focusLineAtInset4);

    const Rendered disabled = Render(IDC_STOP, ODS_DISABLED, palette::kDisabledText);
    EXPECT_EQ(disabled.fill, palette::kDisabledFill);
    EXPECT_EQ(disabled.border, palette::kButtonBorder);
    EXPECT_GT(disabled.textPixels, 0);

    // The focus rectangle sits 4 device pixels inside the edge, whatever the dpi.
    const Rendered focused = Render(IDC_CLEAR, ODS_FOCUS, palette::kButtonText);
    EXPECT_EQ(focused.fill, palette::kButtonFill);
    EXPECT_EQ(focused.border, palette::kButtonBorder);
    EXPECT_TRUE(focused.focusLineAtInset4);
    EXPECT_FALSE(focused.anythingAtInset3);
  }
  AppState().dpi = 96;
}

TEST(Drawing, ControlsOnThePageGetThePageColourAndTheRestWhite) {
  TestWindow window;
  Canvas canvas(4, 4);
  auto& state = AppState();
  for (const int id : {IDC_SILENT, IDC_SUMMARY}) {
    EXPECT_EQ(ControlColors(canvas.dc(), GetControl(id)), state.backgroundBrush) << id;
    EXPECT_EQ(GetBkColor(canvas.dc()), palette::kPage) << id;
    EXPECT_EQ(GetTextColor(canvas.dc()), palette::kControlText) << id;
  }
  for (const int id : {IDC_RECYCLE, IDC_FOLDER, IDC_STATUS, IDC_FORMAT_LABEL, IDC_GUARANTEE_NOTE}) {
    EXPECT_EQ(ControlColors(canvas.dc(), GetControl(id)), state.panelBrush) << id;
    EXPECT_EQ(GetBkColor(canvas.dc()), palette::kPanel) << id;
    EXPECT_EQ(GetTextColor(canvas.dc()), palette::kControlText) << id;
  }
}

LOGFONTW FontInfo(HFONT font) {
  LOGFONTW info{};
  GetObjectW(font, sizeof info, &info);
  return info;
}

TEST(Drawing, FontsAreMadeForTheDpiAndReplacedWithoutLeaks) {
  TestWindow window;
  auto& state = AppState();
  struct Expected {
    HFONT MainWindowState::*font;
    int size;
    int weight;
  };
  const Expected fonts[] = {{&MainWindowState::bodyFont, 15, FW_NORMAL},
                            {&MainWindowState::titleFont, 29, FW_BOLD},
                            {&MainWindowState::headingFont, 19, FW_BOLD},
                            {&MainWindowState::smallFont, 13, FW_NORMAL}};
  for (const int dpi : {96, 144, 120}) {
    SCOPED_TRACE(dpi);
    std::vector<HFONT> old;
    for (const Expected& e : fonts) old.push_back(state.*e.font);
    state.dpi = dpi;
    CreateFonts();
    for (size_t i = 0; i < 4; ++i) {
      const LOGFONTW info = FontInfo(state.*fonts[i].font);
      EXPECT_EQ(info.lfHeight, -MulDiv(fonts[i].size, dpi, 96)) << i;
      EXPECT_EQ(info.lfWeight, fonts[i].weight) << i;
      EXPECT_EQ(std::wstring(info.lfFaceName), L"Microsoft JhengHei UI") << i;
      EXPECT_EQ(info.lfQuality, CLEARTYPE_QUALITY) << i;
      EXPECT_EQ(info.lfCharSet, DEFAULT_CHARSET) << i;
      EXPECT_FALSE(info.lfItalic || info.lfUnderline || info.lfStrikeOut) << i;
      EXPECT_EQ(GetObjectType(old[i]), 0u) << "the previous font was not deleted: " << i;
    }
    auto fontOf = [](int id) { return reinterpret_cast<HFONT>(SendMessageW(GetControl(id), WM_GETFONT, 0, 0)); };
    EXPECT_EQ(fontOf(IDC_STATUS), state.smallFont);
    for (const int id : {IDC_LIST, IDC_QUALITY_HINT, IDC_SUMMARY, IDC_MENU_INSTALL}) EXPECT_EQ(fontOf(id), state.bodyFont) << id;
  }
}

}  // namespace
}  // namespace vellumora
