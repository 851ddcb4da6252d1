// The options panel in the real (hidden) main window: every control change is saved at once
// to the settings file, waiting rows follow the auto-mode rules, and the command buttons
// reach their pickers, the About box and the context-menu registration.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/context_menu.h"
#include "app/settings_store.h"
#include "common/com_apartment.h"
#include "common/unique_handle.h"
#include "ui/options_panel.h"
#include "ui/run_control.h"
#include "tests/registry_test_support.h"
#include "dialogs_driver.h"
#include "window_test_support.h"

namespace vellumora {
namespace {

using test::Click;
using test::ControlEnabled;
using test::ControlText;
using test::DialogDriver;
using test::PumpUntilIdle;
using test::SendScanResult;
using test::TestWindow;
using test::UiTempFolder;

void SelectItem(int id, int index) {
  SendMessageW(GetControl(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  SendMessageW(AppState().window, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(GetControl(id)));
}

void SetCheck(int id, bool checked) {
  SendMessageW(GetControl(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  Click(id);
}

void DragQuality(int position) {
  SendMessageW(GetControl(IDC_QUALITY), TBM_SETPOS, TRUE, position);
  SendMessageW(AppState().window, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, position),
               reinterpret_cast<LPARAM>(GetControl(IDC_QUALITY)));
}

// Typing into the folder box: the edit control itself reports EN_CHANGE to the window.
void TypeFolder(const std::wstring& text) { SetWindowTextW(GetControl(IDC_FOLDER), text.c_str()); }

void LeaveFolderBox() {
  SendMessageW(AppState().window, WM_COMMAND, MAKEWPARAM(IDC_FOLDER, EN_KILLFOCUS),
               reinterpret_cast<LPARAM>(GetControl(IDC_FOLDER)));
}

// The settings file keeps a folder with forward slashes.
std::wstring AsSaved(std::wstring folder) {
  for (wchar_t& c : folder) {
    if (c == L'\\') c = L'/';
  }
  return folder;
}

std::wstring SettingsFile() {
  wchar_t buffer[1024] = {};
  GetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", buffer, 1024);
  return buffer;
}

TEST(OptionsPanel, EveryChangeIsSavedAtOnceAndCreatingSavesNothing) {
  TestWindow window;
  ASSERT_TRUE(window.hwnd());
  // Filling the controls at creation raised notifications, but nothing was written.
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));

  SelectItem(IDC_FORMAT, 1);
  EXPECT_EQ(LoadSettings().format, OutputFormat::Png);
  EXPECT_FALSE(ControlEnabled(IDC_QUALITY));
  SelectItem(IDC_FORMAT, 0);
  EXPECT_EQ(LoadSettings().format, OutputFormat::Jpg);
  EXPECT_TRUE(ControlEnabled(IDC_QUALITY));

  DragQuality(61);
  EXPECT_EQ(LoadSettings().quality, 61);
  EXPECT_EQ(ControlText(IDC_QUALITY_LABEL), L"JPG 品質  61");

  EXPECT_FALSE(ControlEnabled(IDC_FOLDER));
  SelectItem(IDC_DESTINATION, 1);
  EXPECT_EQ(LoadSettings().destination, Destination::Folder);
  EXPECT_TRUE(ControlEnabled(IDC_FOLDER));
  EXPECT_TRUE(ControlEnabled(IDC_BROWSE_FOLDER));

  TypeFolder(L"D:\\相片");
  EXPECT_EQ(LoadSettings().folder, L"D:/相片");
  TypeFolder(L"D:\\相片 2");  // every keystroke is kept
  EXPECT_EQ(LoadSettings().folder, L"D:/相片 2");

  SetCheck(IDC_RECYCLE, true);
  EXPECT_TRUE(LoadSettings().recycle);
  SetCheck(IDC_RECURSIVE, true);
  EXPECT_TRUE(LoadSettings().recursive);
  SetCheck(IDC_SILENT, true);
  EXPECT_TRUE(LoadSettings().silent_quick);
  SetCheck(IDC_AUTO, true);
  EXPECT_TRUE(LoadSettings().auto_);
  EXPECT_EQ(ControlText(IDC_START), L"全自動轉換已啟用");
  SetCheck(IDC_RECYCLE, false);
  EXPECT_FALSE(LoadSettings().recycle);

  Settings expected = AppState().settings;
  expected.folder = AsSaved(expected.folder);
  EXPECT_EQ(LoadSettings(), expected);
}

TEST(OptionsPanel, ASaveFailureIsShownAndTheChangeStays) {
  TestWindow window;
  UiTempFolder folder;
  // A folder cannot be written as a file.
  SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", folder.path().c_str());
  std::string expected;
  try {
    SaveSettings(Settings{});
  } catch (const std::exception& failure) {
    expected = failure.what();
  }
  ASSERT_FALSE(expected.empty());

  SelectItem(IDC_FORMAT, 1);
  EXPECT_EQ(ControlText(IDC_STATUS), ToUtf16(expected));
  EXPECT_EQ(AppState().settings.format, OutputFormat::Png);
  EXPECT_FALSE(ControlEnabled(IDC_QUALITY));
}

TEST(OptionsPanel, AutoModeRetargetsWaitingRowsAsTheRulesSay) {
  Settings settings;
  settings.destination = Destination::Folder;  // no folder yet: nothing can start, so the rows stay inspectable
  TestWindow window(settings);
  UiTempFolder folder;
  SendScanResult({folder.MakeFakePhoto(L"a.heic"), folder.MakeFakePhoto(L"b.heic"), folder.MakeFakePhoto(L"c.heic")},
                 settings);
  auto& rows = AppState().rows;
  ASSERT_EQ(rows.size(), 3u);
  rows[2].status = RowStatus::Done;
  const Settings doneOptions = rows[2].options;
  for (const ListRow& row : rows) EXPECT_FALSE(row.queued);

  // Auto on: every waiting row is queued with the current settings; done rows stay as they are.
  AppState().stopRequested = true;
  SetCheck(IDC_AUTO, true);
  EXPECT_FALSE(AppState().stopRequested);
  for (int i : {0, 1}) {
    EXPECT_TRUE(rows[i].queued);
    EXPECT_EQ(rows[i].options, AppState().settings);
    EXPECT_EQ(rows[i].status, RowStatus::Waiting);
  }
  EXPECT_FALSE(rows[2].queued);
  EXPECT_EQ(rows[2].options, doneOptions);
  EXPECT_EQ(ControlText(IDC_STATUS), kNeedFolderText);

  // With auto already on, a new format reaches only a waiting row that was not queued.
  rows[1].queued = false;
  SelectItem(IDC_FORMAT, 1);
  EXPECT_EQ(rows[0].options.format, OutputFormat::Jpg);
  EXPECT_EQ(rows[1].options.format, OutputFormat::Png);
  EXPECT_TRUE(rows[1].queued);
  EXPECT_EQ(rows[2].options, doneOptions);

  // Typing a folder saves it but leaves the queued rows' empty folder; leaving the box fills it
  // and the first row starts at once.
  const std::wstring out = folder / L"out";
  std::filesystem::create_directories(out);
  TypeFolder(out);
  EXPECT_EQ(LoadSettings().folder, AsSaved(out));
  EXPECT_EQ(rows[0].options.folder, L"");
  EXPECT_EQ(rows[0].status, RowStatus::Waiting);
  LeaveFolderBox();
  EXPECT_EQ(rows[0].options.folder, out);
  EXPECT_EQ(rows[0].options.format, OutputFormat::Jpg);  // only the folder (and destination) were filled in
  EXPECT_EQ(rows[0].status, RowStatus::Converting);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(rows[0].status, RowStatus::Failed);  // not a real photograph
  EXPECT_EQ(rows[1].status, RowStatus::Failed);
  EXPECT_EQ(rows[2].status, RowStatus::Done);
}

TEST(OptionsPanel, TurningAutoOffLeavesRowsAsTheyAre) {
  Settings settings;
  settings.auto_ = true;
  settings.destination = Destination::Folder;
  TestWindow window(settings);
  UiTempFolder folder;
  SendScanResult({folder.MakeFakePhoto(L"a.heic")}, settings);
  auto& rows = AppState().rows;
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_TRUE(rows[0].queued);
  SetCheck(IDC_AUTO, false);
  SelectItem(IDC_FORMAT, 1);
  EXPECT_TRUE(rows[0].queued);
  EXPECT_EQ(rows[0].options.format, OutputFormat::Jpg);
  EXPECT_FALSE(LoadSettings().auto_);
}

TEST(OptionsPanel, BrowseFillsTheFolderBoxAndCancelChangesNothing) {
  ComApartment com;  // the program's UI thread is a single-threaded apartment
  Settings settings;
  settings.destination = Destination::Folder;
  TestWindow window(settings);
  UiTempFolder folder;
  const std::wstring chosen = folder / L"輸出 資料夾";
  std::filesystem::create_directories(chosen);
  {
    DialogDriver driver(test::Choose(chosen));
    Click(IDC_BROWSE_FOLDER);
  }
  EXPECT_EQ(ControlText(IDC_FOLDER), chosen);
  EXPECT_EQ(LoadSettings().folder, AsSaved(chosen));

  const std::wstring status = ControlText(IDC_STATUS);
  {
    DialogDriver driver(test::Cancel());
    Click(IDC_BROWSE_FOLDER);
    driver.Join();
    EXPECT_TRUE(driver.sawDialog());
  }
  EXPECT_EQ(ControlText(IDC_FOLDER), chosen);
  EXPECT_EQ(ControlText(IDC_STATUS), status);
}

TEST(OptionsPanel, AddButtonsScanWhatWasPicked) {
  ComApartment com;
  TestWindow window;
  UiTempFolder folder;
  const std::wstring a = folder.MakeFakePhoto(L"a.heic");
  const std::wstring b = folder.MakeFakePhoto(L"b.hif");
  std::filesystem::create_directories(folder.path() / L"more");
  const std::wstring c = folder.MakeFakePhoto(L"more\\c.heif");
  {
    DialogDriver driver(test::Choose(L"\"" + b + L"\" \"" + a + L"\""));
    Click(IDC_ADD_FILES);
  }
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(AppState().rows.size(), 2u);
  EXPECT_EQ(AppState().rows[0].source, b);
  EXPECT_EQ(AppState().rows[1].source, a);

  {
    DialogDriver driver(test::Cancel());
    Click(IDC_ADD_FOLDER);
  }
  EXPECT_EQ(AppState().pendingScans, 0);  // a cancelled pick starts no scan
  {
    DialogDriver driver(test::Choose(folder / L"more"));
    Click(IDC_ADD_FOLDER);
  }
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(AppState().rows.size(), 3u);
  EXPECT_EQ(AppState().rows[2].source, c);
}

TEST(OptionsPanel, AboutButtonShowsTheAboutBox) {
  TestWindow window;
  const std::wstring status = ControlText(IDC_STATUS);
  std::wstring title;
  DialogDriver driver([&](HWND dialog) {
    title = test::TextOf(dialog);
    PostMessageW(dialog, WM_COMMAND, IDCLOSE, 0);
  });
  Click(IDC_ABOUT);
  driver.Join();
  EXPECT_EQ(title, L"關於程式");
  EXPECT_EQ(ControlText(IDC_STATUS), status);
}

// ---- Context-menu buttons, against the prefix's real registry.

// Serialises registry tests across test processes and removes every entry before and after.
class ContextMenuButtons : public ::testing::Test {
 protected:
  void SetUp() override {
    lock_.emplace();
    ASSERT_TRUE(lock_->owned());
    for (const wchar_t* extension : kContextMenuExtensions) {
      if (!KeyExists(kRoot + extension)) created_.push_back(kRoot + extension);
    }
    heifExisted_ = KeyExists(kHeifKey);
    RemoveEntries();
  }
  void TearDown() override {
    RemoveEntries();
    for (const std::wstring& key : created_) RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    lock_.reset();
  }
  static bool KeyExists(const std::wstring& path) { return test::KeyExists(path); }
  // The verb keys and this program's verb classes (a failed install leaves its classes behind).
  static void RemoveEntries() {
    for (const wchar_t* verb : kContextMenuVerbs) {
      for (const wchar_t* extension : kContextMenuExtensions)
        RegDeleteTreeW(HKEY_CURRENT_USER, ContextMenuVerbKey(extension, verb).c_str());
      RegDeleteTreeW(HKEY_CURRENT_USER, VerbClassKey(VerbClassId(verb, ThisExecutablePath())).c_str());
    }
  }
  inline static const std::wstring kRoot = L"Software\\Classes\\SystemFileAssociations\\";
  inline static const std::wstring kHeifKey = kRoot + L".heif";
  bool heifExisted_ = false;

 private:
  std::vector<std::wstring> created_;
  std::optional<test::ContextMenuRegistryLock> lock_;
};

TEST_F(ContextMenuButtons, InstallAndRemoveFollowTheRegistration) {
  TestWindow window;
  EXPECT_TRUE(ControlEnabled(IDC_MENU_INSTALL));
  EXPECT_FALSE(ControlEnabled(IDC_MENU_REMOVE));

  Click(IDC_MENU_INSTALL);
  EXPECT_EQ(QueryContextMenuState(), 2);
  EXPECT_EQ(ControlText(IDC_STATUS), kMenuInstalledText);
  EXPECT_FALSE(ControlEnabled(IDC_MENU_INSTALL));
  EXPECT_TRUE(ControlEnabled(IDC_MENU_REMOVE));

  Click(IDC_MENU_REMOVE);
  EXPECT_EQ(QueryContextMenuState(), 0);
  EXPECT_EQ(ControlText(IDC_STATUS), kMenuRemovedText);
  EXPECT_TRUE(ControlEnabled(IDC_MENU_INSTALL));
  EXPECT_FALSE(ControlEnabled(IDC_MENU_REMOVE));
}

TEST_F(ContextMenuButtons, AFailedInstallShowsItsMessageAndThePartialState) {
  if (heifExisted_) GTEST_SKIP() << "the .heif association key existed before the test";
  // A volatile key cannot hold the persistent verb keys: installation stops at .heif.
  UniqueRegKey heif, shell;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kHeifKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, heif.put(),
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (kHeifKey + L"\\shell").c_str(), 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_WRITE, nullptr, shell.put(), nullptr),
            ERROR_SUCCESS);
  TestWindow window;
  Click(IDC_MENU_INSTALL);
  EXPECT_EQ(ControlText(IDC_STATUS), L"無法建立右鍵功能");
  EXPECT_EQ(QueryContextMenuState(), 1);
  // Partly installed: both installing (to repair) and removing are offered.
  EXPECT_TRUE(ControlEnabled(IDC_MENU_INSTALL));
  EXPECT_TRUE(ControlEnabled(IDC_MENU_REMOVE));
}

}  // namespace
}  // namespace vellumora
