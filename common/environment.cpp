#include "common/environment.h"

#include <windows.h>

#include <vector>

namespace vellumora {

std::wstring EnvironmentValue(const wchar_t* name) {
  std::vector<wchar_t> buffer(260);
  for (;;) {
    const DWORD n = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n);  // too small: n is the size needed, terminator included
  }
}

}  // namespace vellumora
