#pragma once
#include <string>
#include <vector>

namespace vellumora {

// True when the path's extension, folded with towlower, is .heic, .heif or .hif.
bool IsSupportedPhoto(const std::wstring& path);

// Turns user-given files and folders into absolute, normalised, de-duplicated photograph
// paths. Problems with single inputs are appended to `note`, one line each.
std::vector<std::wstring> CollectInputs(const std::vector<std::wstring>& paths, bool recursive, std::wstring& note);

}  // namespace vellumora
