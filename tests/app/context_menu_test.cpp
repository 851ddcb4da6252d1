// Explorer context-menu registration against the prefix's real HKEY_CURRENT_USER.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/context_menu.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "tests/registry_test_support.h"

namespace vellumora {
namespace {

constexpr wchar_t kRoot[] = L"Software\\Classes\\SystemFileAssociations\\";

std::wstring ThisExecutable() {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::wstring(buffer.data(), n);
}

using test::KeyExists;

// A value's type and text, or type REG_NONE when it cannot be read.
struct RegText {
  DWORD type = REG_NONE;
  std::wstring text;
};
RegText ReadValue(const std::wstring& path, const wchar_t* name) {
  RegText value;
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, nullptr, &bytes) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, buffer.data(),
                   &bytes) != ERROR_SUCCESS) {
    return {};
  }
  value.text = buffer.data();
  return value;
}

void WriteValue(const std::wstring& path, const wchar_t* name, DWORD type, const std::wstring& text) {
  UniqueRegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

// Creates a key whose security descriptor (SDDL) governs what later opens may do.
void CreateKeyWithSecurity(const std::wstring& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
  const ScopeExit freeDescriptor([&] { LocalFree(descriptor); });
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  UniqueRegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_READ, &attributes, key.put(), nullptr),
            ERROR_SUCCESS);
}

// Creates the key volatile; the keys above it are made (if missing) as ordinary keys first.
void CreateVolatileKey(const std::wstring& path) {
  UniqueRegKey parent;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.substr(0, path.rfind(L'\\')).c_str(), 0, nullptr, 0, KEY_WRITE,
                            nullptr, parent.put(), nullptr),
            ERROR_SUCCESS);
  UniqueRegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS);
}

// Gives a key an open DACL again, so that it can be cleaned up.
void OpenUpKey(const std::wstring& path) {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, WRITE_DAC, key.put()) != ERROR_SUCCESS) return;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return;
  }
  RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
}

std::string MessageOf(void (*action)(bool), bool argument) {
  try {
    action(argument);
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
  return {};
}

// Every test runs alone against the registry (test cases may run as parallel processes in the
// same prefix), starts from no entries and leaves none behind.
class ContextMenuRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    lock_.emplace();
    ASSERT_TRUE(lock_->owned());
    for (const wchar_t* extension : kContextMenuExtensions) {
      if (!KeyExists(std::wstring(kRoot) + extension)) createdExtensions_.push_back(extension);
    }
    RemoveEverything();
    ASSERT_EQ(QueryContextMenuState(), 0);
  }

  void TearDown() override {
    RemoveEverything();
    for (const std::wstring& extension : createdExtensions_) {
      RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kRoot) + extension).c_str());
    }
    lock_.reset();
  }

  static void RemoveEverything() {
    for (const wchar_t* extension : kContextMenuExtensions) {
      for (const wchar_t* verb : kContextMenuVerbs) {
        const std::wstring key = ContextMenuVerbKey(extension, verb);
        OpenUpKey(key + L"\\command");
        OpenUpKey(key);
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
      }
    }
  }

  bool CreatedByThisTest(const std::wstring& extension) const {
    for (const std::wstring& created : createdExtensions_) {
      if (created == extension) return true;
    }
    return false;
  }

  static std::wstring Key(const wchar_t* extension, const wchar_t* verb) {
    return ContextMenuVerbKey(extension, verb);
  }

 private:
  std::optional<test::ContextMenuRegistryLock> lock_;
  std::vector<std::wstring> createdExtensions_;
};

