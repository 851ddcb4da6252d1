// Explorer context-menu registration against the prefix's real HKEY_CURRENT_USER.
#include <windows.h>
#include <commctrl.h>
#include <objidl.h>
#include <sddl.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/context_menu.h"
#include "app/quick_conversion.h"
#include "app/settings_store.h"
#include "app/single_instance.h"
#include "app_test_support.h"
#include "common/com_apartment.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "tests/registry_test_support.h"
#include "ui/control_ids.h"

namespace vellumora {
namespace {

constexpr wchar_t kRoot[] = L"Software\\Classes\\SystemFileAssociations\\";
constexpr wchar_t kPortable[] = L"D:\\Portable\\VellumoraConvert.exe";  // another copy of the program

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
    for (const std::wstring& exe : {ThisExecutable(), std::wstring(kPortable), test::HostPath(VELLUMORA_EXE)}) {
      for (const wchar_t* verb : kContextMenuVerbs) RegDeleteTreeW(HKEY_CURRENT_USER, VerbClassKey(VerbClassId(verb, exe)).c_str());
    }
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
      EXPECT_EQ(ReadValue(key, L"MultiSelectModel").text, L"Player");
      // The COM way in: this executable's own class for the verb, served by this executable.
      const GUID id = VerbClassId(kContextMenuVerbs[v], exe);
      EXPECT_EQ(ReadValue(key + L"\\DropTarget", L"CLSID").text, ClassIdText(id));
      EXPECT_EQ(ReadValue(VerbClassKey(id) + L"\\LocalServer32", nullptr).text, L"\"" + exe + L"\"");
      EXPECT_NE(id, VerbClassId(kContextMenuVerbs[(v + 1) % 3], exe));
      EXPECT_NE(id, VerbClassId(kContextMenuVerbs[v], kPortable));
      EXPECT_EQ(ReadValue(key, L"Icon").text, L"\"" + exe + L"\"");
      const RegText command = ReadValue(key + L"\\command", nullptr);
      EXPECT_EQ(command.type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(command.text, L"\"" + exe + L"\"" + arguments[v] + L" \"%1\"");
    }
  }

  // Installing again over a complete installation changes nothing.
  SetContextMenuInstalled(true);
  EXPECT_EQ(QueryContextMenuState(), 2);
  // A class that no longer starts this executable is not a complete installation.
  WriteValue(VerbClassKey(VerbClassId(L"Vellumora.PNG", exe)) + L"\\LocalServer32", nullptr, REG_SZ, L"\"x.exe\"");
  EXPECT_EQ(QueryContextMenuState(), 1);
}

