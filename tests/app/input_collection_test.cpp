#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <string>
#include <vector>

#include "app/input_collection.h"
#include "app_test_support.h"
#include "common/unique_handle.h"

namespace vellumora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using Paths = std::vector<std::wstring>;

void Touch(const fs::path& path) {
  fs::create_directories(path.parent_path());
  test::WriteText(path, "not really a photograph");
}

Paths Sorted(Paths paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(IsSupportedPhoto, AcceptsOnlyTheThreeExtensionsInAnyCase) {
  for (const wchar_t* yes : {L"a.heic", L"A.HEIF", L"x.Hif", L"C:\\d.jpg\\p.hEiC", L"..heic", L"a.b.heif"})
    EXPECT_TRUE(IsSupportedPhoto(yes)) << yes;
  for (const wchar_t* no : {L".heic", L"C:\\x\\.hif", L"a.heic.jpg", L"a.heicx", L"a.hei", L"heic", L"a.heic\\",
                            L"C:\\x.heic\\photo", L""})
    EXPECT_FALSE(IsSupportedPhoto(no)) << no;
}

TEST(CollectInputs, KeepsOnlyRegularPhotographFilesOfAFolderWithoutNotes) {
  TempDir dir;
  for (const wchar_t* name : {L"b.jpg", L"c.HiF", L"e.heif", L"f.HEIC.txt", L".heic", L"g.heic"}) Touch(dir.path() / name);
  fs::create_directories(dir.path() / L"folder.heic");  // a folder named like a photograph
  fs::remove(dir.path() / L"g.heic");
  std::wstring note;
  const Paths files = CollectInputs({dir.path().wstring()}, false, note);
  EXPECT_EQ(Sorted(files), (Paths{dir / L"c.HiF", dir / L"e.heif"}));
  EXPECT_EQ(note, L"");
  // The same names given one by one: unsupported and non-regular ones vanish silently.
  const Paths direct = CollectInputs({dir / L"b.jpg", dir / L"folder.heic", dir / L".heic", dir / L"e.heif"}, false, note);
  EXPECT_EQ(direct, (Paths{dir / L"e.heif"}));
  EXPECT_EQ(note, L"");
}

TEST(CollectInputs, RemovesCaseInsensitiveDuplicatesAndKeepsTheFirstSpelling) {
  TempDir dir;
  Touch(dir.path() / L"A.heic");
  Touch(dir.path() / L"sub" / L"b.heic");
  const std::wstring upper = dir.path().wstring() + L"\\A.HEIC";
  std::wstring folderUpper = dir.path().wstring();
  std::transform(folderUpper.begin(), folderUpper.end(), folderUpper.begin(), ::towupper);
  std::wstring note;
  const Paths files = CollectInputs({upper, folderUpper + L"\\a.heic",
                                     dir.path().wstring() + L"/sub/b.heic",  // forward slashes
                                     dir.path().wstring(),                   // A.heic again through its folder
                                     dir.path().wstring() + L"\\",           // the same folder, spelled otherwise
                                     dir / L"sub", dir / L"sub\\b.heic"},
                                    true, note);
  EXPECT_EQ(files, (Paths{upper, dir / L"sub\\b.heic"}));
  EXPECT_EQ(note, L"");
}

TEST(CollectInputs, MakesRelativePathsAbsoluteAndNormal) {
  TempDir dir;
  Touch(dir.path() / L"a.heic");
  Touch(dir.path() / L"x" / L"照片.heif");
  test::ScopedCurrentDirectory cd(dir.path());
  const std::wstring base = fs::current_path().wstring();
  std::wstring note;
  const Paths files = CollectInputs({L".\\x\\..\\a.heic", L"x\\\\.\\照片.heif", L"x/../x/照片.heif"}, false, note);
  EXPECT_EQ(files, (Paths{base + L"\\a.heic", base + L"\\x\\照片.heif"}));
  EXPECT_EQ(note, L"");

  // A short (8.3) name, as some programs pass for deep paths, comes back as the long name: the
  // output is named after the photograph, not after its short name.
  const std::wstring longName = base + L"\\a long folder name\\IMG 0001 edited.heic";
  Touch(longName);
  std::wstring shortName(MAX_PATH, L'\0');
  shortName.resize(GetShortPathNameW(longName.c_str(), shortName.data(), MAX_PATH));
  if (shortName.find(L'~') != std::wstring::npos)  // a volume without short names has none to expand
    EXPECT_EQ(CollectInputs({shortName}, false, note), (Paths{longName}));
}

TEST(CollectInputs, RecursesDepthFirstOnlyWhenAskedAndInEnumerationOrder) {
  TempDir dir;
  for (const wchar_t* name : {L"1.heic", L"m\\2.heic", L"m\\n\\3.heic", L"m\\n\\o\\4.hif", L"m\\5.heif", L"z.heic",
                              L"k\\6.heic", L"k\\7.jpg", L"9.heif"})
    Touch(dir.path() / name);
  std::wstring note;
  EXPECT_EQ(Sorted(CollectInputs({dir.path().wstring()}, false, note)),
            (Paths{dir / L"1.heic", dir / L"9.heif", dir / L"z.heic"}));

  // The standard library's recursive walk yields the same depth-first order the collection must keep.
  Paths expected;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
    if (entry.is_regular_file() && IsSupportedPhoto(entry.path().wstring())) expected.push_back(entry.path().wstring());
  const Paths files = CollectInputs({dir.path().wstring()}, true, note);
  EXPECT_EQ(files, expected);
  EXPECT_EQ(files.size(), 8u);
  // Each folder's photographs form one block: the walk finished a folder before going on.
  for (const wchar_t* prefix : {L"\\m\\", L"\\m\\n\\", L"\\k\\"}) {
    const std::wstring folder = dir.path().wstring() + prefix;
    auto inside = [&](const std::wstring& p) { return p.rfind(folder, 0) == 0; };
    const auto first = std::find_if(files.begin(), files.end(), inside);
    const auto afterLast = std::find_if(files.rbegin(), files.rend(), inside).base();
    EXPECT_TRUE(std::all_of(first, afterLast, inside)) << prefix;
  }
  EXPECT_EQ(note, L"");
}

TEST(CollectInputs, NotesMissingSourcesExactlyAsGivenAndGoesOn) {
  TempDir dir;
  Touch(dir.path() / L"a.heic");
  const std::wstring missingFile = dir / L"不在.heic";
  const std::wstring missingFolder = dir.path().wstring() + L"/gone/";
  std::wstring note = L"earlier\n";  // the caller's note is extended, not replaced
  const Paths files = CollectInputs({missingFile, dir / L"a.heic", missingFolder, L"nope.jpg"}, false, note);
  EXPECT_EQ(files, (Paths{dir / L"a.heic"}));
  EXPECT_EQ(note, L"earlier\n來源不存在：" + missingFile + L"\n來源不存在：" + missingFolder + L"\n來源不存在：nope.jpg\n");
}

TEST(CollectInputs, DoesNotEnterDirectoryLinks) {
  // A tree real\a.heic with real\loop linking back to the top: following the link would never end.
  TempDir dir;
  fs::path top = dir.path();
  Touch(top / L"real" / L"a.heic");
  const std::wstring link = (top / L"real" / L"loop").wstring();
  CreateSymbolicLinkW(link.c_str(), L"..", SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  const ScopeExit removeLink([&] { RemoveDirectoryW(link.c_str()); });
  auto isLink = [](const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  };
#ifdef VELLUMORA_LINK_TREE
  if (!isLink(link)) top = test::HostPath(VELLUMORA_LINK_TREE);  // Wine: the build made one
#endif
  if (!isLink(top / L"real" / L"loop")) GTEST_SKIP() << "no directory link can be made here";
  std::wstring note;
  EXPECT_EQ(CollectInputs({top.wstring()}, true, note), (Paths{(top / L"real\\a.heic").wstring()}));
  EXPECT_EQ(note, L"");
}

}  // namespace
}  // namespace vellumora
