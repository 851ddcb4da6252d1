#include "common/extended_path.h"

#include <filesystem>

namespace vellumora {

namespace {

constexpr std::wstring_view kPrefix = L"\\\\?\\";
constexpr std::wstring_view kUncPrefix = L"\\\\?\\UNC\\";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Resolves "." and ".." lexically (never against the disk) and uses backslashes throughout.
std::wstring Normal(std::wstring_view path) {
  std::wstring text = std::filesystem::path(path).lexically_normal().wstring();
  for (wchar_t& c : text)
    if (c == L'/') c = L'\\';
  return text;
}

}  // namespace

std::wstring ExtendedLengthPath(std::wstring_view path) {
  // "\\?\..." and "\\.\..." are device forms already.
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
      IsSeparator(path[3]))
    return std::wstring(path);
  if (path.size() >= 3 && IsLetter(path[0]) && path[1] == L':' && IsSeparator(path[2]))
    return std::wstring(kPrefix) + Normal(path);
  if (path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2]))
    return std::wstring(kUncPrefix) + Normal(path.substr(2));  // "server\share\..." on its own
  return std::wstring(path);
}

std::wstring WithoutExtendedPrefix(std::wstring_view path) {
  if (path.starts_with(kUncPrefix)) return L"\\\\" + std::wstring(path.substr(kUncPrefix.size()));
  if (path.starts_with(kPrefix)) return std::wstring(path.substr(kPrefix.size()));
  return std::wstring(path);
}

}  // namespace vellumora