TEST_F(ContextMenuRegistry, InstallWritesAllNineEntriesForThisExecutable) {
  SetContextMenuInstalled(true);
  EXPECT_EQ(QueryContextMenuState(), 2);

  const std::wstring exe = ThisExecutable();
  const wchar_t* const texts[] = {L"快速轉換為 JPG", L"快速轉換為 PNG", L"使用 Vellumora 開啟"};
  const wchar_t* const arguments[] = {L" --quick JPG", L" --quick PNG", L""};
  for (const wchar_t* extension : kContextMenuExtensions) {
    for (int v = 0; v < 3; ++v) {
      const std::wstring key = Key(extension, kContextMenuVerbs[v]);
      SCOPED_TRACE(ToUtf8(key));
      EXPECT_EQ(key, std::wstring(kRoot) + extension + L"\\shell\\" + kContextMenuVerbs[v]);
      const RegText menu = ReadValue(key, nullptr);
      EXPECT_EQ(menu.type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(menu.text, texts[v]);
      EXPECT_EQ(ReadValue(key, L"MultiSelectModel").text, L"Document");
      EXPECT_EQ(ReadValue(key, L"Icon").text, L"\"" + exe + L"\"");
      const RegText command = ReadValue(key + L"\\command", nullptr);
      EXPECT_EQ(command.type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(command.text, L"\"" + exe + L"\"" + arguments[v] + L" \"%1\"");
    }
  }

  // Installing again over a complete installation changes nothing.
  SetContextMenuInstalled(true);
  EXPECT_EQ(QueryContextMenuState(), 2);
}

TEST_F(ContextMenuRegistry, CommandOfAnotherExecutableGivesOneUntilInstalledAgain) {
  SetContextMenuInstalled(true);
  // What a copy of the program in another folder would have written for one verb.
  const std::wstring moved = ContextMenuCommandLine(L"Vellumora.Open", L"C:\\Program Files\\Elsewhere\\VellumoraConvert.exe");
  WriteValue(Key(L".hif", L"Vellumora.Open") + L"\\command", nullptr, REG_SZ, moved);
  EXPECT_EQ(QueryContextMenuState(), 1);

  SetContextMenuInstalled(true);  // repairs
  EXPECT_EQ(QueryContextMenuState(), 2);
  EXPECT_EQ(ReadValue(Key(L".hif", L"Vellumora.Open") + L"\\command", nullptr).text,
            ContextMenuCommandLine(L"Vellumora.Open", ThisExecutable()));
}

TEST_F(ContextMenuRegistry, CommandComparisonIgnoresLetterCaseButNotValueType) {
  SetContextMenuInstalled(true);
  const std::wstring command = Key(L".heif", L"Vellumora.PNG") + L"\\command";
  std::wstring upper = ReadValue(command, nullptr).text;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  ASSERT_NE(upper, ReadValue(command, nullptr).text);
  WriteValue(command, nullptr, REG_SZ, upper);
  EXPECT_EQ(QueryContextMenuState(), 2);

  // The same text stored as an expandable string is not what the program writes.
  WriteValue(command, nullptr, REG_EXPAND_SZ, ContextMenuCommandLine(L"Vellumora.PNG", ThisExecutable()));
  EXPECT_EQ(QueryContextMenuState(), 1);
}

TEST_F(ContextMenuRegistry, ASingleVerbKeyWithoutCommandGivesOne) {
  WriteValue(Key(L".hif", L"Vellumora.JPG"), nullptr, REG_SZ, L"快速轉換為 JPG");
  EXPECT_EQ(QueryContextMenuState(), 1);
}

TEST_F(ContextMenuRegistry, RemovalDeletesTheVerbKeysAndKeepsTheirParents) {
  SetContextMenuInstalled(true);
  SetContextMenuInstalled(false);
  EXPECT_EQ(QueryContextMenuState(), 0);
  for (const wchar_t* extension : kContextMenuExtensions) {
    EXPECT_TRUE(KeyExists(std::wstring(kRoot) + extension + L"\\shell"));
    for (const wchar_t* verb : kContextMenuVerbs) EXPECT_FALSE(KeyExists(Key(extension, verb)));
  }
  // Nothing left to remove is not a failure.
  EXPECT_NO_THROW(SetContextMenuInstalled(false));
  EXPECT_EQ(QueryContextMenuState(), 0);
}

// The uninstaller's clean-up: only entries that start this very file go, whatever their verb.
TEST_F(ContextMenuRegistry, UninstallCleanupRemovesOnlyTheVerbsThatStartThisExecutable) {
  SetContextMenuInstalled(true);
  const std::wstring exe = ThisExecutable();
  // A portable copy in another folder, and a file whose name merely begins like ours.
  WriteValue(Key(L".heic", L"Vellumora.JPG") + L"\\command", nullptr, REG_SZ,
             ContextMenuCommandLine(L"Vellumora.JPG", L"D:\\Portable\\VellumoraConvert.exe"));
  WriteValue(Key(L".hif", L"Vellumora.Open") + L"\\command", nullptr, REG_SZ, L"\"" + exe + L".old\" \"%1\"");
  // Ours, with other letter case and other arguments: still ours.
  std::wstring upper = L"\"" + exe + L"\" --quick JPG \"%1\"";
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  WriteValue(Key(L".heif", L"Vellumora.PNG") + L"\\command", nullptr, REG_SZ, upper);

  EXPECT_EQ(RemoveContextMenuOfThisExecutable(), 7);
  for (const wchar_t* extension : kContextMenuExtensions) {
    for (const wchar_t* verb : kContextMenuVerbs) {
      const bool foreign = (std::wstring(extension) == L".heic" && std::wstring(verb) == L"Vellumora.JPG") ||
                           (std::wstring(extension) == L".hif" && std::wstring(verb) == L"Vellumora.Open");
      EXPECT_EQ(KeyExists(Key(extension, verb)), foreign) << ToUtf8(Key(extension, verb));
    }
  }
  EXPECT_EQ(RemoveContextMenuOfThisExecutable(), 0);
}

// A volatile key may only hold volatile subkeys, so the program's (persistent) keys cannot be
// created below one: a registry refusal that Wine enforces as Windows does.
TEST_F(ContextMenuRegistry, InstallStopsAtTheFirstVerbKeyItCannotCreate) {
  if (!CreatedByThisTest(L".heif")) GTEST_SKIP() << "the .heif association key existed before the test";
  CreateVolatileKey(std::wstring(kRoot) + L".heif\\shell");

  EXPECT_EQ(MessageOf(SetContextMenuInstalled, true), "無法建立右鍵功能");
  // The three .heic entries before it are complete; nothing after it was touched.
  for (const wchar_t* verb : kContextMenuVerbs) {
    EXPECT_TRUE(KeyExists(Key(L".heic", verb) + L"\\command"));
    EXPECT_FALSE(KeyExists(Key(L".heif", verb)));
    EXPECT_FALSE(KeyExists(Key(L".hif", verb)));
  }
  EXPECT_EQ(QueryContextMenuState(), 1);
}

TEST_F(ContextMenuRegistry, InstallStopsAtTheFirstCommandKeyItCannotCreate) {
  // The fifth verb key exists already, volatile: its values can be written, its command key not.
  CreateVolatileKey(Key(L".heif", L"Vellumora.PNG"));

  EXPECT_EQ(MessageOf(SetContextMenuInstalled, true), "無法建立右鍵功能");
  EXPECT_TRUE(KeyExists(Key(L".heif", L"Vellumora.JPG") + L"\\command"));
  EXPECT_EQ(ReadValue(Key(L".heif", L"Vellumora.PNG"), L"Icon").text, L"\"" + ThisExecutable() + L"\"");
  EXPECT_FALSE(KeyExists(Key(L".heif", L"Vellumora.PNG") + L"\\command"));
  EXPECT_FALSE(KeyExists(Key(L".heif", L"Vellumora.Open")));
  EXPECT_FALSE(KeyExists(Key(L".hif", L"Vellumora.JPG")));
  EXPECT_EQ(QueryContextMenuState(), 1);
}

// Wine does not enforce key security descriptors (the probe below then skips); Windows does.
TEST_F(ContextMenuRegistry, RemovalStopsAtTheFirstKeyItCannotDelete) {
  SetContextMenuInstalled(true);
  // Replace the second verb's command key by one that may not be deleted.
  const std::wstring command = Key(L".heic", L"Vellumora.PNG") + L"\\command";
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, command.c_str()), ERROR_SUCCESS);
  CreateKeyWithSecurity(command, L"D:P(A;;KR;;;WD)(A;;WD;;;WD)");
  {
    UniqueRegKey probe;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, command.c_str(), 0, DELETE, probe.put()) == ERROR_SUCCESS) {
      GTEST_SKIP() << "this registry does not enforce key security descriptors";
    }
  }

  EXPECT_EQ(MessageOf(SetContextMenuInstalled, false), "移除右鍵功能失敗");
  EXPECT_FALSE(KeyExists(Key(L".heic", L"Vellumora.JPG")));
  EXPECT_TRUE(KeyExists(Key(L".heic", L"Vellumora.PNG")));
  EXPECT_TRUE(KeyExists(Key(L".hif", L"Vellumora.Open") + L"\\command"));
  EXPECT_EQ(QueryContextMenuState(), 1);
}

}  // namespace
}  // namespace vellumora
