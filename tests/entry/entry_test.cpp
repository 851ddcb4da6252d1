// The real VellumoraConvert.exe, started as a child process: run modes, message boxes, exit
// codes, the silent report, and later starts handing their command lines to a running window.
// Message boxes are read and dismissed from here, so no test can hang on one.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/context_menu.h"
#include "app/quick_conversion.h"
#include "app/settings_store.h"
#include "app/single_instance.h"
#include "common/extended_path.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "tests/app/app_test_support.h"
#include "tests/ui/window_test_support.h"
#include "ui/layout.h"

namespace vellumora {
namespace {

namespace fs = std::filesystem;
using test::PumpUntilIdle;
using test::ScopedEnvironment;
using test::TempDir;
using test::TestWindow;
using test::UiTempFolder;

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
    const HANDLE process = process_.get();
    while (MsgWaitForMultipleObjects(1, &process, FALSE, 50, QS_ALLINPUT) != WAIT_OBJECT_0) {
      // This thread's own window (a second start's running instance) answers the program meanwhile.
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
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
  const TrackSize expected = InitialWindowSize(static_cast<int>(GetDpiForSystem()), workArea.right - workArea.left,
                                               workArea.bottom - workArea.top);
  EXPECT_EQ(bounds.right - bounds.left, expected.width);
  EXPECT_EQ(bounds.bottom - bounds.top, expected.height);

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

// ---- Later starts while a window runs

// The running instance here is this test's own window under the instance name, with the
// instance mutex held, as the program's first start would have them.
class SecondStart : public ::testing::Test {
 protected:
  void SetUp() override {
    bool running = true;
    mutex_ = CreateInstanceMutex(InstanceName(), running);
    ASSERT_FALSE(running);
  }
  TestWindow window_;
  UniqueHandle mutex_;
};

TEST_F(SecondStart, QuickStartHandsItsFilesToTheRunningWindowAndExitsWithZero) {
  UiTempFolder folder;
  // The Explorer verb's own command line for a photograph beyond 260 characters, below a folder
  // whose name ends in a dot, with emoji in the names: the path reaches the list as it is.
  std::vector<std::wstring> folders{folder / L"旅行."};
  while (folders.back().size() < 300) folders.push_back(folders.back() + L"\\相片\U0001F600資料夾長長長長長長長長");
  for (const std::wstring& made : folders) ASSERT_TRUE(CreateDirectoryW(ExtendedLengthPath(made).c_str(), nullptr));
  const std::wstring photo = folders.back() + L"\\相片 1.heic";
  folder.MakeFakePhoto(photo.substr(folder.path().wstring().size() + 1));
  const ScopeExit removeTree([&] {
    DeleteFileW(ExtendedLengthPath(photo).c_str());
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) RemoveDirectoryW(ExtendedLengthPath(*it).c_str());
  });
  std::wstring arguments = ContextMenuCommandLine(L"Vellumora.PNG", L"program.exe");
  arguments = arguments.substr(arguments.find(L"--quick"));
  arguments.replace(arguments.find(L"%1"), 2, photo);
  Program program(arguments);
  EXPECT_EQ(program.Finish(), std::optional<DWORD>(0));
  EXPECT_TRUE(program.boxes.empty());
  ASSERT_TRUE(PumpUntilIdle());
  const auto& rows = AppState().rows;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].source, photo);
  // Not a photograph: the decode fails, after the file itself was opened and read.
  EXPECT_NE(rows[0].message, L"無法讀取原檔（可能已移動或正在被其他程式修改）");
  EXPECT_EQ(rows[0].options.format, OutputFormat::Png);
  EXPECT_EQ(rows[0].options.quality, 95);
  EXPECT_NE(rows[0].status, RowStatus::Waiting);  // a quick request starts at once
  EXPECT_TRUE(IsWindowVisible(window_.hwnd()));
}

TEST_F(SecondStart, TenQuickStartsAtOnceAllLandInTheOneWindow) {
  UiTempFolder folder;
  std::vector<std::unique_ptr<Program>> programs;
  for (int i = 0; i < 10; ++i)
    programs.push_back(std::make_unique<Program>(
        L"--quick JPG \"" + folder.MakeFakePhoto(L"IMG_" + std::to_wstring(i) + L".heic") + L"\""));
  for (const auto& program : programs) EXPECT_EQ(program->Finish(), std::optional<DWORD>(0));
  ASSERT_TRUE(PumpUntilIdle()) << "pending scans " << AppState().pendingScans << ", converting "
                               << AppState().converting << ", rows " << AppState().rows.size();
  const auto& rows = AppState().rows;
  EXPECT_EQ(rows.size(), 10u);
  for (const ListRow& row : rows) EXPECT_EQ(row.options.format, OutputFormat::Jpg);
}

TEST_F(SecondStart, StartWithoutArgumentsRestoresTheWindow) {
  ShowWindow(window_.hwnd(), SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window_.hwnd()));
  Program program(L"");
  EXPECT_EQ(program.Finish(), std::optional<DWORD>(0));
  EXPECT_FALSE(IsIconic(window_.hwnd()));
  EXPECT_TRUE(IsWindowVisible(window_.hwnd()));
  EXPECT_EQ(AppState().pendingScans, 0);
  EXPECT_TRUE(AppState().rows.empty());
}

}  // namespace
}  // namespace vellumora
