#pragma once
#include <windows.h>

namespace vellumora {

// The window's fixed light palette.
namespace palette {
inline constexpr COLORREF kPage = RGB(244, 247, 251);
inline constexpr COLORREF kPanel = RGB(255, 255, 255);
inline constexpr COLORREF kPanelBorder = RGB(217, 226, 238);
inline constexpr COLORREF kHeading = RGB(24, 53, 84);
inline constexpr COLORREF kTagline = RGB(99, 119, 144);
inline constexpr COLORREF kControlText = RGB(38, 64, 93);
inline constexpr COLORREF kListText = RGB(27, 49, 73);
inline constexpr COLORREF kPrimaryFill = RGB(39, 100, 173);
inline constexpr COLORREF kPrimaryPressedFill = RGB(28, 77, 135);
inline constexpr COLORREF kButtonFill = RGB(255, 255, 255);
inline constexpr COLORREF kButtonPressedFill = RGB(231, 240, 251);
inline constexpr COLORREF kDisabledFill = RGB(237, 241, 246);
inline constexpr COLORREF kButtonBorder = RGB(207, 219, 233);
inline constexpr COLORREF kPrimaryText = RGB(255, 255, 255);
inline constexpr COLORREF kButtonText = RGB(28, 58, 90);
inline constexpr COLORREF kDisabledText = RGB(143, 157, 175);
}  // namespace palette

// The look of one owner-drawn button, decided from its id and state alone.
struct ButtonLook {
  COLORREF fill;
  COLORREF border;
  COLORREF text;
  bool smallFont;  // the context-menu buttons use the small font
};
ButtonLook ButtonLookFor(int id, bool enabled, bool pressed);

// (Re)creates the four fonts for the current dpi and hands them to every control.
void CreateFonts();
// Deletes the four fonts (at exit, or before making new ones).
void DeleteFonts();
// WM_PAINT: page, title, tagline, panels and headings.
void PaintMainWindow(HWND window);
// WM_CTLCOLOREDIT / WM_CTLCOLORBTN / WM_CTLCOLORSTATIC: colours and background brush.
HBRUSH ControlColors(HDC dc, HWND control);
// WM_DRAWITEM for the owner-drawn push buttons.
void DrawButton(const DRAWITEMSTRUCT& item);

}  // namespace vellumora
