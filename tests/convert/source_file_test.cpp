#include "convert/source_file.h"

#include <winioctl.h>

#include <gtest/gtest.h>

#include "convert_test_support.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;

constexpr const char* kCannotOpen = "無法讀取原檔（可能已移動或正在被其他程式修改）";
constexpr const char* kEmptyOrHuge = "原檔空白或超過 2 GB";
constexpr const char* kChanged = "原檔在轉換期間已被修改，已保留原檔";
constexpr const char* kCannotRecheck = "無法再次確認原檔";

HANDLE OpenOther(const fs::path& path, DWORD access, DWORD share) {
  return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

class SourceFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_ / L"相片 source.heic";
    WriteAll(source_, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9});
  }
  ScratchDir dir_;
  fs::path source_;
};

TEST_F(SourceFileTest, ReadsWholeFileAndHoldsItAgainstWritersDeletersAndRenamers) {
  SourceFile held = ReadSource(source_.wstring());
  EXPECT_EQ(held.bytes, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(held.snapshot.nFileSizeLow, 9u);

  // Writers, deleters and renamers are refused by the system while the handle is held...
  HANDLE writer = OpenOther(source_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_FALSE(DeleteFileW(source_.c_str()));
  EXPECT_FALSE(MoveFileExW(source_.c_str(), (dir_ / L"renamed.heic").c_str(), 0));
  // ...readers are not.
  HANDLE reader = OpenOther(source_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);

  // A part read again from the held file, as a motion photo's video is; not past its end.
  Bytes part(3);
  ReadSourceAt(held, 5, part);
  EXPECT_EQ(part, (Bytes{6, 7, 8}));
  EXPECT_EQ(FailureOf([&] { ReadSourceAt(held, 7, part); }), "讀取原檔不完整");

  held.handle.reset();
  EXPECT_TRUE(DeleteFileW(source_.c_str()));
}

TEST_F(SourceFileTest, FailsWhenMissingOrAlreadyOpenForWriting) {
  EXPECT_EQ(FailureOf([&] { ReadSource((dir_ / L"missing.heic").wstring()); }), kCannotOpen);

  HANDLE writer = OpenOther(source_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FailureOf([&] { ReadSource(source_.wstring()); }), kCannotOpen);
  CloseHandle(writer);
  EXPECT_EQ(FailureOf([&] { ReadSource(source_.wstring()); }), "(no exception)");
}

TEST_F(SourceFileTest, RefusesEmptyFilesAndFilesOfTwoGibibytesOrMore) {
  WriteAll(source_, {});
  EXPECT_EQ(FailureOf([&] { ReadSource(source_.wstring()); }), kEmptyOrHuge);

  EXPECT_FALSE(IsReadableSourceSize(0));
  EXPECT_TRUE(IsReadableSourceSize(1));
  EXPECT_TRUE(IsReadableSourceSize(2147483647ull));
  EXPECT_FALSE(IsReadableSourceSize(2147483648ull));
  EXPECT_FALSE(IsReadableSourceSize(0x100000001ull));  // would pass if only the low part were looked at

  // A sparse file of exactly 2 GiB: refused before anything is allocated or read.
  const fs::path big = dir_ / L"big.heic";
  HANDLE h = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD ignored = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end{};
  end.QuadPart = 2147483648ll;
  const bool sized = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  if (!sized) GTEST_SKIP() << "no room for a sparse 2 GiB file here";
  EXPECT_EQ(FailureOf([&] { ReadSource(big.wstring()); }), kEmptyOrHuge);
}

TEST_F(SourceFileTest, UnchangedWhenOnlyReadOrAccessTimeOrAttributesChanged) {
  SourceFile held = ReadSource(source_.wstring());
  const SourceSnapshot snapshot = held.snapshot;
  held.handle.reset();

  ReadAll(source_);
  const FILETIME later = FromTicks(Ticks(snapshot.ftLastAccessTime) + 36000000000ull);  // one hour on
  ASSERT_TRUE(SetTimes(source_, &later, nullptr));
  ASSERT_TRUE(SetFileAttributesW(source_.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(FailureOf([&] { ConfirmSourceUnchanged(source_.wstring(), snapshot); }), "(no exception)");
  SetFileAttributesW(source_.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(SourceFileTest, ChangedWhenWriteTimeTouchedContentRewrittenOrFileReplaced) {
  SourceFile held = ReadSource(source_.wstring());
  const SourceSnapshot snapshot = held.snapshot;
  held.handle.reset();

  // Same content, later write time.
  const FILETIME later = FromTicks(Ticks(snapshot.ftLastWriteTime) + 10000000ull);
  ASSERT_TRUE(SetTimes(source_, nullptr, &later));
  EXPECT_EQ(FailureOf([&] { ConfirmSourceUnchanged(source_.wstring(), snapshot); }), kChanged);

  // Back to the original write time but one byte longer.
  WriteAll(source_, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  ASSERT_TRUE(SetTimes(source_, nullptr, &snapshot.ftLastWriteTime));
  EXPECT_EQ(FailureOf([&] { ConfirmSourceUnchanged(source_.wstring(), snapshot); }), kChanged);

  // Replaced by another file of the same name, size and write time: only the identity differs.
  const fs::path other = dir_ / L"other.heic";
  WriteAll(other, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9});
  ASSERT_TRUE(SetTimes(other, nullptr, &snapshot.ftLastWriteTime));
  ASSERT_TRUE(MoveFileExW(other.c_str(), source_.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(FailureOf([&] { ConfirmSourceUnchanged(source_.wstring(), snapshot); }), kChanged);
}

TEST_F(SourceFileTest, CannotRecheckWhenDeleted) {
  SourceFile held = ReadSource(source_.wstring());
  const SourceSnapshot snapshot = held.snapshot;
  held.handle.reset();

  ASSERT_TRUE(DeleteFileW(source_.c_str()));
  EXPECT_EQ(FailureOf([&] { ConfirmSourceUnchanged(source_.wstring(), snapshot); }), kCannotRecheck);
}

}  // namespace
}  // namespace vellumora
