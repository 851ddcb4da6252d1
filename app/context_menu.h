#pragma once
#include <string>
#include <string_view>

namespace vellumora {

// 0: none of the nine verb keys exists; 1: some exist but not all carry this executable's
// command line; 2: all nine do. Never raises.
int QueryContextMenuState();

// Installs (or repairs) all nine entries, or removes them; raises with the registry step's message.
void SetContextMenuInstalled(bool install);

// The installer's clean-up when the program is removed: deletes every verb key whose command
// starts this executable (the path in quotes at its start, letter case folded), whatever the
// verb; entries that start another copy of the program stay. Returns how many were deleted;
// never raises.
int RemoveContextMenuOfThisExecutable() noexcept;

// Creates or opens the key under HKEY_CURRENT_USER and writes one REG_SZ value (empty name: the
// default value). Raises "無法建立右鍵功能" or "無法寫入右鍵功能".
void SetRegistryString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& text);

// The pieces of one entry, for an executable at `exePath`.
// Verb key path under HKEY_CURRENT_USER, e.g. Software\Classes\SystemFileAssociations\.heic\shell\Vellumora.JPG
std::wstring ContextMenuVerbKey(std::wstring_view extension, std::wstring_view verb);
// "\"<exe>\" --quick JPG \"%1\"" and its PNG / open siblings.
std::wstring ContextMenuCommandLine(std::wstring_view verb, std::wstring_view exePath);

// The extensions and verbs in the order they are visited (extension outer, verb inner).
inline constexpr const wchar_t* kContextMenuExtensions[] = {L".heic", L".heif", L".hif"};
inline constexpr const wchar_t* kContextMenuVerbs[] = {L"Vellumora.JPG", L"Vellumora.PNG", L"Vellumora.Open"};

}  // namespace vellumora
