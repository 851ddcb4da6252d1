#pragma once
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace vellumora {

// Every path of a shell drop list (CF_HDROP, also a window's WM_DROPFILES), in its order. The
// drop stays the caller's to release.
std::vector<std::wstring> DroppedFilePaths(HDROP drop);

}  // namespace vellumora
