#pragma once
#include <windows.h>

namespace vellumora {

// (Re)creates the four fonts for the current dpi and hands them to every control.
void CreateFonts();
// WM_PAINT: page, title, tagline, panels and headings.
void PaintMainWindow(HWND window);
// WM_CTLCOLOREDIT / WM_CTLCOLORBTN / WM_CTLCOLORSTATIC: colours and background brush.
HBRUSH ControlColors(HDC dc, HWND control);
// WM_DRAWITEM for the owner-drawn push buttons.
void DrawButton(const DRAWITEMSTRUCT& item);

}  // namespace vellumora
