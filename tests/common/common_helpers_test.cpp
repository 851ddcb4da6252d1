#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/check_hr.h"
#include "common/extended_path.h"
#include "common/file_bytes.h"
#include "common/guid_text.h"
#include "common/text.h"

namespace vellumora {
namespace {

std::string MessageOf(HRESULT hr, const char* text) {
  try {
    CheckHr(hr, text);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(CheckHr, SuccessCodesPassAndFailuresCarryTheCodeInLowerCaseHex) {
  EXPECT_EQ(MessageOf(S_OK, "x"), "(no exception)");
  EXPECT_EQ(MessageOf(S_FALSE, "x"), "(no exception)");
  EXPECT_EQ(MessageOf(E_FAIL, "無法建立圖片編碼器"), "無法建立圖片編碼器 (0x80004005)");
  EXPECT_EQ(MessageOf(HRESULT_FROM_WIN32(ERROR_CANCELLED), "t"), "t (0x800704c7)");
}

TEST(Text, RoundTripsChineseAndSurrogatePairsAndKeepsEmptyEmpty) {
  const std::wstring wide = L"照片 測試 \U0001F600.heic";
  EXPECT_EQ(ToUtf16(ToUtf8(wide)), wide);
  EXPECT_EQ(ToUtf8(L"完成"), "完成");
  EXPECT_TRUE(ToUtf16("").empty());
  EXPECT_TRUE(ToUtf8(L"").empty());
  EXPECT_EQ(FoldCase(L"C:\\Photos\\A.HEIC"), L"c:\\photos\\a.heic");
  // The file system's folding reaches beyond A-Z: one name on NTFS is one key.
  EXPECT_EQ(FileSystemFold(L"C:\\Out\\Été (1)"), FileSystemFold(L"c:\\out\\été (1)"));
  EXPECT_EQ(CompareStringOrdinal(L"Été", 3, L"été", 3, TRUE), CSTR_EQUAL);
  EXPECT_NE(FileSystemFold(L"e"), FileSystemFold(L"é"));
}

TEST(ExtendedLengthPath, KeepsNamesAsTheyAreAndLeavesWhatItCannotQualify) {
  // Trailing dots and spaces stay (the system would drop them); dot segments and slashes, which
  // the system no longer resolves in this form, are resolved first.
  EXPECT_EQ(ExtendedLengthPath(L"C:\\旅行.\\a b \\IMG.heic"), L"\\\\?\\C:\\旅行.\\a b \\IMG.heic");
  EXPECT_EQ(ExtendedLengthPath(L"d:/x/./y/../z.heic"), L"\\\\?\\d:\\x\\z.heic");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\相片\\a.heic"), L"\\\\?\\UNC\\server\\share\\相片\\a.heic");
  for (const wchar_t* unchanged : {L"\\\\?\\C:\\a.", L"\\\\.\\pipe\\x", L"relative\\a.heic", L"C:a.heic", L""})
    EXPECT_EQ(ExtendedLengthPath(unchanged), unchanged);
  EXPECT_EQ(WithoutExtendedPrefix(ExtendedLengthPath(L"C:\\a\\b.")), L"C:\\a\\b.");
  EXPECT_EQ(WithoutExtendedPrefix(ExtendedLengthPath(L"\\\\s\\t\\u")), L"\\\\s\\t\\u");
}

TEST(GuidText, IsRegistryFormAndFreshEachTime) {
  const std::wstring a = NewGuidText(), b = NewGuidText();
  ASSERT_EQ(a.size(), 38u);
  EXPECT_EQ(a.front(), L'{');
  EXPECT_EQ(a.back(), L'}');
  EXPECT_EQ(a[9], L'-');
  for (wchar_t c : a) EXPECT_FALSE(c >= L'a' && c <= L'f') << "upper-case hexadecimal expected";
  EXPECT_NE(a, b);
}

TEST(FileBytes, WritesAndReadsBackExactlyAndReportsFailures) {
  const auto dir = std::filesystem::temp_directory_path() / (L"vc-bytes-" + NewGuidText());
  std::filesystem::create_directories(dir);
  const auto file = dir / L"資料 1.bin";
  std::vector<std::uint8_t> bytes(200000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  bytes[10] = '\n';
  bytes[11] = '\r';
  WriteFileBytes(file, bytes);
  EXPECT_EQ(ReadFileBytes(file), bytes);
  WriteFileBytes(file, {});  // truncates
  EXPECT_TRUE(ReadFileBytes(file).empty());
  try {
    WriteFileBytes(dir / L"missing" / L"x.bin", bytes);
    ADD_FAILURE() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "無法寫入檔案");
  }
  try {
    ReadFileBytes(dir / L"absent.bin");
    ADD_FAILURE() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "無法讀取檔案");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vellumora
