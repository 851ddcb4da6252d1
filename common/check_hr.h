#pragma once
#include <windows.h>

namespace vellumora {

// Raises std::runtime_error("<text> (0x<hresult in lower-case hex>)") for a failure code;
// success codes, S_FALSE included, pass.
void CheckHr(HRESULT hr, const char* utf8Text);

}  // namespace vellumora
