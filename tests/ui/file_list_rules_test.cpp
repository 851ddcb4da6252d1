// The file list's rules on plain rows: texts per row and the two de-duplication rules.
#include <gtest/gtest.h>

#include "ui/file_list.h"

namespace vellumora {
namespace {

ScanResult Scan(std::vector<std::wstring> paths, bool quick = false, OutputFormat format = OutputFormat::Jpg) {
  ScanResult result;
  result.paths = std::move(paths);
  result.quick = quick;
  result.options.format = format;
  return result;
}

TEST(RowTexts, StatusColumn) {
  ListRow row;
  EXPECT_EQ(RowStatusText(row), L"等待");
  row.status = RowStatus::Converting;
  EXPECT_EQ(RowStatusText(row), L"轉換中");
  row.status = RowStatus::Done;
  EXPECT_EQ(RowStatusText(row), L"完成");
  row.message = L"原檔在轉換期間已被修改，已保留原檔";
  EXPECT_EQ(RowStatusText(row), L"完成／保留");
  row.status = RowStatus::Failed;
  EXPECT_EQ(RowStatusText(row), L"失敗");
  row.status = static_cast<RowStatus>(17);
  EXPECT_EQ(RowStatusText(row), L"失敗");
}

TEST(RowTexts, DetailColumnPrefersMessageThenOutputNameThenSourceFolder) {
  ListRow row;
  row.source = L"C:\\相片\\2024 旅行\\IMG_0001.HEIC";
  EXPECT_EQ(RowDetailText(row), L"來源：2024 旅行");
  row.output = L"D:\\out\\IMG_0001 (1).jpg";
  EXPECT_EQ(RowDetailText(row), L"IMG_0001 (1).jpg");
  row.message = L"無法再次確認原檔";
  EXPECT_EQ(RowDetailText(row), L"無法再次確認原檔");

  ListRow atRoot;
  atRoot.source = L"C:\\a.heic";
  EXPECT_EQ(RowDetailText(atRoot), L"來源：");
}

TEST(RowTexts, InfoTipAndSelectionShowFullPaths) {
  ListRow row;
  row.source = L"C:\\p\\a.heic";
  EXPECT_EQ(RowInfoTip(row), L"C:\\p\\a.heic");
  EXPECT_EQ(RowSelectionDetails(row), L"來源：C:\\p\\a.heic");
  row.message = L"HEIC 解碼失敗";
  EXPECT_EQ(RowSelectionDetails(row), L"來源：C:\\p\\a.heic\r\nHEIC 解碼失敗");
  row.output = L"C:\\p\\a.jpg";
  EXPECT_EQ(RowInfoTip(row), L"C:\\p\\a.jpg");
  EXPECT_EQ(RowSelectionDetails(row), L"來源：C:\\p\\a.heic\r\n輸出：C:\\p\\a.jpg\r\nHEIC 解碼失敗");
  EXPECT_EQ(ParentFolder(row.output), L"C:\\p");
}

TEST(AppendRows, OrdinaryScansAddEachPathOnceWhateverItsLetterCase) {
  std::vector<ListRow> rows;
  auto added = AppendRowsFromScan(rows, Scan({L"C:\\P\\a.heic", L"C:\\P\\b.heic", L"c:\\p\\A.HEIC"}), false);
  EXPECT_EQ(added, (std::vector<std::size_t>{0, 1}));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].source, L"C:\\P\\a.heic");  // letter case kept
  EXPECT_FALSE(rows[0].queued);                 // manual mode

  rows[0].status = RowStatus::Done;
  rows[1].status = RowStatus::Failed;
  added = AppendRowsFromScan(rows, Scan({L"C:\\p\\B.heic", L"C:\\P\\A.heic", L"C:\\P\\d.heic"}), true);
  EXPECT_EQ(added, (std::vector<std::size_t>{2}));  // a listed path in any state blocks it
  EXPECT_TRUE(rows[2].queued);                      // auto mode queues new rows
}

TEST(AppendRows, QuickRequestsOnlySkipTheSameWorkStillWaitingOrRunning) {
  std::vector<ListRow> rows;
  AppendRowsFromScan(rows, Scan({L"C:\\a.heic", L"C:\\b.heic", L"C:\\c.heic", L"C:\\d.heic"}), false);
  rows[0].status = RowStatus::Done;
  rows[1].status = RowStatus::Failed;
  rows[2].status = RowStatus::Converting;
  // rows[3] waits, JPG

  auto added = AppendRowsFromScan(rows, Scan({L"C:\\A.heic", L"C:\\b.heic", L"C:\\c.heic", L"C:\\d.heic"}, true), false);
  EXPECT_EQ(added, (std::vector<std::size_t>{4, 5}));  // done and failed paths come again
  EXPECT_TRUE(rows[4].queued);
  EXPECT_EQ(rows[4].source, L"C:\\A.heic");

  // The other format is other work.
  added = AppendRowsFromScan(rows, Scan({L"C:\\d.heic"}, true, OutputFormat::Png), false);
  EXPECT_EQ(added, (std::vector<std::size_t>{6}));
  EXPECT_EQ(rows[6].options.format, OutputFormat::Png);

  // A path repeated within one quick request is added once: the first copy now waits.
  added = AppendRowsFromScan(rows, Scan({L"C:\\e.heic", L"C:\\E.HEIC"}, true), false);
  EXPECT_EQ(added, (std::vector<std::size_t>{7}));
}

TEST(AppendRows, RowsTakeTheScansOptionSnapshot) {
  ScanResult result = Scan({L"C:\\a.heic"}, true, OutputFormat::Png);
  result.options.quality = 95;
  result.options.folder = L"D:\\x";
  result.options.recursive = true;
  std::vector<ListRow> rows;
  AppendRowsFromScan(rows, result, false);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].options, result.options);
  EXPECT_EQ(rows[0].status, RowStatus::Waiting);
  EXPECT_TRUE(rows[0].output.empty());
}

TEST(ScanStatus, NoteWinsOverTheNothingFoundText) {
  EXPECT_EQ(ScanStatusText(Scan({})).value_or(L"-"), L"未找到 HEIC／HEIF／HIF 圖片；其他格式已自動略過。");
  ScanResult withNote = Scan({});
  withNote.note = L"找不到路徑：X:\\gone";
  EXPECT_EQ(ScanStatusText(withNote).value_or(L"-"), L"找不到路徑：X:\\gone");
  EXPECT_FALSE(ScanStatusText(Scan({L"C:\\a.heic"})).has_value());
}

}  // namespace
}  // namespace vellumora
