#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/quick_conversion.h"
#include "app_test_support.h"
#include "common/com_apartment.h"
#include "common/text.h"

namespace vellumora {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnvironment;
using test::TempDir;

TEST(JsonString, IsTheUtf8LiteralOfUtf16Text) {
  EXPECT_EQ(JsonString(L""), "\"\"");
  EXPECT_EQ(JsonString(L"C:\\照片\n\U0001F600"), "\"C:\\\\照片\\u000a\xF0\x9F\x98\x80\"");
  // A lone surrogate (a name Windows allows, which no UTF-8 can hold) becomes U+FFFD: the report
  // stays valid UTF-8, and the pairs around it are kept.
  const std::wstring lone = {L'a', wchar_t(0xD83D), L'b', wchar_t(0xDE00), wchar_t(0xD83D), wchar_t(0xDE00), wchar_t(0xD83D)};
  EXPECT_EQ(JsonString(lone), "\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD\"");
}

// A silent batch with LOCALAPPDATA pointing into a fresh folder.
class QuickConversion : public ::testing::Test {
 protected:
  fs::path LogFolder() const { return local_.path() / L"VellumoraConvert" / L"logs"; }

  // Runs the batch and returns its report (empty when no report was written).
  std::string Run(const std::vector<std::wstring>& paths, const Settings& settings, int expectedExit) {
    CommandLine commandLine;
    commandLine.paths = paths;
    commandLine.quickFormat = OutputFormatText(settings.format);
    commandLine.silent = true;
    const auto before = test::FilesIn(LogFolder());
    EXPECT_EQ(RunQuickConversion(commandLine, settings), expectedExit);
    const auto after = test::FilesIn(LogFolder());
    if (after.size() == before.size()) return {};
    EXPECT_EQ(after.size(), before.size() + 1);
    for (const auto& file : after) {
      if (std::find(before.begin(), before.end(), file) != before.end()) continue;
      const std::wstring name = file.filename().wstring();
      EXPECT_EQ(name.size(), 7u + 38u + 5u) << ToUtf8(name);
      EXPECT_EQ(name.rfind(L"silent-{", 0), 0u) << ToUtf8(name);
      EXPECT_EQ(name.substr(name.size() - 6), L"}.json");
      return test::ReadText(file);
    }
    return {};
  }

  ComApartment com_;
  TempDir local_;
  TempDir photos_;
  ScopedEnvironment env_{L"LOCALAPPDATA", local_.path().wstring()};
};

TEST_F(QuickConversion, NoPathsGiveExactlyTheEmptyReport) {
  EXPECT_EQ(Run({}, Settings{}, 0), R"({"format":"JPG","results":[],"exit_code":0})");
  Settings png;
  png.format = OutputFormat::Png;
  EXPECT_EQ(Run({}, png, 0), R"({"format":"PNG","results":[],"exit_code":0})");
  EXPECT_EQ(test::FilesIn(LogFolder()).size(), 2u);  // every run adds its own report
}

TEST_F(QuickConversion, MissingSourcesBecomeTheTopLevelErrorAndFailTheRun) {
  const std::wstring missing = photos_ / L"不在 這裡.heic";
  const std::string report = Run({missing}, Settings{}, 1);
  std::string escaped;
  for (char c : ToUtf8(missing)) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ(report, R"({"format":"JPG","results":[],"error":"來源不存在：)" + escaped + R"(\u000a","exit_code":1})");
}

TEST_F(QuickConversion, FailedFilesAreListedInOrderAndRecycledAppearsOnlyWhenAsked) {
  // An output folder that is required but empty fails every file before its source is read.
  const std::wstring a = photos_ / L"a.heic";
  const std::wstring b = photos_ / L"b 照片.HEIF";
  test::WriteText(a, "x");
  test::WriteText(b, "x");
  Settings settings;
  settings.destination = Destination::Folder;
  const std::string failure = R"(,"status":"失敗","error":"請先指定輸出資料夾；原始檔案保持不變")";
  auto source = [](const std::wstring& path) { return "{\"source\":" + JsonString(path); };

  EXPECT_EQ(Run({a, b, a}, settings, 1),
            R"({"format":"JPG","results":[)" + source(a) + failure + "}," + source(b) + failure +
                R"(}],"exit_code":1})");

  settings.recycle = true;
  EXPECT_EQ(Run({b}, settings, 1),
            R"({"format":"JPG","results":[)" + source(b) + failure + R"(,"recycled":false}],"exit_code":1})");

  // Both kinds of problem in one run: the files' results and the collection note.
  const std::string both = Run({photos_ / L"gone.heic", a}, settings, 1);
  EXPECT_NE(both.find(source(a) + failure + R"(,"recycled":false}],"error":"來源不存在：)"), std::string::npos) << both;
  EXPECT_TRUE(both.ends_with(R"(\u000a","exit_code":1})")) << both;
}

TEST_F(QuickConversion, ReportGoesUnderTheCurrentFolderWithoutLocalAppData) {
  ScopedEnvironment unset(L"LOCALAPPDATA", std::nullopt);
  test::ScopedCurrentDirectory cd(photos_.path());
  CommandLine commandLine;
  EXPECT_EQ(RunQuickConversion(commandLine, Settings{}), 0);
  const auto reports = test::FilesIn(photos_.path() / L"VellumoraConvert" / L"logs");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(test::ReadText(reports[0]), R"({"format":"JPG","results":[],"exit_code":0})");
}

TEST_F(QuickConversion, AReportThatCannotBeWrittenFailsTheRunAndLeavesNothing) {
  test::WriteText(photos_ / L"file", "x");
  ScopedEnvironment blocked(L"LOCALAPPDATA", photos_ / L"file");  // a file where a folder must go
  CommandLine commandLine;
  EXPECT_EQ(RunQuickConversion(commandLine, Settings{}), 1);
  EXPECT_EQ(test::FilesIn(photos_.path()), std::vector<fs::path>{photos_ / L"file"});
}

}  // namespace
}  // namespace vellumora
