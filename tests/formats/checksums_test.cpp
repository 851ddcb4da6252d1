#include "convert/formats/checksums.h"

#include <gtest/gtest.h>

#include "formats_test_support.h"

namespace vellumora {
namespace {

TEST(Crc32, KnownValues) {
  EXPECT_EQ(Crc32({}), 0u);
  EXPECT_EQ(Crc32(test::B("IEND")), 0xAE426082u);
  EXPECT_EQ(Crc32(test::B("123456789")), 0xCBF43926u);
}

TEST(Adler32, KnownValuesAndLongRunsOfHighBytes) {
  EXPECT_EQ(Adler32({}), 1u);
  EXPECT_EQ(Adler32(test::B("Wikipedia")), 0x11E60398u);
  // All 0xFF bytes push both sums fastest towards 32-bit overflow; compare with a per-byte modulus.
  const Bytes ones(1 << 20, 0xFF);
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t v : ones) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  EXPECT_EQ(Adler32(ones), (b << 16) | a);
}

}  // namespace
}  // namespace vellumora
