// One window per user and settings file: the instance name, the mutex, the forwarding
// payload, and second starts of the real program handing their command lines over.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/context_menu.h"
#include "app/single_instance.h"
#include "common/extended_path.h"
#include "ui/file_list.h"
#include "window_test_support.h"

namespace vellumora {
namespace {

using test::PumpUntilIdle;
using test::TestWindow;
using test::UiTempFolder;

TEST(InstanceName, IsTheFnv1aHashOfTheKeysUtf16Bytes) {
  EXPECT_EQ(InstanceNameForKey(L""), L"Vellumora.Native.14695981039346656037");
  EXPECT_EQ(InstanceNameForKey(L"a"), L"Vellumora.Native.620337896427418084");
  EXPECT_EQ(InstanceNameForKey(L"C:\\x\\settings.ini"), L"Vellumora.Native.7159118737238908865");
  EXPECT_NE(InstanceNameForKey(L"alice"), InstanceNameForKey(L"bob"));
}

TEST(InstanceName, KeyIsTheSettingsFileWhenSetElseTheUserName) {
  wchar_t user[256] = {};
  GetEnvironmentVariableW(L"USERNAME", user, 256);
  SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", nullptr);
  EXPECT_EQ(InstanceKey(), user);
  SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", L"");
  EXPECT_EQ(InstanceKey(), user);
  SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", L"D:\\one.ini");
  EXPECT_EQ(InstanceName(), InstanceNameForKey(L"D:\\one.ini"));
  SetEnvironmentVariableW(L"VELLUMORA_SETTINGS_FILE", nullptr);
}

TEST(InstanceMutex, SecondCreationSeesTheFirst) {
  const std::wstring name = InstanceNameForKey(L"mutex-test-" + NewGuidText());
  bool running = true;
  UniqueHandle first = CreateInstanceMutex(name, running);
  EXPECT_TRUE(first);
  EXPECT_FALSE(running);
  UniqueHandle second = CreateInstanceMutex(name, running);
  EXPECT_TRUE(running);
  // Another key is another instance.
  UniqueHandle other = CreateInstanceMutex(InstanceNameForKey(L"other-" + NewGuidText()), running);
  EXPECT_FALSE(running);
}

TEST(ForwardingPayload, OnlyWellFormedCommandLinesAreRead) {
  const wchar_t text[] = L"x.exe a.heic";
  const DWORD whole = sizeof(text);
  const auto read = [&](ULONG_PTR id, DWORD bytes, const void* data) {
    COPYDATASTRUCT payload{id, bytes, const_cast<void*>(data)};
    return ReadForwardedCommandLine(payload);
  };
  EXPECT_EQ(read(1, whole, text).value_or(L"-"), L"x.exe a.heic");
  EXPECT_FALSE(read(0, whole, text));
  EXPECT_FALSE(read(1, whole - 1, text));  // odd
  EXPECT_FALSE(read(1, whole - 2, text));  // last unit is not NUL
  EXPECT_FALSE(read(1, 0, text));
  EXPECT_FALSE(read(1, whole, nullptr));
  EXPECT_EQ(read(1, 2, L"").value_or(L"-"), L"");
  // The size limit is 16 MiB, inclusive.
  std::vector<wchar_t> big(0x1000000 / 2 + 1, L'a');
  big[0x1000000 / 2 - 1] = L'\0';
  EXPECT_EQ(read(1, 0x1000000, big.data()).value_or(L"").size(), 0x1000000u / 2 - 1);
  big[0x1000000 / 2] = L'\0';
  EXPECT_FALSE(read(1, 0x1000000 + 2, big.data()));
  // Text after an inner NUL is not part of the command line.
  const wchar_t inner[] = L"x.exe\0hidden";
  EXPECT_EQ(read(1, sizeof(inner), inner).value_or(L"-"), L"x.exe");
}

LRESULT CALLBACK RefusingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA) return FALSE;
  return DefWindowProcW(window, message, wParam, lParam);
}

TEST(Forwarding, AWindowThatRefusesOrNoWindowAtAllIsReported) {
  const std::wstring className = L"Vellumora.Test.Refusing." + NewGuidText();
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = RefusingWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className.c_str();
  ASSERT_TRUE(RegisterClassExW(&windowClass));
  HWND refusing = CreateWindowExW(0, className.c_str(), L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
  ASSERT_TRUE(refusing);
  EXPECT_FALSE(SendCommandLine(refusing, L"x.exe"));
  try {
    ForwardToRunningInstance(className);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "無法傳送檔案至現有視窗");
  }
  DestroyWindow(refusing);
  UnregisterClassW(className.c_str(), windowClass.hInstance);

  // Nobody answers: the search gives up after about five seconds.
  try {
    ForwardToRunningInstance(L"Vellumora.Test.Absent." + NewGuidText());
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "現有視窗尚未回應，請稍後再試");
  }
}

