// Conversions that meet a failing system: a full disk, a folder that cannot be made. Each must
// end with the program's message, no temporary file, no touched file, and the source as it was.
#include <gtest/gtest.h>

#include <cstdlib>

#include "convert_test_support.h"
#include "convert/conversion.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;

class FaultTest : public ComTest {
 protected:
  void SetUp() override {
    const fs::path fixture = FixturesDir() / L"icc-large-66k.heic";  // a PNG of about 70 KB
    if (!fs::exists(fixture)) GTEST_SKIP() << "test photographs missing";
    source_ = dir_ / L"來源 照片.heic";
    fs::copy_file(fixture, source_);
    before_ = ReadAll(source_);
    request_.source = source_.wstring();
    request_.options.format = OutputFormat::Png;
    request_.options.destination = Destination::Folder;
  }
  void ExpectSourceAloneAndUntouched() {
    EXPECT_EQ(ReadAll(source_), before_);
    EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"來源 照片.heic"});
  }

  ScratchDir dir_;
  fs::path source_;
  Bytes before_;
  ConversionRequest request_;
};

TEST_F(FaultTest, AnOutputFolderThatCannotBeCreated) {
  WriteAll(dir_ / L"檔案", Bytes{1, 2, 3});
  request_.options.folder = (dir_ / L"檔案" / L"輸出").wstring();
  const ConversionOutcome outcome = ConvertFile(request_);
  EXPECT_NE(outcome.error, L"");
  EXPECT_TRUE(outcome.output.empty());
  EXPECT_EQ(ReadAll(dir_ / L"檔案"), (Bytes{1, 2, 3}));
  fs::remove(dir_ / L"檔案");
  ExpectSourceAloneAndUntouched();
}

// Run by the CTest script convert_disk_full, which mounts a small file system and names it in
// VELLUMORA_SMALL_DISK (skipped where mounting is not permitted).
TEST_F(FaultTest, DISABLED_DiskFullDuringTheWrite) {
  const char* smallDisk = std::getenv("VELLUMORA_SMALL_DISK");
  if (smallDisk == nullptr) GTEST_SKIP() << "no small disk mounted";
  const fs::path disk = FromBuildPath(smallDisk);
  const fs::path folder = disk / L"輸出 資料夾";
  // Something already there that must survive.
  fs::create_directories(folder);
  WriteAll(folder / L"來源 照片.png", Bytes(100, 9));
  request_.options.folder = folder.wstring();

  const ConversionOutcome outcome = ConvertFile(request_);
  EXPECT_EQ(outcome.error, L"寫入檔案失敗（請檢查磁碟空間）");
  EXPECT_TRUE(outcome.output.empty());
  EXPECT_EQ(Listing(folder), std::vector<std::wstring>{L"來源 照片.png"});
  EXPECT_EQ(ReadAll(folder / L"來源 照片.png"), Bytes(100, 9));
  ExpectSourceAloneAndUntouched();
  fs::remove_all(folder);
}

}  // namespace
}  // namespace vellumora
