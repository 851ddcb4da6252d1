#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
#include "formats_test_support.h"

namespace vellumora {
namespace {

using test::B, test::Be16, test::Cat;

Bytes Be32(std::uint32_t v) { return Cat({Be16(v >> 16), Be16(v & 0xFFFF)}); }
Bytes Entry(int tag, int type, std::size_t count, std::size_t value) {
  return Cat({Be16(tag), Be16(type), Be32(static_cast<std::uint32_t>(count)), Be32(static_cast<std::uint32_t>(value))});
}

// Kept Exif whose Exif IFD (at 26) has an Apple MakerNote (at 44) with SRATIONAL tags 33 and 48.
Bytes AppleExif(double tag33, std::optional<double> tag48) {
  const auto rational = [](double v) { return Cat({Be32(static_cast<std::uint32_t>(std::lround(v * 1e6))), Be32(1000000)}); };
  const Bytes note = Cat({B(std::string_view("Apple iOS\0\0\1MM", 14)), Be16(tag48 ? 2 : 1), Entry(0x21, 10, 1, 44),
                          tag48 ? Entry(0x30, 10, 1, 52) : Bytes{}, Be32(0), Bytes(tag48 ? 0 : 12, 0), rational(tag33),
                          tag48 ? rational(*tag48) : Bytes{}});
  return Cat({B(std::string_view("Exif\0\0MM\0\x2A", 10)), Be32(8), Be16(1), Entry(0x8769, 4, 1, 26), Be32(0), Be16(1),
              Entry(0x927C, 7, note.size(), 44), Be32(0), note});
}

TEST(GainMapHeadroom, ComesFromTheXmpOrBothMakerNoteTagsByApplesRule) {
  EXPECT_DOUBLE_EQ(*HeadroomFromGainMapXmp(B("<HDRGainMap:HDRGainMapHeadroom>3.848</HDRGainMap:HDRGainMapHeadroom>")), 3.848);
  EXPECT_DOUBLE_EQ(*HeadroomFromGainMapXmp(B("<d HDRGainMap:HDRGainMapHeadroom='2.5'/>")), 2.5);
  // The rule's four branches; one tag alone does not say which branch applies.
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(0.5, 0.005)), std::exp2(1.7), 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(0.5, 2.0)), std::exp2(1.399), 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(1.2, 0.0)), 8.0, 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(1.2, 10.0)), 1.0, 1e-9);
  EXPECT_FALSE(HeadroomFromAppleMakerNote(AppleExif(0.8786, std::nullopt)));
  for (const double bad : {1.0, 0.5, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
    EXPECT_FALSE(UsableHeadroom(bad)) << bad;
}

TEST(GainMapJpeg, TheWrittenIndexAndDirectoryLeadToTheGainMapAndNothingElse) {
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9};
  const Bytes gainMap = BuildGainMapImage(jpeg, *UsableHeadroom(4.0));
  const Bytes photoXmp = B("<x:xmpmeta><rdf:RDF><rdf:Description a='1'/></rdf:RDF></x:xmpmeta>");
  EXPECT_FALSE(PrimaryXmpWithGainMap(B("<x:xmpmeta/>"), 1));
  EXPECT_FALSE(PrimaryXmpWithGainMap(B("<rdf:RDF xmlns:hdrgm='http://ns.adobe.com/hdr-gain-map/1.0/'></rdf:RDF>"), 1));
  const Bytes file = BuildGainMapJpegOutput(jpeg, {}, *PrimaryXmpWithGainMap(photoXmp, gainMap.size()), {}, gainMap);
  const auto found = FindGainMapImage(file);
  EXPECT_EQ(Bytes(found.begin(), found.end()), gainMap);
  // A directory naming another length, an index pointing elsewhere, a file cut short, no index.
  Bytes moved = file, cut = file;
  moved[file.size() - gainMap.size() - jpeg.size() + 2 - 5] ^= 1;  // the second image's offset
  cut.pop_back();
  for (const Bytes& bad : {BuildGainMapJpegOutput(jpeg, {}, *PrimaryXmpWithGainMap({}, gainMap.size() + 1), {}, gainMap),
                           moved, cut, jpeg})
    EXPECT_EQ(test::ErrorOf([&] { FindGainMapImage(bad); }), "輸出增益圖驗證失敗");
}

}  // namespace
}  // namespace vellumora
