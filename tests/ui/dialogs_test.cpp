// The pickers and the About box, shown for real and driven from a second thread, which
// always closes them so that no test is left waiting on a modal dialog.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/com_apartment.h"
#include "common/guid_text.h"
#include "ui/dialogs.h"
#include "dialogs_driver.h"
#include "version.h"

namespace vellumora {
namespace {

namespace fs = std::filesystem;
using test::Cancel;
using test::Choose;
using test::DialogDriver;
using test::kFileTypeCombo;
using test::TextOf;

class Pickers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(com_.result(), 0);
    root_ = fs::temp_directory_path() / (L"vc-pick-" + NewGuidText());
    fs::create_directories(root_ / L"out folder");
    for (const wchar_t* name : {L"a.heic", L"b b.HEIF", L"c.hif"}) std::ofstream(root_ / name) << "x";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::wstring Path(const wchar_t* name) const { return (root_ / name).wstring(); }

  ComApartment com_;
  fs::path root_;
};

TEST_F(Pickers, CancelledPickersGiveNothing) {
  for (const bool folders : {false, true}) {
    DialogDriver driver(Cancel());
    EXPECT_TRUE(PickPaths(folders, true).empty());
    driver.Join();
    EXPECT_TRUE(driver.sawDialog());
  }
}

TEST_F(Pickers, FilePickerOffersTheHeifFilterAndReturnsEveryChosenFileInOrder) {
  std::vector<std::wstring> filters;
  DialogDriver driver([&](HWND dialog) {
    HWND types = GetDlgItem(dialog, kFileTypeCombo);
    int count = 0;
    for (int waited = 0; (count = static_cast<int>(SendMessageW(types, CB_GETCOUNT, 0, 0))) <= 0 && waited < 5000;
         waited += 50)
      Sleep(50);
    for (int i = 0; i < count; ++i) {
      std::wstring item(static_cast<size_t>(SendMessageW(types, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
      item.resize(static_cast<size_t>(SendMessageW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
      filters.push_back(item);
    }
    Choose(L"\"" + Path(L"c.hif") + L"\" \"" + Path(L"b b.HEIF") + L"\"")(dialog);
  });
  const std::vector<std::wstring> paths = PickPaths(false, true);
  driver.Join();
  EXPECT_EQ(paths, (std::vector<std::wstring>{Path(L"c.hif"), Path(L"b b.HEIF")}));
  EXPECT_FALSE(driver.neededCancel());
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_EQ(filters[0].rfind(L"HEIC / HEIF 圖片", 0), 0u) << filters[0].size();
  EXPECT_EQ(filters[1].rfind(L"所有檔案", 0), 0u);
}

TEST_F(Pickers, FolderPickerReturnsTheChosenFolder) {
  std::wstring title;
  DialogDriver driver([&](HWND dialog) {
    title = TextOf(dialog);
    Choose(Path(L"out folder"))(dialog);
  });
  const std::vector<std::wstring> paths = PickPaths(true, false);
  driver.Join();
  EXPECT_EQ(paths, std::vector<std::wstring>{Path(L"out folder")});
  EXPECT_NE(title, L"Open");  // a folder picker, not a file picker
}

// ---- About box

TEST(AboutBox, TextNamesTheTeamAndLinksExactlyTheTwoAddresses) {
  const std::wstring text = AboutText();
  EXPECT_EQ(text,
            L"版本 " VELLUMORA_VERSION_WIDE L"\n\nVellumora Convert 團隊\n"
            L"電子郵件：<a href=\"mailto:team@vellumora.example\">team@vellumora.example</a>\n"
            L"網站：<a href=\"https://vellumora.example/\">https://vellumora.example/</a>");

  // Every href in the text is one the callback accepts.
  std::vector<std::wstring> hrefs;
  for (size_t at = text.find(L"href=\""); at != std::wstring::npos; at = text.find(L"href=\"", at + 1)) {
    const size_t start = at + 6;
    hrefs.push_back(text.substr(start, text.find(L'"', start) - start));
  }
  ASSERT_EQ(hrefs.size(), 2u);
  for (const std::wstring& href : hrefs) EXPECT_TRUE(IsAboutLink(href)) << hrefs.size();

  for (const wchar_t* other : {L"MAILTO:team@vellumora.example", L"https://vellumora.example", L"https://vellumora.example/x",
                               L"mailto:team@vellumora.example ", L"", L"file:///C:/Windows/notepad.exe"}) {
    EXPECT_FALSE(IsAboutLink(other)) << static_cast<int>(std::wstring(other).size());
  }
}

TEST(AboutBox, CallbackNeverOpensAnUnknownLink) {
  const fs::path folder = fs::temp_directory_path() / (L"vc-about-" + NewGuidText());
  fs::create_directories(folder);
  const fs::path script = folder / L"open.cmd";
  const fs::path marker = folder / L"opened.txt";
  std::ofstream(script) << "@echo opened> \"" << marker.string() << "\"\r\n";
  auto waitForMarker = [&] {
    for (int i = 0; i < 100 && !fs::exists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return fs::exists(marker);
  };

  const std::wstring href = script.wstring();
  EXPECT_EQ(AboutLinkCallback(nullptr, TDN_HYPERLINK_CLICKED, 0, reinterpret_cast<LPARAM>(href.c_str()), 0), S_OK);
  EXPECT_EQ(AboutLinkCallback(nullptr, TDN_CREATED, 0, reinterpret_cast<LPARAM>(href.c_str()), 0), S_OK);
  EXPECT_EQ(AboutLinkCallback(nullptr, TDN_HYPERLINK_CLICKED, 0, 0, 0), S_OK);
  EXPECT_FALSE(waitForMarker());

  // The same link opened directly does leave its mark, so the check above can see an opening.
  ShellExecuteW(nullptr, L"open", href.c_str(), nullptr, nullptr, SW_HIDE);
  EXPECT_TRUE(waitForMarker());
  std::error_code ec;
  for (int i = 0; i < 20 && fs::remove_all(folder, ec) == static_cast<std::uintmax_t>(-1); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST(AboutBox, ShowsTitleInstructionAndContentAndCloses) {
  ComApartment com;
  std::wstring title;
  std::vector<std::wstring> texts;
  DialogDriver driver([&](HWND dialog) {
    title = TextOf(dialog);
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM param) -> BOOL {
          reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(TextOf(child));
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    PostMessageW(dialog, WM_COMMAND, IDCLOSE, 0);
  });
  ShowAboutBox();
  driver.Join();
  EXPECT_EQ(title, L"關於程式");
  EXPECT_FALSE(driver.neededCancel());  // the Close button ends it
  auto shows = [&](const std::wstring& text) {
    for (const std::wstring& t : texts) {
      if (t == text) return true;
    }
    return false;
  };
  EXPECT_TRUE(shows(L"Vellumora Convert"));
  EXPECT_TRUE(shows(AboutText())) << texts.size();
}

}  // namespace
}  // namespace vellumora
