#include "ui/layout.h"

#include <windows.h>

#include <algorithm>

#include "ui/control_ids.h"

namespace vellumora {

int ScaleLength(int value, int dpi) { return MulDiv(value, dpi, 96); }

ContentSize ContentSizeFor(int clientWidthPixels, int clientHeightPixels, int dpi) {
  const int width = MulDiv(clientWidthPixels, 96, dpi);
  const int height = MulDiv(clientHeightPixels, 96, dpi);
  return {width, std::max(height, kMinContentHeight)};
}

PanelGeometry PanelGeometryFor(ContentSize content) {
  return {content.width - 350, content.width - 392, content.height - 146};
}

std::array<ControlPlacement, kPlacedControlCount> ControlPlacements(ContentSize content) {
  const int W = content.width;
  const int H = content.height;
  const int d = (W - 444) / 3;  // the three buttons above the list share the width
  const int c = W - 332;        // left edge of the right column
  return {{
      {IDC_ADD_FILES, 42, 143, d, 34},
      {IDC_ADD_FOLDER, d + 50, 143, d, 34},
      {IDC_CLEAR, 2 * d + 58, 143, d, 34},
      {IDC_RECURSIVE, 42, 187, W - 428, 26},
      {IDC_LIST, 42, 222, W - 428, H - 372},
      {IDC_STATUS, 42, H - 138, W - 428, 50},
      {IDC_FORMAT_LABEL, c, 134, 290, 20},
      {IDC_FORMAT, c, 157, 290, 180},  // combo heights are their dropped-down lists
      {IDC_QUALITY_LABEL, c, 190, 290, 22},
      {IDC_QUALITY, c, 215, 290, 24},
      // The two-line hint and note get the full height down to the next control: 30 and 32
      // units clip the second line of 13-pixel text.
      {IDC_QUALITY_HINT, c, 242, 290, 40},
      {IDC_DESTINATION_LABEL, c, 284, 290, 22},
      {IDC_DESTINATION, c, 309, 290, 180},
      {IDC_FOLDER, c, 343, 290, 28},
      {IDC_BROWSE_FOLDER, c, 378, 290, 32},
      {IDC_GUARANTEE_NOTE, c, 419, 290, 37},
      {IDC_RECYCLE, c, 456, 290, 24},
      {IDC_AUTO, c, 486, 290, 24},
      {IDC_ABOUT, W - 132, 18, 108, 32},
      {IDC_START, c, H - 106, 200, 40},
      {IDC_STOP, W - 124, H - 106, 82, 40},
      {IDC_MENU_INSTALL, W - 404, H - 42, 186, 28},
      {IDC_MENU_REMOVE, W - 210, H - 42, 82, 28},
      {IDC_SILENT, W - 120, H - 40, 96, 24},
      {IDC_SUMMARY, 24, H - 39, W - 444, 24},
  }};
}

PixelRect PlacementToPixels(const ControlPlacement& placement, int dpi, int scrollPixels) {
  // A window may never be narrower than one unit, even when the client area is tiny.
  return {ScaleLength(placement.x, dpi), ScaleLength(placement.y, dpi) - scrollPixels,
          ScaleLength(std::max(placement.width, 1), dpi), ScaleLength(placement.height, dpi)};
}

VerticalScroll VerticalScrollFor(ContentSize content, int dpi, int clientHeightPixels, int scrollPixels) {
  const int contentPixels = ScaleLength(content.height, dpi);
  const int maxScroll = std::max(0, contentPixels - clientHeightPixels);
  return {contentPixels - 1, clientHeightPixels, std::clamp(scrollPixels, 0, maxScroll)};
}

ListColumnWidths ListColumnWidthsFor(ContentSize content, int dpi) {
  const int listWidth = ScaleLength(content.width - 428, dpi);
  const int name = listWidth * 32 / 100;
  return {name, ScaleLength(86, dpi), listWidth - (name + ScaleLength(94, dpi))};
}

int ScrollAfterCommand(int code, int scrollPixels, int page, int maxPos, int trackPos, int dpi) {
  switch (code) {
    case SB_LINEUP: return scrollPixels - ScaleLength(36, dpi);
    case SB_LINEDOWN: return scrollPixels + ScaleLength(36, dpi);
    case SB_PAGEUP: return scrollPixels - page;
    case SB_PAGEDOWN: return scrollPixels + page;
    case SB_THUMBTRACK: return trackPos;
    case SB_TOP: return 0;
    case SB_BOTTOM: return maxPos;
    default: return scrollPixels;
  }
}

int ScrollAfterWheel(int scrollPixels, int wheelDelta, int dpi) {
  // Multiply first, then divide, truncating toward zero: +120 moves 60 units towards the top.
  return scrollPixels + ScaleLength(60, dpi) * wheelDelta / -120;
}

TrackSize MinTrackSize(int dpi) { return {ScaleLength(900, dpi), ScaleLength(480, dpi)}; }

TrackSize InitialWindowSize(int dpi, int workAreaWidth, int workAreaHeight) {
  const int margin = ScaleLength(24, dpi);
  return {std::min(ScaleLength(1120, dpi), workAreaWidth - margin),
          std::min(ScaleLength(800, dpi), workAreaHeight - margin)};
}

}  // namespace vellumora
