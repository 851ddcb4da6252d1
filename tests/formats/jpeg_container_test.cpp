#include "convert/formats/jpeg_container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "convert/formats/exif_orientation.h"
#include "formats_test_support.h"

namespace vellumora {
namespace {

using test::B;
using test::Be16;
using test::Cat;
using test::ErrorOf;
using test::Pattern;

constexpr const char* kTooLarge = "JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留";

const Bytes kApp0 = Cat({Bytes{0xFF, 0xE0}, Be16(16), B(std::string_view("JFIF\0\1\1\0\0\1\0\1\0\0", 14))});
const Bytes kScan = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0xD2, 0xCF, 0xFF, 0xD9};
const Bytes kEncoded = Cat({Bytes{0xFF, 0xD8}, kApp0, kScan});

Bytes ExifBlock(std::size_t size) {
  Bytes block = Pattern(size);
  std::copy(kExifMarker.begin(), kExifMarker.end(), block.begin());
  return block;
}

Bytes Segment(std::uint8_t marker, const Bytes& payload) {
  return Cat({Bytes{0xFF, marker}, Be16(static_cast<std::uint32_t>(payload.size() + 2)), payload});
}

TEST(BuildJpegOutput, InsertsSegmentsInOrderBeforeTheEncodersOwn) {
  EXPECT_EQ(BuildJpegOutput(kEncoded, {}, {}, {}), kEncoded);
  const Bytes exif = ExifBlock(20), xmp = B("<x:xmpmeta/>"), icc = B("profile");
  const Bytes expected =
      Cat({Bytes{0xFF, 0xD8}, Segment(0xE1, exif), Segment(0xE1, Cat({B(kJpegXmpIdentifier), xmp})),
           Segment(0xE2, Cat({B(kJpegIccIdentifier), Bytes{1, 1}, icc})), kApp0, kScan});
  EXPECT_EQ(BuildJpegOutput(kEncoded, exif, xmp, icc), expected);
  EXPECT_EQ(B(kJpegXmpIdentifier), Cat({B("http://ns.adobe.com/xap/1.0/"), Bytes{0}}));
}

TEST(BuildJpegOutput, RejectsEncoderOutputWithoutStartOfImage) {
  EXPECT_EQ(ErrorOf([] { BuildJpegOutput(Bytes{0xFF}, {}, {}, {}); }), "JPG 輸出不完整");
  EXPECT_EQ(ErrorOf([] { BuildJpegOutput(Bytes{0xFF, 0xD9, 0xFF, 0xD8}, {}, {}, {}); }), "JPG 輸出不完整");
  EXPECT_EQ(BuildJpegOutput(Bytes{0xFF, 0xD8}, {}, {}, {}), (Bytes{0xFF, 0xD8}));
}

TEST(BuildJpegOutput, ExifAndXmpSegmentLimits) {
  const Bytes out = BuildJpegOutput(kEncoded, ExifBlock(65533), {}, {});
  EXPECT_EQ(out[4], 0xFF);
  EXPECT_EQ(out[5], 0xFF);
  EXPECT_EQ(ErrorOf([] { BuildJpegOutput(kEncoded, ExifBlock(65534), {}, {}); }), kTooLarge);
  EXPECT_EQ(BuildJpegOutput(kEncoded, {}, Pattern(65504), {}).size(), kEncoded.size() + 65537);
  EXPECT_EQ(ErrorOf([] { BuildJpegOutput(kEncoded, {}, Pattern(65505), {}); }), kTooLarge);
  // The segment limits are checked before the profile's.
  EXPECT_EQ(ErrorOf([] { BuildJpegOutput(kEncoded, ExifBlock(65534), {}, Pattern(kJpegIccMaxProfile + 1)); }),
            kTooLarge);
  Bytes direct;
  AppendJpegSegment(direct, 0xE1, {});
  EXPECT_EQ(direct, (Bytes{0xFF, 0xE1, 0x00, 0x02}));
}

// Splits the ICC segments of a built file: (sequence, count, chunk size) per segment.
std::vector<std::array<std::size_t, 3>> IccSegments(const Bytes& out) {
  std::vector<std::array<std::size_t, 3>> found;
  for (std::size_t p = 2; out[p] == 0xFF && out[p + 1] == 0xE2;) {
    const std::size_t length = (std::size_t{out[p + 2]} << 8) | out[p + 3];
    found.push_back({out[p + 16], out[p + 17], length - 16});
    p += 2 + length;
  }
  return found;
}

TEST(BuildJpegOutput, SplitsTheProfileIntoChunks) {
  using Chunks = std::vector<std::array<std::size_t, 3>>;
  EXPECT_EQ(IccSegments(BuildJpegOutput(kEncoded, {}, {}, Pattern(65519))), (Chunks{{1, 1, 65519}}));
  const Bytes two = Pattern(65520);
  const Bytes out = BuildJpegOutput(kEncoded, {}, {}, two);
  EXPECT_EQ(IccSegments(out), (Chunks{{1, 2, 65519}, {2, 2, 1}}));
  EXPECT_EQ(out[2 + 65535 + 2 + 18], two.back());
  const Chunks full = IccSegments(BuildJpegOutput(kEncoded, {}, {}, Pattern(kJpegIccMaxProfile)));
  ASSERT_EQ(full.size(), 255u);
  EXPECT_EQ(full.back(), (std::array<std::size_t, 3>{255, 255, 65519}));
  EXPECT_EQ(ErrorOf([] { BuildJpegOutput(kEncoded, {}, {}, Pattern(kJpegIccMaxProfile + 1)); }),
            "ICC 色彩描述檔超過 JPG 限制");
}

TEST(FindJpegExif, ReturnsTheFirstExifPayloadBeforeTheScan) {
  const Bytes exif = ExifBlock(30);
  EXPECT_EQ(FindJpegExif(BuildJpegOutput(kEncoded, exif, B("<x/>"), B("icc"))), exif);
  // Behind other segments, including an APP1 that is not Exif and an Exif segment of 7 length bytes.
  const Bytes tooShort = Segment(0xE1, B(std::string_view("Exif\0", 5)));
  const Bytes file = Cat({Bytes{0xFF, 0xD8}, kApp0, Segment(0xE1, B("http://ns")), tooShort, Segment(0xE1, exif),
                          Segment(0xE1, ExifBlock(8)), kScan});
  EXPECT_EQ(FindJpegExif(file), exif);
  EXPECT_EQ(FindJpegExif(Segment(0xE1, B(kExifMarker))), Bytes{});  // offset 0 is not read as a segment
  EXPECT_EQ(FindJpegExif(Cat({Bytes{0xFF, 0xD8}, Segment(0xE1, B(kExifMarker))})), B(kExifMarker));
}

TEST(FindJpegExif, StopsAtTheScanOrTheEnd) {
  EXPECT_EQ(FindJpegExif(kEncoded), Bytes{});
  EXPECT_EQ(FindJpegExif(Cat({Bytes{0xFF, 0xD8}, kScan, Segment(0xE1, ExifBlock(10))})), Bytes{});
  EXPECT_EQ(FindJpegExif(Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x00}), Bytes{});
  EXPECT_EQ(FindJpegExif(Cat({Bytes{0xFF, 0xD8}, kApp0, Bytes{0x00, 0xFF, 0xE1, 0x00}})), Bytes{});
  EXPECT_EQ(FindJpegExif(Cat({Bytes{0xFF, 0xD8}, kApp0, Bytes{0xFF, 0xE1, 0x00}})), Bytes{});
}

TEST(FindJpegExif, RejectsTruncatedSegments) {
  const Bytes out = BuildJpegOutput(kEncoded, ExifBlock(100), {}, {});
  EXPECT_EQ(ErrorOf([&] { FindJpegExif(Bytes(out.begin(), out.begin() + 105)); }), "JPG 區塊不完整");
  EXPECT_EQ(FindJpegExif(Bytes(out.begin(), out.begin() + 106)), ExifBlock(100));
  EXPECT_EQ(ErrorOf([] { FindJpegExif(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}); }), "JPG 區塊不完整");
  EXPECT_EQ(ErrorOf([] { FindJpegExif(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xFF, 0, 0}); }), "JPG 區塊不完整");
}

}  // namespace
}  // namespace vellumora
