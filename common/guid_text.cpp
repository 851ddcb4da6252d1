#include "common/guid_text.h"

#include <objbase.h>

#include "common/check_hr.h"

namespace vellumora {

std::wstring NewGuidText() {
  GUID guid{};
  CheckHr(CoCreateGuid(&guid), "建立識別碼失敗");
  wchar_t text[40] = {};
  const int n = StringFromGUID2(guid, text, 40);
  return std::wstring(text, n > 0 ? static_cast<size_t>(n - 1) : 0);
}

}  // namespace vellumora
