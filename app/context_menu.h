#pragma once
#include <windows.h>

#include <string>
#include <string_view>

namespace vellumora {

// Each verb key carries two ways in. Explorer uses the COM one: a DropTarget class served by the
// program itself (LocalServer32 = this executable, started with -Embedding), which receives the
// whole selection in one IDropTarget::Drop, whatever its size (MultiSelectModel "Player"). The
// `command` subkey stays for callers that start the verb's command line directly.

// 0: none of the nine verb keys (nor a verb class of this executable) exists; 1: some exist but
// not all carry this executable's command line, DropTarget class and server; 2: all nine do.
// Never raises.
int QueryContextMenuState();
int QueryContextMenuStateFor(const std::wstring& exePath);

// Installs (or repairs) all nine entries and the three verb classes, or removes them (with the
// verb classes the removed entries name); raises with the registry step's message.
void SetContextMenuInstalled(bool install);
void SetContextMenuInstalledFor(bool install, const std::wstring& exePath);

// The installer's clean-up when the program is removed: deletes every verb key whose command
// starts this executable (the path in quotes at its start, letter case folded), whatever the
// verb, and this executable's verb classes; entries and classes of another copy of the program
// stay. Returns how many verb keys were deleted; never raises.
int RemoveContextMenuOfThisExecutable() noexcept;
int RemoveContextMenuOfExecutable(const std::wstring& exePath) noexcept;

// Creates or opens the key under HKEY_CURRENT_USER and writes one REG_SZ value (empty name: the
// default value). Raises "無法建立右鍵功能" or "無法寫入右鍵功能".
void SetRegistryString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& text);

// GetModuleFileNameW of this process (32,768 units at most).
std::wstring ThisExecutablePath();

// The pieces of one entry, for an executable at `exePath`.
// Verb key path under HKEY_CURRENT_USER, e.g. Software\Classes\SystemFileAssociations\.heic\shell\Vellumora.JPG
std::wstring ContextMenuVerbKey(std::wstring_view extension, std::wstring_view verb);
// "\"<exe>\" --quick JPG \"%1\"" and its PNG / open siblings.
std::wstring ContextMenuCommandLine(std::wstring_view verb, std::wstring_view exePath);
// The verb's class for one executable: a name-based GUID of the verb and the case-folded path,
// so every copy of the program has classes of its own and finds them again without storing them.
GUID VerbClassId(std::wstring_view verb, std::wstring_view exePath);
// "{XXXXXXXX-...}" and Software\Classes\CLSID\{...} under HKEY_CURRENT_USER.
std::wstring ClassIdText(const GUID& classId);
std::wstring VerbClassKey(const GUID& classId);
// The verb's --quick value ("JPG", "PNG") or "" for the open verb.
std::wstring VerbQuickFormat(std::wstring_view verb);

// The value that marks a CLSID key as a verb class of this program (its data: the verb).
inline constexpr wchar_t kVerbClassMark[] = L"Vellumora.Verb";

// The extensions and verbs in the order they are visited (extension outer, verb inner).
inline constexpr const wchar_t* kContextMenuExtensions[] = {L".heic", L".heif", L".hif"};
inline constexpr const wchar_t* kContextMenuVerbs[] = {L"Vellumora.JPG", L"Vellumora.PNG", L"Vellumora.Open"};

}  // namespace vellumora
