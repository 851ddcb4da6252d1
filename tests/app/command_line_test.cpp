#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "common/settings.h"

namespace vellumora {
namespace {

using Paths = std::vector<std::wstring>;

TEST(ParseCommandLine, SeparatesOptionsFromPathsAndKeepsOrderAndDuplicates) {
  CommandLine c = ParseCommandLine(
      L"\"C:\\Program Files\\Vellumora\\VellumoraConvert.exe\" a.heic --silent \"C:\\照片 1\\b.HEIC\" a.heic");
  EXPECT_EQ(c.paths, (Paths{L"a.heic", L"C:\\照片 1\\b.HEIC", L"a.heic"}));
  EXPECT_TRUE(c.silent);
  EXPECT_EQ(c.quickFormat, L"");

  c = ParseCommandLine(L"prog.exe --quick JPG x.heic");
  EXPECT_EQ(c.quickFormat, L"JPG");
  EXPECT_EQ(c.paths, (Paths{L"x.heic"}));
  EXPECT_FALSE(c.silent);

  c = ParseCommandLine(L"prog.exe --quick JPG a.heic --quick PNG");  // a later --quick wins
  EXPECT_EQ(c.quickFormat, L"PNG");
  EXPECT_EQ(c.paths, (Paths{L"a.heic"}));

  c = ParseCommandLine(L"prog.exe --quick jpg");  // the value is not checked here
  EXPECT_EQ(c.quickFormat, L"jpg");
}

TEST(ParseCommandLine, OptionsMatchOnlyExactlyAndQuickNeedsAValue) {
  // One hyphen, other letter case, or an attached value: all paths.
  CommandLine c = ParseCommandLine(L"prog.exe -silent --Silent --SILENT --quick=JPG -quick");
  EXPECT_EQ(c.paths, (Paths{L"-silent", L"--Silent", L"--SILENT", L"--quick=JPG", L"-quick"}));
  EXPECT_FALSE(c.silent);
  EXPECT_EQ(c.quickFormat, L"");

  // --quick as the last argument has nothing to take and is itself a path.
  c = ParseCommandLine(L"prog.exe x.heic --quick");
  EXPECT_EQ(c.paths, (Paths{L"x.heic", L"--quick"}));
  EXPECT_EQ(c.quickFormat, L"");

  // --quick takes the next argument whatever it is, even --silent.
  c = ParseCommandLine(L"prog.exe --quick --silent");
  EXPECT_EQ(c.quickFormat, L"--silent");
  EXPECT_FALSE(c.silent);
  EXPECT_TRUE(c.paths.empty());

  c = ParseCommandLine(L"prog.exe --silent");
  EXPECT_TRUE(c.silent);
  EXPECT_TRUE(c.paths.empty());
}

TEST(ParseCommandLine, ProgramOnlyOrEmptyTextGivesNothing) {
  for (const wchar_t* text : {L"", L"prog.exe", L"\"C:\\a b\\prog.exe\"   "}) {
    const CommandLine c = ParseCommandLine(text);
    EXPECT_TRUE(c.paths.empty()) << text;
    EXPECT_TRUE(c.quickFormat.empty());
    EXPECT_FALSE(c.silent);
  }
}

TEST(RunMode, QuickFormatMustBeExactAndSilenceComesFromFlagOrSetting) {
  EXPECT_EQ(OutputFormatFromText(L"JPG"), OutputFormat::Jpg);
  EXPECT_EQ(OutputFormatFromText(L"PNG"), OutputFormat::Png);
  for (const wchar_t* bad : {L"jpg", L"Png", L"JPEG", L"JPG ", L"", L"--silent"}) EXPECT_FALSE(OutputFormatFromText(bad)) << bad;

  CommandLine c;
  c.silent = true;
  EXPECT_FALSE(IsSilentQuickRun(c, true));  // --silent without --quick is an ordinary window run
  c.quickFormat = L"jpg";                   // validity does not matter for this decision
  EXPECT_TRUE(IsSilentQuickRun(c, false));
  c.silent = false;
  EXPECT_FALSE(IsSilentQuickRun(c, false));
  EXPECT_TRUE(IsSilentQuickRun(c, true));
}

}  // namespace
}  // namespace vellumora
