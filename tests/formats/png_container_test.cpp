#include "convert/formats/png_container.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "convert/formats/checksums.h"
#include "convert/formats/exif_orientation.h"
#include "formats_test_support.h"

namespace vellumora {
namespace {

using test::B;
using test::Be32;
using test::Cat;
using test::ErrorOf;
using test::Pattern;

Bytes Chunk(std::string_view type, const Bytes& data) {
  const Bytes typed = Cat({B(type), data});
  return Cat({Be32(static_cast<std::uint32_t>(data.size())), typed, Be32(Crc32(typed))});
}

const Bytes kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const Bytes kIhdr = Chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0});
const Bytes kRest = Cat({Chunk("IDAT", {0x78, 0x9C, 0x63, 0x68, 0x00, 0x00, 0x00, 0x82, 0x00, 0x81}), Chunk("IEND", {})});
const Bytes kEncoded = Cat({kSignature, kIhdr, kRest});

TEST(AppendPngChunk, WritesLengthTypeDataAndCrc) {
  Bytes out;
  AppendPngChunk(out, "IEND", {});
  EXPECT_EQ(out, (Bytes{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}));
}

TEST(StoredZlibStream, BlockBoundaries) {
  const Bytes one = Pattern(65535);
  const Bytes z1 = StoredZlibStream(one);
  ASSERT_EQ(z1.size(), 2 + 5 + 65535 + 4u);
  EXPECT_EQ(Bytes(z1.begin(), z1.begin() + 7), (Bytes{0x78, 0x01, 0x01, 0xFF, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(Bytes(z1.end() - 4, z1.end()), Be32(Adler32(one)));

  const Bytes two = Pattern(65536);
  const Bytes z2 = StoredZlibStream(two);
  ASSERT_EQ(z2.size(), 2 + 5 + 65535 + 5 + 1 + 4u);
  EXPECT_EQ(Bytes(z2.begin(), z2.begin() + 7), (Bytes{0x78, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(Bytes(z2.begin() + 65542, z2.begin() + 65548), (Bytes{0x01, 0x01, 0x00, 0xFE, 0xFF, two.back()}));
  EXPECT_TRUE(std::equal(two.begin(), two.end() - 1, z2.begin() + 7));
  // No data still makes a complete stream: one empty final block.
  EXPECT_EQ(StoredZlibStream({}), (Bytes{0x78, 0x01, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}));
}

TEST(BuildPngOutput, InsertsChunksAfterIhdrInOrder) {
  EXPECT_EQ(BuildPngOutput(kEncoded, {}, {}, {}), kEncoded);
  const Bytes tiff = B(std::string_view("MM\0*\0\0\0\x08\0\0", 10));
  const Bytes xmp = B("<x:xmpmeta/>"), icc = Pattern(70000);
  const Bytes expected = Cat({kSignature, kIhdr, Chunk("eXIf", tiff),
                              Chunk("iCCP", Cat({B(std::string_view("ICC\0\0", 5)), StoredZlibStream(icc)})),
                              Chunk("iTXt", Cat({B(std::string_view("XML:com.adobe.xmp\0\0\0\0\0", 22)), xmp})), kRest});
  EXPECT_EQ(BuildPngOutput(kEncoded, Cat({B(kExifMarker), tiff}), xmp, icc), expected);
  // The first 33 bytes are taken as they are.
  EXPECT_EQ(BuildPngOutput(Bytes(33, 0x55), {}, {}, {}), Bytes(33, 0x55));
}

TEST(BuildPngOutput, RejectsShortEncoderOutputAndUnframedExif) {
  EXPECT_EQ(ErrorOf([] { BuildPngOutput(Bytes(32, 0), {}, {}, {}); }), "PNG 輸出不完整");
  EXPECT_EQ(ErrorOf([] { BuildPngOutput(kEncoded, Bytes{'M', 'M', 0, 42, 0, 0, 0, 8}, {}, {}); }), "EXIF 資料損壞，已保留原檔");
  EXPECT_EQ(ErrorOf([] { BuildPngOutput(kEncoded, B("Exif"), {}, {}); }), "EXIF 資料損壞，已保留原檔");
}

TEST(FindPngExif, FindsTheFirstExifChunkAnywhere) {
  const Bytes exif = Cat({B(kExifMarker), Pattern(40)});
  EXPECT_EQ(FindPngExif(BuildPngOutput(kEncoded, exif, B("<x/>"), B("icc"))), exif);
  EXPECT_EQ(FindPngExif(Cat({kEncoded, Chunk("eXIf", Pattern(3)), Chunk("eXIf", Pattern(4))})),
            Cat({B(kExifMarker), Pattern(3)}));
  EXPECT_EQ(FindPngExif(Cat({kSignature, Chunk("eXIf", {})})), B(kExifMarker));
  EXPECT_EQ(FindPngExif(kEncoded), Bytes{});
  EXPECT_EQ(FindPngExif(Cat({kEncoded, Bytes(11, 0xFF)})), Bytes{});  // too short for another chunk
  EXPECT_EQ(FindPngExif(Bytes(19, 0)), Bytes{});
}

TEST(FindPngExif, RejectsChunksRunningPastTheEnd) {
  const Bytes out = BuildPngOutput(kEncoded, Cat({B(kExifMarker), Pattern(40)}), {}, {});
  EXPECT_EQ(ErrorOf([&] { FindPngExif(Bytes(out.begin(), out.begin() + 33 + 51)); }), "PNG 區塊不完整");
  EXPECT_EQ(FindPngExif(Bytes(out.begin(), out.begin() + 33 + 52)).size(), 46u);
  EXPECT_EQ(ErrorOf([] { FindPngExif(Cat({kSignature, Be32(0xFFFFFFFF), B("eXIf"), Bytes(4, 0)})); }),
            "PNG 區塊不完整");
}

}  // namespace
}  // namespace vellumora
