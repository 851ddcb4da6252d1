#include "convert/formats/exif_orientation.h"

#include <gtest/gtest.h>

#include <vector>

#include "formats_test_support.h"

namespace vellumora {
namespace {

using test::B;
using test::Be32;
using test::Cat;
using test::ErrorOf;

struct Entry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  std::uint8_t value[4];
};

// A TIFF structure: header with IFD0 at offset 8, the entries, a zero next-IFD link.
Bytes Tiff(bool little, const std::vector<Entry>& entries, std::uint16_t magic = 42) {
  Bytes out = B(little ? "II" : "MM");
  auto put = [&](std::uint32_t v, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = little ? 8 * i : 8 * (width - 1 - i);
      out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
  };
  put(magic, 2);
  put(8, 4);
  put(static_cast<std::uint32_t>(entries.size()), 2);
  for (const Entry& e : entries) {
    put(e.tag, 2);
    put(e.type, 2);
    put(e.count, 4);
    out.insert(out.end(), e.value, e.value + 4);
  }
  put(0, 4);
  return out;
}

Bytes Marker() { return B(kExifMarker); }
Bytes HeifBlock(const Bytes& tiff) { return Cat({Be32(6), Marker(), tiff}); }

constexpr std::size_t kFirstValue = 6 + 8 + 2 + 8;  // value bytes of IFD0's first entry in the kept payload

TEST(NormalizeExifOrientation, KeepsTheBlocksMarkerAndRewritesLittleEndianValue) {
  const Bytes tiff = Tiff(true, {{0x010F, 2, 4, {'C', 'a', 'm', 0}}, {274, 3, 1, {6, 0, 0xAB, 0xCD}}});
  Bytes expected = Cat({Marker(), tiff});
  expected[kFirstValue + 12] = 1;  // 06 00 -> 01 00; the padding AB CD stays
  EXPECT_EQ(NormalizeExifOrientation(HeifBlock(tiff)), expected);
}

TEST(NormalizeExifOrientation, BigEndianValueAndOffsetZeroFraming) {
  const Bytes tiff = Tiff(false, {{274, 3, 1, {0, 8, 0, 0}}});
  Bytes expected = Cat({Marker(), tiff});
  expected[kFirstValue + 1] = 1;  // 00 08 -> 00 01
  // Offset 0: TIFF header right after the offset field, the marker is prepended.
  EXPECT_EQ(NormalizeExifOrientation(Cat({Be32(0), tiff})), expected);
  // Offset 4 with bytes other than the marker before the header: also prepended, bytes dropped.
  EXPECT_EQ(NormalizeExifOrientation(Cat({Be32(4), B("abcd"), tiff})), expected);
}

TEST(NormalizeExifOrientation, LeavesEverythingElseAlone) {
  const Bytes upright = Tiff(true, {{274, 3, 1, {1, 0, 0, 0}}});
  EXPECT_EQ(NormalizeExifOrientation(HeifBlock(upright)), Cat({Marker(), upright}));
  const Bytes without = Tiff(false, {{0x0110, 2, 4, {'X', 0, 0, 0}}});
  EXPECT_EQ(NormalizeExifOrientation(HeifBlock(without)), Cat({Marker(), without}));
  const Bytes empty = Tiff(true, {});
  EXPECT_EQ(NormalizeExifOrientation(HeifBlock(empty)), Cat({Marker(), empty}));
  // Only the first Orientation entry is rewritten.
  const Bytes twice = Tiff(true, {{274, 3, 1, {3, 0, 0, 0}}, {274, 3, 1, {3, 0, 0, 0}}});
  const Bytes kept = NormalizeExifOrientation(HeifBlock(twice));
  EXPECT_EQ(kept[kFirstValue], 1);
  EXPECT_EQ(kept[kFirstValue + 12], 3);
}

TEST(NormalizeExifOrientation, RejectsBadFramingAndHeaders) {
  const Bytes good = Tiff(true, {{274, 3, 1, {6, 0, 0, 0}}});
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(Bytes(7, 0)); }), "EXIF 資料損壞，已保留原檔");
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(Cat({Be32(5), Bytes{'M', 'M', 0, 42}})); }), "EXIF 位移不正確");
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(Cat({Be32(0xFFFFFFFF), Bytes{'M', 'M', 0, 42}})); }), "EXIF 位移不正確");
  // Header position exactly at the end: an empty payload framed to six bytes.
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(Cat({Be32(4), Bytes{'M', 'M', 0, 42}})); }), "EXIF 標頭不完整");
  EXPECT_EQ(ErrorOf([&] { NormalizeExifOrientation(Cat({Be32(0), Bytes(good.begin(), good.begin() + 7)})); }),
            "EXIF 標頭不完整");
  Bytes mixed = good;
  mixed[1] = 'M';
  EXPECT_EQ(ErrorOf([&] { NormalizeExifOrientation(HeifBlock(mixed)); }), "EXIF 位元序不正確");
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(HeifBlock(Tiff(true, {}, 43))); }), "EXIF TIFF 標頭不正確");
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(HeifBlock(Tiff(true, {}, 0x2A00))); }), "EXIF TIFF 標頭不正確");
}

TEST(NormalizeExifOrientation, ChecksIfd0AgainstThePayloadEnd) {
  // TIFF of 8 header bytes and an entry count of 1 directly after it: 12 entry bytes must follow.
  const auto withIfd = [](std::uint32_t ifd0, std::size_t tableBytes) {
    Bytes tiff = Cat({B("MM"), test::Be16(42), Be32(ifd0), test::Be16(1), Bytes(tableBytes, 0)});
    return HeifBlock(tiff);
  };
  const std::size_t tiffSize = 8 + 2 + 12;
  EXPECT_NO_THROW(NormalizeExifOrientation(withIfd(8, 12)));
  EXPECT_EQ(ErrorOf([&] { NormalizeExifOrientation(withIfd(8, 11)); }), "EXIF 目錄不完整");
  // Count at the very end with no room for a count: the entry position lies one past the end.
  EXPECT_EQ(ErrorOf([&] { NormalizeExifOrientation(withIfd(tiffSize - 1, 12)); }), "EXIF 欄位不完整");
  EXPECT_EQ(ErrorOf([&] { NormalizeExifOrientation(withIfd(0xFFFFFFF0, 12)); }), "EXIF 欄位不完整");
  // A count of 0 in the last two bytes is a valid empty directory.
  const Bytes endCount = HeifBlock(Cat({B("MM"), test::Be16(42), Be32(8), test::Be16(0)}));
  EXPECT_EQ(NormalizeExifOrientation(endCount), Bytes(endCount.begin() + 4, endCount.end()));
}

TEST(NormalizeExifOrientation, RejectsOrientationOfWrongTypeOrCount) {
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(HeifBlock(Tiff(true, {{274, 4, 1, {6, 0, 0, 0}}}))); }),
            "EXIF 方向欄位不正確");
  EXPECT_EQ(ErrorOf([] { NormalizeExifOrientation(HeifBlock(Tiff(false, {{274, 3, 2, {0, 6, 0, 6}}}))); }),
            "EXIF 方向欄位不正確");
}

}  // namespace
}  // namespace vellumora
