// The options panel's rules on plain state: reading the controls back and re-targeting rows.
#include <gtest/gtest.h>

#include <vector>

#include "ui/options_panel.h"

namespace vellumora {
namespace {

ListRow Row(RowStatus status, bool queued, const Settings& options) {
  ListRow row;
  row.source = L"C:\\p\\x.heic";
  row.status = status;
  row.queued = queued;
  row.options = options;
  return row;
}

TEST(OptionRules, ControlValuesBecomeSettings) {
  OptionControlValues values;
  values.autoConvert = true;
  values.recycle = true;
  values.silentQuick = true;
  values.quality = 42;
  values.formatIndex = 1;
  values.destinationIndex = 1;
  values.folder = L"D:\\輸出";
  Settings settings = SettingsFromControlValues(values);
  EXPECT_TRUE(settings.auto_);
  EXPECT_FALSE(settings.recursive);
  EXPECT_TRUE(settings.recycle);
  EXPECT_TRUE(settings.silent_quick);
  EXPECT_EQ(settings.quality, 42);
  EXPECT_EQ(settings.format, OutputFormat::Png);
  EXPECT_EQ(settings.destination, Destination::Folder);
  EXPECT_EQ(settings.folder, L"D:\\輸出");

  for (int index : {0, -1, 2}) {  // no selection or anything but PNG's index reads as JPG
    values.formatIndex = index;
    EXPECT_EQ(SettingsFromControlValues(values).format, OutputFormat::Jpg) << index;
  }
}

class Retargeting : public ::testing::Test {
 protected:
  void SetUp() override {
    old_.format = OutputFormat::Jpg;
    old_.destination = Destination::Folder;  // rows that still lack their folder
    now_.auto_ = true;
    now_.format = OutputFormat::Png;
    now_.quality = 70;
    now_.destination = Destination::Folder;
    now_.folder = L"D:\\out";
    rows_ = {Row(RowStatus::Waiting, true, old_),     Row(RowStatus::Waiting, false, old_),
             Row(RowStatus::Converting, false, old_), Row(RowStatus::Done, false, old_),
             Row(RowStatus::Failed, false, old_)};
    Settings besideSource = old_;
    besideSource.destination = Destination::BesideSource;
    rows_.push_back(Row(RowStatus::Waiting, true, besideSource));
  }
  void ExpectUntouched(size_t first) {
    for (size_t i = first; i < 5; ++i) {
      EXPECT_EQ(rows_[i].options, old_) << i;
      EXPECT_FALSE(rows_[i].queued) << i;
    }
  }
  Settings old_, now_;
  std::vector<ListRow> rows_;
};

TEST_F(Retargeting, TurningAutoOnQueuesEveryWaitingRowWithTheNewSettings) {
  RetargetWaitingRows(rows_, now_, false, false);
  for (size_t i : {0u, 1u, 5u}) {
    EXPECT_EQ(rows_[i].options, now_) << i;
    EXPECT_TRUE(rows_[i].queued) << i;
  }
  ExpectUntouched(2);
}

TEST_F(Retargeting, WithAutoAlreadyOnOnlyUnqueuedRowsTakeTheNewSettings) {
  RetargetWaitingRows(rows_, now_, true, false);
  EXPECT_EQ(rows_[0].options, old_);  // queued while auto was on: keeps its options, even its empty folder
  EXPECT_EQ(rows_[1].options, now_);
  EXPECT_TRUE(rows_[1].queued);
  EXPECT_EQ(rows_[5].options.destination, Destination::BesideSource);
  ExpectUntouched(2);
}

TEST_F(Retargeting, FillingFoldersTouchesOnlyQueuedRowsThatLackOne) {
  Settings elsewhere = old_;
  elsewhere.folder = L"E:\\chosen";
  rows_.push_back(Row(RowStatus::Waiting, true, elsewhere));

  RetargetWaitingRows(rows_, now_, true, true);
  Settings filled = old_;
  filled.folder = now_.folder;
  filled.destination = now_.destination;
  EXPECT_EQ(rows_[0].options, filled);  // only folder and destination change, not the format
  EXPECT_EQ(rows_[5].options.folder, L"");  // beside its source: needs no folder
  EXPECT_EQ(rows_[6].options.folder, L"E:\\chosen");
  ExpectUntouched(2);
}

}  // namespace
}  // namespace vellumora
