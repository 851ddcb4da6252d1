// The run's rules on plain state: queue order, start, results, footer, enabled states.
#include <gtest/gtest.h>

#include "ui/run_control.h"

namespace vellumora {
namespace {

ListRow Row(const std::wstring& source, RowStatus status, bool queued,
            Destination destination = Destination::BesideSource, const std::wstring& folder = L"") {
  ListRow row;
  row.source = source;
  row.status = status;
  row.queued = queued;
  row.options.destination = destination;
  row.options.folder = folder;
  return row;
}

TEST(NextRow, FirstQueuedWaitingRowWinsAndRowsWithoutAFolderArePassedOver) {
  std::vector<ListRow> rows = {
      Row(L"C:\\a.heic", RowStatus::Done, true),
      Row(L"C:\\b.heic", RowStatus::Waiting, false),        // not queued (manual mode)
      Row(L"C:\\c.heic", RowStatus::Waiting, true, Destination::Folder, L""),  // needs a folder
      Row(L"C:\\d.heic", RowStatus::Failed, true),
      Row(L"C:\\e.heic", RowStatus::Waiting, true),
      Row(L"C:\\f.heic", RowStatus::Waiting, true),
  };
  NextRowChoice choice = ChooseNextRow(rows);
  ASSERT_TRUE(choice.index.has_value());
  EXPECT_EQ(*choice.index, 4u);
  EXPECT_TRUE(choice.skippedForFolder);

  // A folder makes the folder destination usable; the row before it then comes first.
  rows[2].options.folder = L"D:\\out";
  choice = ChooseNextRow(rows);
  EXPECT_EQ(choice.index.value_or(99), 2u);
  EXPECT_FALSE(choice.skippedForFolder);

  // Nothing queued: nothing to do and nothing to say.
  for (ListRow& row : rows) row.queued = false;
  choice = ChooseNextRow(rows);
  EXPECT_FALSE(choice.index.has_value());
  EXPECT_FALSE(choice.skippedForFolder);
}

TEST(NextRow, OnlyRowsNeedingAFolderLeaveNothingToStartButSaySo) {
  const std::vector<ListRow> rows = {Row(L"C:\\a.heic", RowStatus::Waiting, true, Destination::Folder, L""),
                                     Row(L"C:\\b.heic", RowStatus::Waiting, true, Destination::Folder, L"")};
  const NextRowChoice choice = ChooseNextRow(rows);
  EXPECT_FALSE(choice.index.has_value());
  EXPECT_TRUE(choice.skippedForFolder);
}

TEST(StartCommand, RequeuesWaitingAndFailedRowsWithTheCurrentSettings) {
  std::vector<ListRow> rows = {
      Row(L"C:\\a.heic", RowStatus::Waiting, false),
      Row(L"C:\\b.heic", RowStatus::Failed, false),
      Row(L"C:\\c.heic", RowStatus::Done, false),
      Row(L"C:\\d.heic", RowStatus::Converting, false),
  };
  rows[1].message = L"HEIC 解碼失敗";
  rows[1].output = L"C:\\kept.jpg";
  rows[2].output = L"C:\\c.jpg";
  rows[2].message = L"原檔在轉換期間已被修改，已保留原檔";
  Settings current;
  current.format = OutputFormat::Png;
  current.quality = 40;
  current.destination = Destination::Folder;
  current.folder = L"D:\\out";

  const std::vector<std::size_t> changed = RequeueForStart(rows, current);
  EXPECT_EQ(changed, (std::vector<std::size_t>{0, 1}));
  for (std::size_t i : {0u, 1u}) {
    EXPECT_EQ(rows[i].status, RowStatus::Waiting);
    EXPECT_TRUE(rows[i].queued);
    EXPECT_TRUE(rows[i].message.empty());
    EXPECT_EQ(rows[i].options, current);
  }
  EXPECT_EQ(rows[1].output, L"C:\\kept.jpg");  // output is left as it was
  EXPECT_EQ(rows[2].status, RowStatus::Done);
  EXPECT_EQ(rows[2].output, L"C:\\c.jpg");
  EXPECT_FALSE(rows[2].message.empty());
  EXPECT_EQ(rows[2].options.format, OutputFormat::Jpg);
  EXPECT_EQ(rows[3].status, RowStatus::Converting);
  EXPECT_FALSE(rows[3].queued);
}

TEST(ConversionResults, ErrorFailsTheRowAWarningStillCompletesIt) {
  std::vector<ListRow> rows = {Row(L"C:\\a.heic", RowStatus::Converting, false),
                               Row(L"C:\\b.heic", RowStatus::Converting, false)};
  ConversionResult failed;
  failed.index = 0;
  failed.outcome.error = L"無法讀取原檔（可能已移動或正在被其他程式修改）";
  failed.outcome.warning = L"ignored";
  ASSERT_TRUE(ApplyConversionResult(rows, failed));
  EXPECT_EQ(rows[0].status, RowStatus::Failed);
  EXPECT_EQ(rows[0].message, failed.outcome.error);

  ConversionResult kept;
  kept.index = 1;
  kept.outcome.output = L"C:\\b.jpg";
  kept.outcome.warning = L"無法再次確認原檔";
  ASSERT_TRUE(ApplyConversionResult(rows, kept));
  EXPECT_EQ(rows[1].status, RowStatus::Done);
  EXPECT_EQ(rows[1].output, L"C:\\b.jpg");
  EXPECT_EQ(rows[1].message, L"無法再次確認原檔");

  ConversionResult stray;
  stray.index = 2;
  EXPECT_FALSE(ApplyConversionResult(rows, stray));
}

TEST(Footer, GreetingScanningAndCounts) {
  std::vector<ListRow> rows;
  EXPECT_EQ(FooterText(rows, 0, false), L"拖曳 HEIC／HEIF 照片或資料夾開始使用");
  EXPECT_EQ(FooterText(rows, 1, false), L"正在掃描檔案…");
  rows = {Row(L"a", RowStatus::Done, false), Row(L"b", RowStatus::Done, false), Row(L"c", RowStatus::Waiting, true),
          Row(L"d", RowStatus::Failed, false), Row(L"e", RowStatus::Converting, false)};
  EXPECT_EQ(FooterText(rows, 2, true), L"正在掃描檔案…");  // scanning wins even with rows
  // The converting row counts in the total only.
  EXPECT_EQ(FooterText(rows, 0, true), L"共 5 張  ·  完成 2  ·  等待 1  ·  失敗 1  ·  轉換中…");
  EXPECT_EQ(FooterText(rows, 0, false), L"共 5 張  ·  完成 2  ·  等待 1  ·  失敗 1");
}

TEST(CommandState, EnabledStatesFollowRowsJobsAndSettings) {
  MainWindowState state;
  CommandState command = ComputeCommandState(state);
  EXPECT_FALSE(command.startEnabled);  // no rows
  EXPECT_FALSE(command.stopEnabled);
  EXPECT_TRUE(command.clearEnabled);
  EXPECT_TRUE(command.qualityEnabled);
  EXPECT_FALSE(command.folderEnabled);
  EXPECT_EQ(command.qualityLabel, L"JPG 品質  95");
  EXPECT_EQ(command.startText, L"開始轉換");
  EXPECT_EQ(command.summary, L"拖曳 HEIC／HEIF 照片或資料夾開始使用");

  state.rows.push_back(Row(L"a", RowStatus::Waiting, false));
  EXPECT_TRUE(ComputeCommandState(state).startEnabled);

  state.pendingScans = 1;
  command = ComputeCommandState(state);
  EXPECT_FALSE(command.startEnabled);
  EXPECT_TRUE(command.stopEnabled);
  EXPECT_FALSE(command.clearEnabled);
  EXPECT_EQ(command.summary, L"正在掃描檔案…");

  state.pendingScans = 0;
  state.converting = true;
  command = ComputeCommandState(state);
  EXPECT_FALSE(command.startEnabled);
  EXPECT_TRUE(command.stopEnabled);
  EXPECT_FALSE(command.clearEnabled);

  state.converting = false;
  state.settings.auto_ = true;
  state.settings.format = OutputFormat::Png;
  state.settings.destination = Destination::Folder;
  state.settings.quality = 7;
  command = ComputeCommandState(state);
  EXPECT_FALSE(command.startEnabled);  // auto mode starts by itself
  EXPECT_EQ(command.startText, L"全自動轉換已啟用");
  EXPECT_FALSE(command.qualityEnabled);
  EXPECT_TRUE(command.folderEnabled);
  EXPECT_EQ(command.qualityLabel, L"JPG 品質  7");
}

}  // namespace
}  // namespace vellumora