// Each copy's registration is its own: the uninstaller of one leaves another's whole; the
// window's removal, or an installation over it, leaves no key of the copy it replaces.
TEST_F(ContextMenuRegistry, CopiesOfTheProgramKeepTheirOwnClasses) {
  const std::wstring exe = ThisExecutable();
  SetContextMenuInstalledFor(true, kPortable);
  EXPECT_EQ(QueryContextMenuState(), 1);
  EXPECT_EQ(RemoveContextMenuOfThisExecutable(), 0);
  EXPECT_EQ(QueryContextMenuStateFor(kPortable), 2);

  SetContextMenuInstalled(true);  // over the portable copy's entries
  EXPECT_EQ(QueryContextMenuStateFor(kPortable), 1);
  for (const wchar_t* verb : kContextMenuVerbs) EXPECT_FALSE(KeyExists(VerbClassKey(VerbClassId(verb, kPortable))));
  SetContextMenuInstalledFor(true, kPortable);
  EXPECT_EQ(RemoveContextMenuOfExecutable(kPortable), 9);
  SetContextMenuInstalledFor(true, kPortable);
  SetContextMenuInstalled(false);  // the window's button removes whoever's entries and their classes
  for (const std::wstring& copy : {exe, std::wstring(kPortable)}) {
    EXPECT_EQ(QueryContextMenuStateFor(copy), 0);
    for (const wchar_t* verb : kContextMenuVerbs) EXPECT_FALSE(KeyExists(VerbClassKey(VerbClassId(verb, copy))));
  }
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

// Plays Explorer: the selection as a CF_HDROP data object (or one without files), dropped on
// the registered verb class, which COM starts out of process as VellumoraConvert.exe.
class FileDrop final : public IDataObject {
 public:
  FileDrop(const std::vector<std::wstring>& paths, bool offersFiles) : offersFiles_(offersFiles) {
    std::wstring list;
    for (const std::wstring& path : paths) list += path + L'\0';
    list += L'\0';
    bytes_.resize(sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
    DROPFILES header{sizeof(DROPFILES), {}, FALSE, TRUE};
    std::memcpy(bytes_.data(), &header, sizeof header);
    std::memcpy(bytes_.data() + sizeof header, list.data(), list.size() * sizeof(wchar_t));
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IDataObject ? static_cast<IDataObject*>(this) : nullptr;
    if (*out) AddRef();
    return *out ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_ ? refs_ : (delete this, 0u); }
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
    std::memcpy(GlobalLock(copy), bytes_.data(), bytes_.size());
    GlobalUnlock(copy);
    *medium = STGMEDIUM{TYMED_HGLOBAL, {.hGlobal = copy}, nullptr};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* f) override {
    return offersFiles_ && f->cfFormat == CF_HDROP && (f->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_FORMATETC;
  }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

 private:
  ULONG refs_ = 1;
  bool offersFiles_;
  std::vector<std::uint8_t> bytes_;
};

class VerbDrops : public ContextMenuRegistry {
 protected:
  void SetUp() override {
    ContextMenuRegistry::SetUp();
    const std::filesystem::path fixture = std::filesystem::path(test::HostPath(VELLUMORA_FIXTURES_DIR)) / L"rgb-1x1.heic";
    if (!std::filesystem::exists(fixture)) GTEST_SKIP() << "the test photographs are not available";
    SetContextMenuInstalledFor(true, exe_);
    // Wine's COM looks classes up under HKLM only (Windows merges the user's classes in).
    for (const wchar_t* verb : kContextMenuVerbs) {
      const std::wstring key = VerbClassKey(VerbClassId(verb, exe_)) + L"\\LocalServer32";
      const std::wstring server = ReadValue(key, nullptr).text;
      ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, server.c_str(),
                                static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t))), ERROR_SUCCESS);
    }
    for (int i = 0; i < 1000; ++i)
      std::filesystem::copy_file(fixture, photos_ / (L"相片 " + std::to_wstring(i) + L".heic"));
  }
  void TearDown() override {
    for (const wchar_t* verb : kContextMenuVerbs)
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, VerbClassKey(VerbClassId(verb, exe_)).c_str());
    ContextMenuRegistry::TearDown();
  }
  std::vector<std::wstring> Photos(int from, int count) const {
    std::vector<std::wstring> paths;
    for (int i = from; i < from + count; ++i) paths.push_back(photos_ / (L"相片 " + std::to_wstring(i) + L".heic"));
    return paths;
  }
  void DropOn(const wchar_t* verb, const std::vector<std::wstring>& paths, bool offersFiles = true) {
    Microsoft::WRL::ComPtr<IDropTarget> target;
    ASSERT_EQ(CoCreateInstance(VerbClassId(verb, exe_), nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&target)), S_OK);
    Microsoft::WRL::ComPtr<IDataObject> data;
    data.Attach(new FileDrop(paths, offersFiles));
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    ASSERT_EQ(target->DragEnter(data.Get(), MK_LBUTTON, POINTL{}, &effect), S_OK);
    ASSERT_EQ(target->Drop(data.Get(), MK_LBUTTON, POINTL{}, &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  }
  // Waits (up to 100 s) until the logs folder holds `count` whole reports (a run may have
  // created its file and not yet written it); returns their texts.
  std::vector<std::string> Reports(size_t count) const {
    std::vector<std::string> texts;
    const auto whole = [](const std::string& text) { return text.ends_with('}'); };
    for (int i = 0; i < 400 && (texts.size() < count || !std::ranges::all_of(texts, whole)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      texts.clear();
      for (const auto& file : test::FilesIn(local_.path() / L"VellumoraConvert" / L"logs")) texts.push_back(test::ReadText(file));
    }
    return texts;
  }

  const std::wstring exe_ = test::HostPath(VELLUMORA_EXE);
  test::TempDir photos_, local_, settings_;
  test::ScopedEnvironment localAppData_{L"LOCALAPPDATA", local_.path().wstring()};
  test::ScopedEnvironment settingsFile_{kSettingsFileVariable, settings_ / L"settings.ini"};
  ComApartment apartment_;
};

// Silent: each drop is one run with one report, also while another run converts.
TEST_F(VerbDrops, ASilentSelectionOfAnySizeIsOneRunWithOneReport) {
  test::WriteText(settings_ / L"settings.ini", "[General]\nsilent_quick=true\n");
  DropOn(L"Vellumora.JPG", Photos(0, 500));
  std::vector<std::wstring> many = Photos(500, 1);  // and 9,999 photographs gone since they were selected
  for (int i = 0; i < 9999; ++i) many.push_back(photos_ / (L"不在 " + std::to_wstring(i) + L".heic"));
  DropOn(L"Vellumora.PNG", many);
  DropOn(L"Vellumora.JPG", {}, false);
  std::vector<std::string> reports = Reports(3);
  ASSERT_EQ(reports.size(), 3u);
  std::sort(reports.begin(), reports.end(), [](auto& a, auto& b) { return a.size() > b.size(); });
  EXPECT_EQ(reports[2], R"({"format":"JPG","results":[],"exit_code":0})");
  const auto count = [](const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  const std::string& png = reports[0].starts_with(R"({"format":"PNG")") ? reports[0] : reports[1];
  const std::string& jpg = &png == &reports[0] ? reports[1] : reports[0];
  EXPECT_EQ(count(jpg, R"("status":"完成")"), 500u);
  EXPECT_TRUE(jpg.ends_with(R"(],"exit_code":0})"));
  EXPECT_EQ(count(png, R"("status":"完成")"), 1u);
  EXPECT_EQ(count(png, "來源不存在："), 9999u);
  EXPECT_TRUE(png.ends_with(R"(\u000a","exit_code":1})"));
}

// Not silent: the open verb starts the window with its selection; a quick verb's selection
// goes to that running window, listed once.
TEST_F(VerbDrops, WindowSelectionsAreListedOnceInTheOneWindow) {
  DropOn(L"Vellumora.Open", Photos(0, 500));
  HWND window = nullptr, list = nullptr;
  const auto rows = [&] {
    if (!list && (window = FindWindowW(InstanceName().c_str(), nullptr))) list = GetDlgItem(window, IDC_LIST);
    return list ? SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) : -1;
  };
  for (int i = 0; i < 240 && rows() < 500; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(rows(), 500);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  const UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
  // The window converts the quick selection: it is ended, not waited for.
  const ScopeExit end([&] { TerminateProcess(process.get(), 0) && WaitForSingleObject(process.get(), 10000); });
  DropOn(L"Vellumora.JPG", Photos(500, 500));
  for (int i = 0; i < 240 && rows() < 1000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(rows(), 1000);
}

}  // namespace
}  // namespace vellumora
