#pragma once
// Layout arithmetic of the main window. Every length is in 96-dpi units unless its name says
// pixels; these are plain functions so that the geometry can be checked without a window.
#include <array>

namespace vellumora {

// The content is never laid out shorter than this; a shorter client area scrolls.
inline constexpr int kMinContentHeight = 700;

// MulDiv(value, dpi, 96): rounded to the nearest pixel, halves away from zero.
int ScaleLength(int value, int dpi);

// Content size in units for a client area in pixels: W = width·96/dpi, H = max(height·96/dpi, 700).
struct ContentSize {
  int width = 0;
  int height = 0;
};
ContentSize ContentSizeFor(int clientWidthPixels, int clientHeightPixels, int dpi);

// Panel geometry that painting reads back.
struct PanelGeometry {
  int rightPanelLeft = 0;
  int leftPanelWidth = 0;
  int leftPanelHeight = 0;
};
PanelGeometry PanelGeometryFor(ContentSize content);

// One row of the placement table, in units.
struct ControlPlacement {
  int id = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};
inline constexpr int kPlacedControlCount = 25;
std::array<ControlPlacement, kPlacedControlCount> ControlPlacements(ContentSize content);

// A placement scaled to device pixels and shifted up by the scroll position.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};
PixelRect PlacementToPixels(const ControlPlacement& placement, int dpi, int scrollPixels);

// The window's vertical scroll bar: range 0..maxPos, page = client height, pos clamped.
struct VerticalScroll {
  int maxPos = 0;
  int page = 0;
  int pos = 0;
};
VerticalScroll VerticalScrollFor(ContentSize content, int dpi, int clientHeightPixels, int scrollPixels);

// Widths in pixels of the three list columns.
struct ListColumnWidths {
  int name = 0;
  int status = 0;
  int detail = 0;
};
ListColumnWidths ListColumnWidthsFor(ContentSize content, int dpi);

// The scroll position a scroll-bar command asks for (unclamped; the layout clamps it).
// `code` is the SB_* code; `page`, `maxPos` and `trackPos` come from the bar's SCROLLINFO.
int ScrollAfterCommand(int code, int scrollPixels, int page, int maxPos, int trackPos, int dpi);

// The scroll position after a mouse-wheel delta: one notch of +120 moves 60 units up.
int ScrollAfterWheel(int scrollPixels, int wheelDelta, int dpi);

// The smallest window the user may drag to, in pixels.
struct TrackSize {
  int width = 0;
  int height = 0;
};
TrackSize MinTrackSize(int dpi);

// The main window's first size in pixels: 1120 x 800 units, but never more than the work area
// (in pixels) less 24 units in either direction.
TrackSize InitialWindowSize(int dpi, int workAreaWidth, int workAreaHeight);

}  // namespace vellumora
