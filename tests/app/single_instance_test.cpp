// One window per user and settings file: the instance name, the mutex and the forwarding
// payload (the second starts of the real program are the entry's tests).
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "app/single_instance.h"
#include "common/guid_text.h"

namespace vellumora {
namespace {

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

}  // namespace
}  // namespace vellumora
