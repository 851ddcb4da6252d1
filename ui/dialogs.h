#pragma once
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace vellumora {

// The common item dialog; a cancelled dialog gives an empty list.
std::vector<std::wstring> PickPaths(bool pickFolders, bool allowMultiple);

// The About task dialog with its two links.
void ShowAboutBox();
HRESULT CALLBACK AboutLinkCallback(HWND dialog, UINT notification, WPARAM wParam, LPARAM lParam, LONG_PTR data);

// The links of the About text; the callback opens these and nothing else.
inline constexpr wchar_t kAboutMailLink[] = L"mailto:team@vellumora.example";
inline constexpr wchar_t kAboutWebLink[] = L"https://vellumora.example/";

// The About box's content with its hyperlink markup.
std::wstring AboutText();
// True only for the two links of the About text (exact, case-sensitive).
bool IsAboutLink(std::wstring_view href);

}  // namespace vellumora
