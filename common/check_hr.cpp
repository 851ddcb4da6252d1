#include "common/check_hr.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace vellumora {

void CheckHr(HRESULT hr, const char* utf8Text) {
  if (hr >= 0) return;
  char code[16];
  std::snprintf(code, sizeof code, "%lx", static_cast<unsigned long>(static_cast<std::uint32_t>(hr)));
  throw std::runtime_error(std::string(utf8Text) + " (0x" + code + ")");
}

}  // namespace vellumora
