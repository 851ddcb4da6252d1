#include "convert/formats/checksums.h"

#include <array>
#include <cstddef>

namespace vellumora {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    }
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> data) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t byte : data) {
    c = kCrcTable[(c ^ byte) & 0xFFu] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t Adler32(std::span<const std::uint8_t> data) {
  constexpr std::uint32_t kModulus = 65521;
  // 5552 is the longest run whose sums cannot overflow 32 bits before the modulus is taken.
  constexpr std::size_t kRun = 5552;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  std::size_t pos = 0;
  while (pos < data.size()) {
    const std::size_t end = pos + (data.size() - pos < kRun ? data.size() - pos : kRun);
    for (; pos < end; ++pos) {
      a += data[pos];
      b += a;
    }
    a %= kModulus;
    b %= kModulus;
  }
  return (b << 16) | a;
}

}  // namespace vellumora
