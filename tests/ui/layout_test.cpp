// Layout arithmetic of the main window at 96 and 144 dpi, its first size, scrolling and the wheel.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "ui/control_ids.h"
#include "ui/layout.h"

namespace vellumora {
namespace {

ControlPlacement Placement(ContentSize content, int id) {
  const auto all = ControlPlacements(content);
  const auto found = std::find_if(all.begin(), all.end(), [id](const ControlPlacement& p) { return p.id == id; });
  EXPECT_NE(found, all.end()) << id;
  return found == all.end() ? ControlPlacement{} : *found;
}

void ExpectPlacement(const ControlPlacement& p, int x, int y, int w, int h) {
  EXPECT_EQ(p.x, x) << p.id;
  EXPECT_EQ(p.y, y) << p.id;
  EXPECT_EQ(p.width, w) << p.id;
  EXPECT_EQ(p.height, h) << p.id;
}

TEST(Layout, ContentIsNeverShorterThan700UnitsAndIsMeasuredIn96DpiUnits) {
  EXPECT_EQ(ContentSizeFor(1104, 761, 96).width, 1104);
  EXPECT_EQ(ContentSizeFor(1104, 761, 96).height, 761);
  EXPECT_EQ(ContentSizeFor(1104, 500, 96).height, 700);
  // 144 dpi: the same window in units.
  EXPECT_EQ(ContentSizeFor(1656, 1142, 144).width, 1104);
  EXPECT_EQ(ContentSizeFor(1656, 1142, 144).height, 761);  // 761.33 rounds down
  EXPECT_EQ(ContentSizeFor(1656, 900, 144).height, 700);
}

TEST(Layout, PlacementTableAtAFullSizeWindow) {
  const ContentSize content{1104, 761};
  // The three buttons above the list share W - 444 units.
  ExpectPlacement(Placement(content, IDC_ADD_FILES), 42, 143, 220, 34);
  ExpectPlacement(Placement(content, IDC_CLEAR), 498, 143, 220, 34);
  ExpectPlacement(Placement(content, IDC_LIST), 42, 222, 676, 389);
  ExpectPlacement(Placement(content, IDC_STATUS), 42, 623, 676, 50);
  ExpectPlacement(Placement(content, IDC_ABOUT), 972, 18, 108, 32);
  ExpectPlacement(Placement(content, IDC_START), 772, 655, 200, 40);
  ExpectPlacement(Placement(content, IDC_STOP), 980, 655, 82, 40);
  ExpectPlacement(Placement(content, IDC_MENU_INSTALL), 700, 719, 186, 28);
  ExpectPlacement(Placement(content, IDC_SILENT), 984, 721, 96, 24);
  ExpectPlacement(Placement(content, IDC_SUMMARY), 24, 722, 660, 24);

  const PanelGeometry panels = PanelGeometryFor(content);
  EXPECT_EQ(panels.rightPanelLeft, 754);
  EXPECT_EQ(panels.leftPanelWidth, 712);
  EXPECT_EQ(panels.leftPanelHeight, 615);
}

TEST(Layout, NarrowWindowsTruncateTheButtonWidthTowardZeroAndNeverPlaceZeroWidths) {
  // (440 - 444) / 3 truncates to -1, and a width below 2 becomes 1 unit.
  const ControlPlacement files = Placement({440, 700}, IDC_ADD_FILES);
  EXPECT_EQ(files.width, -1);
  EXPECT_EQ(PlacementToPixels(files, 96, 0).width, 1);
  EXPECT_EQ(PlacementToPixels(files, 144, 0).width, 2);  // MulDiv(1, 144, 96) = 1.5 rounds up
  EXPECT_EQ(Placement({440, 700}, IDC_CLEAR).x, 56);
}

TEST(Layout, At144DpiEveryCoordinateIsScaledByOneAndAHalfWithRounding) {
  const ContentSize content{1104, 761};
  const PixelRect list = PlacementToPixels(Placement(content, IDC_LIST), 144, 0);
  EXPECT_EQ(list.x, 63);
  EXPECT_EQ(list.y, 333);
  EXPECT_EQ(list.width, 1014);
  EXPECT_EQ(list.height, 584);  // 389 * 1.5 = 583.5 rounds up
  const PixelRect hint = PlacementToPixels(Placement(content, IDC_QUALITY_HINT), 144, 0);
  EXPECT_EQ(hint.x, 1158);
  EXPECT_EQ(hint.y, 363);
  EXPECT_EQ(hint.height, 60);
  // Both two-line labels reach down to, and not into, the control below them.
  const auto bottom = [&](int id) {
    const ControlPlacement p = Placement(content, id);
    return p.y + p.height;
  };
  EXPECT_LE(bottom(IDC_QUALITY_HINT), Placement(content, IDC_DESTINATION_LABEL).y);
  EXPECT_GE(bottom(IDC_QUALITY_HINT), 242 + 2 * 19);
  EXPECT_LE(bottom(IDC_GUARANTEE_NOTE), Placement(content, IDC_RECYCLE).y);
  EXPECT_GE(bottom(IDC_GUARANTEE_NOTE), 419 + 2 * 18);
  // The scroll position is in pixels and is subtracted after scaling.
  EXPECT_EQ(PlacementToPixels(Placement(content, IDC_LIST), 144, 100).y, 233);
  EXPECT_EQ(ScaleLength(43, 144), 65);
  EXPECT_EQ(MinTrackSize(96).width, 900);
  EXPECT_EQ(MinTrackSize(96).height, 480);
  EXPECT_EQ(MinTrackSize(144).width, 1350);
  EXPECT_EQ(MinTrackSize(144).height, 720);
}

TEST(Layout, ListColumnsShareTheListWidth) {
  const ListColumnWidths at96 = ListColumnWidthsFor({1104, 761}, 96);
  EXPECT_EQ(at96.name, 216);  // 676 * 32 / 100 = 216.32
  EXPECT_EQ(at96.status, 86);
  EXPECT_EQ(at96.detail, 366);
  const ListColumnWidths at144 = ListColumnWidthsFor({1104, 761}, 144);
  EXPECT_EQ(at144.name, 324);
  EXPECT_EQ(at144.status, 129);
  EXPECT_EQ(at144.detail, 549);  // 1014 - (324 + 141)
}

TEST(Layout, ScrollRangeCoversTheContentAndThePositionIsClamped) {
  // A tall enough window: the page covers the range and the position is forced to 0.
  VerticalScroll tall = VerticalScrollFor({1104, 761}, 96, 761, 120);
  EXPECT_EQ(tall.maxPos, 760);
  EXPECT_EQ(tall.page, 761);
  EXPECT_EQ(tall.pos, 0);
  // A short window scrolls over the 700-unit minimum.
  EXPECT_EQ(VerticalScrollFor({1104, 700}, 96, 500, 50).pos, 50);
  EXPECT_EQ(VerticalScrollFor({1104, 700}, 96, 500, 500).pos, 200);
  EXPECT_EQ(VerticalScrollFor({1104, 700}, 96, 500, -30).pos, 0);
  const VerticalScroll at144 = VerticalScrollFor({1104, 700}, 144, 600, 9999);
  EXPECT_EQ(at144.maxPos, 1049);
  EXPECT_EQ(at144.page, 600);
  EXPECT_EQ(at144.pos, 450);
}

TEST(Layout, ScrollBarCommands) {
  EXPECT_EQ(ScrollAfterCommand(SB_LINEDOWN, 100, 500, 699, 0, 96), 136);
  EXPECT_EQ(ScrollAfterCommand(SB_LINEUP, 100, 500, 699, 0, 144), 46);
  EXPECT_EQ(ScrollAfterCommand(SB_PAGEDOWN, 100, 500, 699, 0, 96), 600);  // clamped later by the layout
  EXPECT_EQ(ScrollAfterCommand(SB_THUMBTRACK, 100, 500, 699, 77, 96), 77);
  EXPECT_EQ(ScrollAfterCommand(SB_TOP, 100, 500, 699, 77, 96), 0);
  EXPECT_EQ(ScrollAfterCommand(SB_BOTTOM, 100, 500, 699, 77, 96), 699);
  EXPECT_EQ(ScrollAfterCommand(SB_THUMBPOSITION, 100, 500, 699, 77, 96), 100);
}

TEST(Layout, WheelNotchesMoveSixtyUnitsAndPartialDeltasTruncate) {
  EXPECT_EQ(ScrollAfterWheel(200, 120, 96), 140);
  EXPECT_EQ(ScrollAfterWheel(200, 240, 96), 80);
  EXPECT_EQ(ScrollAfterWheel(200, -120, 96), 260);
  EXPECT_EQ(ScrollAfterWheel(200, 120, 144), 110);
  EXPECT_EQ(ScrollAfterWheel(200, 1, 96), 200);    // 60 / -120 truncates to 0
  EXPECT_EQ(ScrollAfterWheel(200, -121, 96), 260); // 60.5 truncates to 60
  EXPECT_EQ(ScrollAfterWheel(200, 30, 144), 178);  // 90 * 30 / -120 = -22.5 -> -22
}

TEST(Layout, FirstWindowIs1120By800UnitsUnlessTheWorkAreaLess24IsSmaller) {
  auto size = [](int dpi, int width, int height) {
    const TrackSize s = InitialWindowSize(dpi, width, height);
    return std::pair<int, int>(s.width, s.height);
  };
  EXPECT_EQ(size(96, 1920, 1040), (std::pair<int, int>(1120, 800)));
  EXPECT_EQ(size(96, 1024, 768), (std::pair<int, int>(1000, 744)));
  EXPECT_EQ(size(96, 1144, 824), (std::pair<int, int>(1120, 800)));  // exactly fits
  EXPECT_EQ(size(144, 2560, 1400), (std::pair<int, int>(1680, 1200)));
  EXPECT_EQ(size(144, 1920, 1040), (std::pair<int, int>(1680, 1004)));
  EXPECT_EQ(size(120, 1366, 728), (std::pair<int, int>(1336, 698)));
}

}  // namespace
}  // namespace vellumora
