// The real VellumoraConvert.exe, started as a child process: run modes, message boxes, exit
// codes and the silent report. Message boxes are read and dismissed from here, so no test can
// hang on one.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/entry.h"
#include "app/quick_conversion.h"
#include "app/settings_store.h"
#include "app/single_instance.h"
#include "app_test_support.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace vellumora {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnvironment;
using test::TempDir;

constexpr wchar_t kFormatMessage[] = L"快速轉換格式必須是 JPG 或 PNG";

struct MessageBoxSeen {
  std::wstring caption;
  std::wstring text;
};

std::wstring WindowText(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

std::wstring ClassOf(HWND window) {
  wchar_t buffer[256] = {};
  GetClassNameW(window, buffer, 256);
  return buffer;
}

// Top-level windows of one process with the given class.
std::vector<HWND> WindowsOf(DWORD processId, const std::wstring& className) {
  struct Search {
    DWORD processId;
    const std::wstring* className;
    std::vector<HWND> found;
  } search{processId, &className, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s.processId && ClassOf(window) == *s.className) s.found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A started VellumoraConvert.exe.
class Program {
 public:
  explicit Program(const std::wstring& arguments) {
    const std::wstring exe = test::HostPath(VELLUMORA_EXE);
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
      ADD_FAILURE() << "cannot start " << ToUtf8(exe) << " (error " << GetLastError() << ")";
      return;
    }
    process_.reset(info.hProcess);
    CloseHandle(info.hThread);
    id_ = info.dwProcessId;
  }
  ~Program() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) TerminateProcess(process_.get(), 999);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  DWORD id() const { return id_; }

  // Waits for the process to end, reading and confirming every message box it shows on the
  // way. Returns the exit code, or nullopt after the time-out (the process is then ended).
  std::optional<DWORD> Finish(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    if (!process_) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::set<HWND> answered;
    std::map<HWND, int> emptyReads;
    while (WaitForSingleObject(process_.get(), 50) == WAIT_TIMEOUT) {
      for (HWND box : WindowsOf(id_, L"#32770")) {
        // A box is listed before it is filled in; read it once it is shown with its text.
        if (answered.count(box) || !IsWindowVisible(box)) continue;
        std::wstring text(1024, L'\0');
        text.resize(static_cast<size_t>(GetDlgItemTextW(box, 0xFFFF, text.data(), 1024)));
        if (text.empty() && ++emptyReads[box] < 40) continue;
        answered.insert(box);
        boxes.push_back({WindowText(box), text});
        PostMessageW(box, WM_COMMAND, IDOK, 0);
      }
      if (std::chrono::steady_clock::now() > deadline) {
        TerminateProcess(process_.get(), 999);
        ADD_FAILURE() << "the program did not end in time";
        return std::nullopt;
      }
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
  }

  // The main window of this process, once it exists.
  HWND WaitForWindow(const std::wstring& className) {
    for (int i = 0; i < 400; ++i) {
      const auto windows = WindowsOf(id_, className);
      if (!windows.empty()) return windows.front();
      if (WaitForSingleObject(process_.get(), 50) != WAIT_TIMEOUT) break;
    }
    return nullptr;
  }

  std::vector<MessageBoxSeen> boxes;

 private:
  UniqueHandle process_;
  DWORD id_ = 0;
};

// Each test: its own settings file (so its own instance name) and its own LOCALAPPDATA, both
// handed to the child through the inherited environment.
class ProgramRun : public ::testing::Test {
 protected:
  fs::path Logs() const { return local_.path() / L"VellumoraConvert" / L"logs"; }
  std::wstring SettingsFile() const { return settingsDir_ / L"settings.ini"; }
  void WriteSettings(const std::string& lines) { test::WriteText(SettingsFile(), "[General]\n" + lines); }

  // The one report of the run, or "" when there is none.
  std::string OnlyReport() const {
    const auto reports = test::FilesIn(Logs());
    EXPECT_LE(reports.size(), 1u);
    return reports.empty() ? std::string() : test::ReadText(reports.front());
  }

  TempDir local_;
  TempDir settingsDir_;
  TempDir photos_;
  ScopedEnvironment localAppData_{L"LOCALAPPDATA", local_.path().wstring()};
  ScopedEnvironment settings_{kSettingsFileVariable, settingsDir_ / L"settings.ini"};
};

TEST_F(ProgramRun, SilentQuickRunWithoutPathsWritesExactlyTheEmptyReport) {
  Program program(L"--quick JPG --silent");
  EXPECT_EQ(program.Finish(), std::optional<DWORD>(0));
  EXPECT_TRUE(program.boxes.empty());
  EXPECT_EQ(OnlyReport(), R"({"format":"JPG","results":[],"exit_code":0})");
  EXPECT_FALSE(fs::exists(SettingsFile())) << "a silent run saves nothing";
}

TEST_F(ProgramRun, InvalidQuickFormatIsReportedInABoxUnlessTheRunIsSilent) {
  {
    Program program(L"--quick jpg x.heic");
    EXPECT_EQ(program.Finish(), std::optional<DWORD>(1));
    ASSERT_EQ(program.boxes.size(), 1u);
    EXPECT_EQ(program.boxes[0].caption, L"Vellumora Convert");
    EXPECT_EQ(program.boxes[0].text, kFormatMessage);
  }
  {
    Program program(L"--quick jpg --silent x.heic");
    EXPECT_EQ(program.Finish(), std::optional<DWORD>(1));
    EXPECT_TRUE(program.boxes.empty());
  }
  {
    // --quick takes "--silent" as its value, so this run is not silent.
    Program program(L"--quick --silent");
    EXPECT_EQ(program.Finish(), std::optional<DWORD>(1));
    ASSERT_EQ(program.boxes.size(), 1u);
    EXPECT_EQ(program.boxes[0].text, kFormatMessage);
  }
  WriteSettings("silent_quick=true\n");
  {
    Program program(L"--quick --silent");  // silent through the setting: no box
    EXPECT_EQ(program.Finish(), std::optional<DWORD>(1));
    EXPECT_TRUE(program.boxes.empty());
  }
  EXPECT_EQ(OnlyReport(), "") << "a rejected format writes no report";
}

TEST_F(ProgramRun, SilentQuickSettingMakesAQuickStartSilentWithoutSavingTheFormat) {
  WriteSettings("silent_quick=true\nformat=JPG\n");
  const std::string before = test::ReadText(SettingsFile());
  const std::wstring missing = photos_ / L"不在.heic";
  Program program(L"--quick PNG \"" + missing + L"\"");
  EXPECT_EQ(program.Finish(), std::optional<DWORD>(1));
  EXPECT_TRUE(program.boxes.empty());
  EXPECT_EQ(OnlyReport(), R"({"format":"PNG","results":[],"error":)" + JsonString(L"來源不存在：" + missing + L"\n") +
                              R"(,"exit_code":1})");
  EXPECT_EQ(test::ReadText(SettingsFile()), before);
}

TEST_F(ProgramRun, SilentQuickRunConvertsARealPhotographAndReportsItsOutput) {
  const fs::path sample = fs::path(test::HostPath(VELLUMORA_SAMPLES_DIR)) / L"libheif" / L"rainbow-451x461.heic";
  if (!fs::exists(sample)) GTEST_SKIP() << "sample photographs are not available";
  const fs::path source = photos_.path() / L"彩虹 1.heic";
  fs::copy_file(sample, source);
  Program program(L"--silent \"" + source.wstring() + L"\" --quick JPG");
  EXPECT_EQ(program.Finish(std::chrono::seconds(100)), std::optional<DWORD>(0));
  EXPECT_TRUE(program.boxes.empty());
  std::vector<fs::path> outputs;
  for (const fs::path& file : test::FilesIn(photos_.path()))
    if (file != source) outputs.push_back(file);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(FoldCase(outputs[0].extension().wstring()), L".jpg");
  EXPECT_EQ(OnlyReport(), R"({"format":"JPG","results":[{"source":)" + JsonString(source.wstring()) +
                              R"(,"status":"完成","output":)" + JsonString(outputs[0].wstring()) +
                              R"(}],"exit_code":0})");
  EXPECT_TRUE(fs::exists(source)) << "recycling was not asked for";
}

TEST_F(ProgramRun, WindowRunTakesOverLaterStartsAndEndsWithZeroWhenClosed) {
  // --silent without --quick is an ordinary window run.
  Program first(L"--silent");
  const std::wstring className = InstanceName();  // from the same settings file as the child's
  const HWND window = first.WaitForWindow(className);
  ASSERT_NE(window, nullptr) << "no main window of class " << ToUtf8(className);
  EXPECT_EQ(WindowText(window), L"Vellumora Convert");
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
  const LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
  // WS_VSCROLL is given at creation, but the system takes it away again as soon as the layout
  // finds nothing to scroll, so only the lasting styles are compared.
  EXPECT_EQ(style & (WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN);
  EXPECT_EQ(exStyle & (WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES), WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES);
  RECT workArea{}, bounds{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
  GetWindowRect(window, &bounds);
  const SIZE expected = InitialWindowSize(static_cast<int>(GetDpiForSystem()), workArea);
  EXPECT_EQ(bounds.right - bounds.left, expected.cx);
  EXPECT_EQ(bounds.bottom - bounds.top, expected.cy);

  {
    // A later start hands its command line over, which restores the minimised window, and
    // ends with 0.
    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(window));
    Program second(L"");
    EXPECT_EQ(second.Finish(std::chrono::seconds(30)), std::optional<DWORD>(0));
    EXPECT_TRUE(second.boxes.empty());
    EXPECT_FALSE(IsIconic(window));
  }
  {
    // A silent quick run ignores the running window and its mutex.
    Program silent(L"--quick PNG --silent");
    EXPECT_EQ(silent.Finish(std::chrono::seconds(30)), std::optional<DWORD>(0));
    EXPECT_EQ(OnlyReport(), R"({"format":"PNG","results":[],"exit_code":0})");
  }
  EXPECT_TRUE(IsWindow(window));

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(first.Finish(std::chrono::seconds(30)), std::optional<DWORD>(0));
  EXPECT_TRUE(first.boxes.empty());
}

}  // namespace
}  // namespace vellumora
