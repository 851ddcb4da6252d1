#pragma once
#include <string>

namespace vellumora {

// A fresh GUID in registry form as StringFromGUID2 writes it: 38 characters, braces,
// upper-case hexadecimal, hyphens. Raises "建立識別碼失敗 (0x…)" when CoCreateGuid fails.
std::wstring NewGuidText();

}  // namespace vellumora
