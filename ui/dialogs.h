#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace vellumora {

// The common item dialog; a cancelled dialog gives an empty list.
std::vector<std::wstring> PickPaths(bool pickFolders, bool allowMultiple);

// The About task dialog with its two links.
void ShowAboutBox();
HRESULT CALLBACK AboutLinkCallback(HWND dialog, UINT notification, WPARAM wParam, LPARAM lParam, LONG_PTR data);

}  // namespace vellumora