// ---- Later starts of the real program

std::wstring ProgramPath() {
  std::wstring path = ToUtf16(VELLUMORA_EXE);
  if (!path.empty() && path[0] == L'/') {  // a Unix path under Wine
    for (wchar_t& c : path)
      if (c == L'/') c = L'\\';
    path = L"Z:" + path;
  }
  return path;
}

HANDLE StartProgram(const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + ProgramPath() + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

// The texts of the message boxes that a process shows: a second start that cannot hand its
// command line over says so in a box, which nobody can close under the test's null display.
std::wstring MessageBoxTexts(DWORD processId) {
  struct Search {
    DWORD processId;
    std::wstring texts;
  } search{processId, {}};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto& search = *reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t className[32] = {};
        GetClassNameW(window, className, 32);
        if (owner != search.processId || std::wstring(className) != L"#32770") return TRUE;
        EnumChildWindows(
            window,
            [](HWND child, LPARAM context) -> BOOL {
              wchar_t text[512] = {};
              GetWindowTextW(child, text, 512);
              if (text[0]) *reinterpret_cast<std::wstring*>(context) += std::wstring(text) + L" | ";
              return TRUE;
            },
            reinterpret_cast<LPARAM>(&search.texts));
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.texts;
}

// Waits for the processes while this thread keeps answering its window's messages. A process
// still running after a minute is reported with any message box it shows, then ended, so the
// test fails with a reason well inside its time limit.
std::vector<DWORD> WaitForPrograms(std::vector<HANDLE> processes) {
  std::vector<DWORD> codes;
  test::PumpUntil(
      [&] {
        for (HANDLE process : processes)
          if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
        return true;
      },
      std::chrono::milliseconds(60000));
  for (HANDLE process : processes) {
    DWORD code = 999;
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process, &code);
    } else {
      ADD_FAILURE() << "a start still runs after a minute; its message boxes: "
                    << ToUtf8(MessageBoxTexts(GetProcessId(process)));
      TerminateProcess(process, 998);  // only our own children, and only after the time is up
      code = 998;
    }
    CloseHandle(process);
    codes.push_back(code);
  }
  return codes;
}

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
  HANDLE process = StartProgram(arguments);
  ASSERT_TRUE(process);
  EXPECT_EQ(WaitForPrograms({process}), std::vector<DWORD>{0});
  ASSERT_TRUE(PumpUntilIdle());
  const auto& rows = AppState().rows;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].source, photo);
  // Not a photograph: the decode fails, after the file itself was opened and read.
  EXPECT_NE(rows[0].message, L"無法讀取原檔（可能已移動或正在被其他程式修改）");
  EXPECT_EQ(rows[0].options.format, L"PNG");
  EXPECT_EQ(rows[0].options.quality, 95);
  EXPECT_NE(rows[0].status, RowStatus::Waiting);  // a quick request starts at once
  EXPECT_TRUE(IsWindowVisible(window_.hwnd()));
}

TEST_F(SecondStart, TenQuickStartsAtOnceAllLandInTheOneWindow) {
  UiTempFolder folder;
  std::vector<HANDLE> processes;
  for (int i = 0; i < 10; ++i) {
    const std::wstring photo = folder.MakeFakePhoto(L"IMG_" + std::to_wstring(i) + L".heic");
    HANDLE process = StartProgram(L"--quick JPG \"" + photo + L"\"");
    ASSERT_TRUE(process);
    processes.push_back(process);
  }
  EXPECT_EQ(WaitForPrograms(processes), std::vector<DWORD>(10, 0));
  ASSERT_TRUE(PumpUntilIdle()) << "pending scans " << AppState().pendingScans << ", converting "
                               << AppState().converting << ", rows " << AppState().rows.size();
  const auto& rows = AppState().rows;
  EXPECT_EQ(rows.size(), 10u);
  for (const ListRow& row : rows) EXPECT_EQ(row.options.format, L"JPG");
}

TEST_F(SecondStart, StartWithoutArgumentsRestoresTheWindow) {
  ShowWindow(window_.hwnd(), SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window_.hwnd()));
  HANDLE process = StartProgram(L"");
  ASSERT_TRUE(process);
  EXPECT_EQ(WaitForPrograms({process}), std::vector<DWORD>{0});
  EXPECT_FALSE(IsIconic(window_.hwnd()));
  EXPECT_TRUE(IsWindowVisible(window_.hwnd()));
  EXPECT_EQ(AppState().pendingScans, 0);
  EXPECT_TRUE(AppState().rows.empty());
}

}  // namespace
}  // namespace vellumora
