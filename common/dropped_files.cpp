#include "common/dropped_files.h"

namespace vellumora {

std::vector<std::wstring> DroppedFilePaths(HDROP drop) {
  std::vector<std::wstring> paths;
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  paths.reserve(count);
  std::vector<wchar_t> buffer;
  for (UINT i = 0; i < count; ++i) {
    const UINT length = DragQueryFileW(drop, i, nullptr, 0);
    buffer.assign(length + 1, L'\0');
    const UINT copied = DragQueryFileW(drop, i, buffer.data(), length + 1);
    if (copied > 0) paths.emplace_back(buffer.data(), copied);
  }
  return paths;
}

}  // namespace vellumora
