#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/settings_store.h"
#include "app_test_support.h"
#include "common/com_apartment.h"
#include "common/unique_handle.h"

namespace vellumora {
namespace {

using test::ReadText;
using test::ScopedEnvironment;
using test::TempDir;
using test::WriteText;

constexpr char kDefaultFile[] =
    "[General]\nauto=false\ndestination=0\nfolder=\nformat=JPG\nquality=95\nrecursive=false\nrecycle=false\n"
    "silent_quick=false\n";

// Loads the settings from a settings file holding exactly `text`.
Settings LoadFromFileText(const std::string& text) {
  TempDir dir;
  const std::wstring file = dir / L"settings.ini";
  WriteText(file, text);
  ScopedEnvironment env(kSettingsFileVariable, file);
  return LoadSettings();
}

Settings LoadGeneral(const std::string& lines) { return LoadFromFileText("[General]\n" + lines); }

TEST(SettingsFile, DefaultsAreWrittenByteForByteIntoNewFoldersWithoutLeavingTemporaryFiles) {
  ComApartment com;
  TempDir dir;
  const auto file = dir.path() / L"新 資料夾" / L"deeper" / L"settings.ini";
  ScopedEnvironment env(kSettingsFileVariable, file.wstring());
  SaveSettings(Settings{});
  EXPECT_EQ(ReadText(file), kDefaultFile);
  SaveSettings(Settings{});  // replacing an existing file works too
  EXPECT_EQ(ReadText(file), kDefaultFile);
  EXPECT_EQ(test::FilesIn(file.parent_path()), std::vector{file});
  EXPECT_EQ(LoadSettings(), Settings{});
}

TEST(SettingsFile, RoundTripsEveryFieldAndTurnsFolderBackslashesIntoSlashes) {
  ComApartment com;
  TempDir dir;
  ScopedEnvironment env(kSettingsFileVariable, dir / L"s.ini");
  Settings saved;
  saved.auto_ = true;
  saved.recursive = true;
  saved.recycle = true;
  saved.silent_quick = true;
  saved.quality = 42;
  saved.destination = Destination::Folder;
  saved.format = OutputFormat::Png;
  saved.folder = L"C:\\Photos\\輸出 1";
  SaveSettings(saved);
  EXPECT_EQ(ReadText(dir / L"s.ini"),
            "[General]\nauto=true\ndestination=1\nfolder=C:/Photos/輸出 1\nformat=PNG\nquality=42\n"
            "recursive=true\nrecycle=true\nsilent_quick=true\n");
  Settings expected = saved;
  expected.folder = L"C:/Photos/輸出 1";
  EXPECT_EQ(LoadSettings(), expected);
}

TEST(SettingsFile, NumbersAreClampedAndAnUnreadableQualityAlsoResetsTheDestination) {
  struct Case {
    const char* quality;
    const char* destination;
    int expectedQuality;
    int expectedDestination;
  };
  const Case cases[] = {
      {"0", "1", 1, 1},
      {"250", "1", 100, 1},
      {"80abc", "1", 80, 1},
      {"  \t42", "1", 42, 1},
      {"+7", "0", 7, 0},
      {"-5", "1", 1, 1},
      {"abc", "1", 95, 0},
      {"", "1", 95, 0},
      {"99999999999", "1", 95, 0},  // out of the integer range
      {"2147483647", "1", 100, 1},
      {"60", "x", 60, 0},
      {"60", "2", 60, 0},
      {"60", " 1", 60, 1},
      {"60", "1junk", 60, 1},
      {"60", "4294967297", 60, 0},
  };
  for (const Case& c : cases) {
    const Settings s =
        LoadGeneral(std::string("quality=") + c.quality + "\ndestination=" + c.destination + "\n");
    EXPECT_EQ(s.quality, c.expectedQuality) << "quality=" << c.quality;
    EXPECT_EQ(s.destination == Destination::Folder, c.expectedDestination == 1)
        << "quality=" << c.quality << " destination=" << c.destination;
  }
}

TEST(SettingsFile, BooleansAndFormatAcceptOnlyTheirExactSpellings) {
  Settings s = LoadGeneral("recycle=TRUE\nauto=1\nrecursive=true\nsilent_quick=yes\nformat=png\n");
  EXPECT_FALSE(s.recycle);
  EXPECT_TRUE(s.auto_);
  EXPECT_TRUE(s.recursive);
  EXPECT_FALSE(s.silent_quick);
  EXPECT_EQ(s.format, OutputFormat::Jpg);
  s = LoadGeneral("recycle=1\nformat=PNG\n");
  EXPECT_TRUE(s.recycle);
  EXPECT_EQ(s.format, OutputFormat::Png);
  EXPECT_EQ(LoadGeneral("format=PNG \n").format, OutputFormat::Jpg);
  EXPECT_EQ(LoadGeneral("format=\"PNG\"\n").format, OutputFormat::Png);  // quotes are removed first
}

TEST(SettingsFile, OnlyKeysInsideTheGeneralSectionCount) {
  Settings s = LoadFromFileText(
      "quality=10\n"          // before any section
      "[General]\n"
      "quality = 20\n"        // spaces around "=": key "quality " is unknown
      " recycle=true\n"       // leading space: unknown key
      "Format=PNG\n"          // keys are case-sensitive
      "no equals sign\n"
      "\n"
      "auto=true\n"
      "[Other]\n"
      "recursive=true\n"      // in another section
      "[General] \n"          // not exactly the header: still outside
      "silent_quick=true\n"
      "[General]\r\n"         // CRLF line ends are accepted
      "destination=1\r\n"
      "quality=30\r\n"
      "quality=31\n");        // the last occurrence wins
  Settings expected;
  expected.auto_ = true;
  expected.destination = Destination::Folder;
  expected.quality = 31;
  EXPECT_EQ(s, expected);

  // A byte-order mark hides the section header, so nothing is read.
  EXPECT_EQ(LoadFromFileText("\xEF\xBB\xBF[General]\nquality=50\nformat=PNG\n"), Settings{});
  // A last line without a line feed still counts.
  EXPECT_EQ(LoadFromFileText("[General]\nquality=50").quality, 50);
}

TEST(SettingsFile, QuotesAndDoubledBackslashesAreUndoneInValues) {
  EXPECT_EQ(LoadGeneral("folder=C:\\\\Photos\n").folder, L"C:\\Photos");
  EXPECT_EQ(LoadGeneral("folder=\"D:\\Out put\"\n").folder, L"D:\\Out put");
  EXPECT_EQ(LoadGeneral("folder=\\\\\\\\server\\\\share\n").folder, L"\\\\server\\share");
  EXPECT_EQ(LoadGeneral("folder=a\\\\\\b\n").folder, L"a\\\\b");  // three backslashes: the pair, then one
  EXPECT_EQ(LoadGeneral("folder=\"\n").folder, L"\"");            // a lone quotation mark stays
  EXPECT_EQ(LoadGeneral("folder=\"\"\n").folder, L"");
  EXPECT_EQ(LoadGeneral("folder=x=y\n").folder, L"x=y");           // split at the first "=" only
  EXPECT_EQ(LoadGeneral("folder= 照片 \n").folder, L" 照片 ");     // nothing is trimmed
}

TEST(SettingsFile, MissingOrUnreadableFilesGiveDefaults) {
  TempDir dir;
  {
    ScopedEnvironment env(kSettingsFileVariable, dir / L"absent.ini");
    EXPECT_EQ(LoadSettings(), Settings{});
    EXPECT_FALSE(std::filesystem::exists(dir / L"absent.ini"));
  }
  {
    ScopedEnvironment env(kSettingsFileVariable, dir.path().wstring());  // a folder
    EXPECT_EQ(LoadSettings(), Settings{});
  }
}

TEST(SettingsFile, FailedSavesRaiseAndLeaveNoTemporaryFile) {
  ComApartment com;
  TempDir dir;
  // The settings path is a folder: the temporary file cannot be renamed over it.
  std::filesystem::create_directories(dir / L"taken.ini");
  {
    ScopedEnvironment env(kSettingsFileVariable, dir / L"taken.ini");
    try {
      SaveSettings(Settings{});
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "無法儲存設定");
    }
  }
  // The parent "folder" is a file: creating the folder chain fails.
  test::WriteText(dir / L"plain", "x");
  {
    ScopedEnvironment env(kSettingsFileVariable, dir / L"plain\\sub\\s.ini");
    EXPECT_THROW(SaveSettings(Settings{}), std::exception);
  }
  std::vector<std::filesystem::path> expected{dir / L"plain", dir / L"taken.ini"};
  auto left = test::FilesIn(dir.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, expected);
}

// ---- Registry back end: the real HKEY_CURRENT_USER of the test prefix, cleaned up afterwards.

class RegistryValues {
 public:
  RegistryValues() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key_.put(), nullptr),
              ERROR_SUCCESS);
  }
  ~RegistryValues() {
    key_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsRegistryKey);
  }
  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    EXPECT_EQ(RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  void SetDword(const wchar_t* name, DWORD value) { Set(name, REG_DWORD, &value, sizeof value); }
  void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
    Set(name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  // The stored value: type and raw bytes.
  std::pair<DWORD, std::wstring> Get(const wchar_t* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key_.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {0, L"(none)"};
    std::wstring data(size / sizeof(wchar_t), L'\0');
    RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    return {type, data};
  }

 private:
  UniqueRegKey key_;
};

TEST(SettingsRegistry, SavesStringsLoadsTypedValuesAndIsUntouchedWhileAFileIsNamed) {
  ScopedEnvironment noFile(kSettingsFileVariable, std::nullopt);
  RegistryValues registry;

  EXPECT_EQ(LoadSettings(), Settings{});  // an empty key gives the defaults

  Settings saved;
  saved.recycle = true;
  saved.quality = 77;
  saved.destination = Destination::Folder;
  saved.format = OutputFormat::Png;
  saved.folder = L"C:\\Photos\\Out";
  SaveSettings(saved);
  EXPECT_EQ(registry.Get(L"folder"), (std::pair<DWORD, std::wstring>{REG_SZ, std::wstring(L"C:\\Photos\\Out\0", 14)}));
  EXPECT_EQ(registry.Get(L"quality"), (std::pair<DWORD, std::wstring>{REG_SZ, std::wstring(L"77\0", 3)}));
  EXPECT_EQ(registry.Get(L"auto"), (std::pair<DWORD, std::wstring>{REG_SZ, std::wstring(L"false\0", 6)}));
  EXPECT_EQ(LoadSettings(), saved);  // the folder keeps its backslashes

  // Numbers stored as REG_DWORD are read as unsigned decimal text.
  registry.SetDword(L"quality", 70);
  registry.SetDword(L"destination", 0);
  registry.SetDword(L"recycle", 0);
  registry.SetDword(L"auto", 1);
  Settings s = LoadSettings();
  EXPECT_EQ(s.quality, 70);
  EXPECT_EQ(s.destination, Destination::BesideSource);
  EXPECT_FALSE(s.recycle);
  EXPECT_TRUE(s.auto_);

  // 0xFFFFFFFF reads as 4294967295, which does not parse: quality and destination fall back.
  registry.SetDword(L"quality", 0xFFFFFFFF);
  registry.SetDword(L"destination", 1);
  s = LoadSettings();
  EXPECT_EQ(s.quality, 95);
  EXPECT_EQ(s.destination, Destination::BesideSource);

  // Other types are ignored and leave the defaults; a REG_SZ ends at its first NUL.
  registry.SetString(L"format", L"PNG", REG_EXPAND_SZ);
  registry.Set(L"recursive", REG_BINARY, "true", 4);
  registry.SetString(L"silent_quick", std::wstring(L"true\0junk", 9));
  registry.SetString(L"quality", L"55");
  s = LoadSettings();
  EXPECT_EQ(s.format, OutputFormat::Jpg);
  EXPECT_FALSE(s.recursive);
  EXPECT_TRUE(s.silent_quick);
  EXPECT_EQ(s.quality, 55);

  // With a settings file named, the registry is neither read nor written.
  {
    ComApartment com;
    TempDir dir;
    ScopedEnvironment file(kSettingsFileVariable, dir / L"s.ini");
    EXPECT_EQ(LoadSettings(), Settings{});
    Settings other;
    other.quality = 12;
    SaveSettings(other);
  }
  EXPECT_EQ(registry.Get(L"quality"), (std::pair<DWORD, std::wstring>{REG_SZ, std::wstring(L"55\0", 3)}));
}

}  // namespace
}  // namespace vellumora
