#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
#include "formats_test_support.h"

namespace vellumora {
namespace {

using test::B;
using test::Be16;
using test::Cat;
using test::ErrorOf;

Bytes Be32(std::uint32_t v) { return Cat({Be16(v >> 16), Be16(v & 0xFFFF)}); }
Bytes Entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
  return Cat({Be16(tag), Be16(type), Be32(count), Be32(value)});
}

// Kept Exif (big-endian) whose Exif IFD holds an Apple MakerNote with SRATIONAL tags 33 and 48.
Bytes AppleExif(std::optional<double> tag33, std::optional<double> tag48) {
  Bytes note = Cat({B(std::string_view("Apple iOS\0\0\1MM", 14)), Be16((tag33 ? 1 : 0) + (tag48 ? 1 : 0))});
  const std::uint32_t values = 14 + 2 + 12 * 2 + 4;
  Bytes data;
  for (const auto& [tag, value] : {std::pair{0x21, tag33}, std::pair{0x30, tag48}}) {
    if (!value) continue;
    note = Cat({note, Entry(static_cast<std::uint16_t>(tag), 10, 1, values + static_cast<std::uint32_t>(data.size()))});
    data = Cat({data, Be32(static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(*value * 1e6)))), Be32(1000000)});
  }
  note.resize(values, 0);
  note = Cat({note, data});
  // TIFF header, IFD0 at 8 with the Exif IFD pointer, the Exif IFD at 26 with the MakerNote at 44.
  return Cat({B(std::string_view("Exif\0\0MM\0\x2A", 10)), Be32(8), Be16(1), Entry(0x8769, 4, 1, 26), Be32(0),
              Be16(1), Entry(0x927C, 7, static_cast<std::uint32_t>(note.size()), 44), Be32(0), note});
}

TEST(GainMapHeadroom, ComesFromTheXmpOrBothMakerNoteTagsByApplesRule) {
  EXPECT_DOUBLE_EQ(*HeadroomFromGainMapXmp(B("<HDRGainMap:HDRGainMapHeadroom>3.848</HDRGainMap:HDRGainMapHeadroom>")), 3.848);
  EXPECT_DOUBLE_EQ(*HeadroomFromGainMapXmp(B("<d HDRGainMap:HDRGainMapHeadroom='2.5'/>")), 2.5);
  EXPECT_FALSE(HeadroomFromGainMapXmp(B("<HDRGainMap:HDRGainMapVersion>65536</HDRGainMap:HDRGainMapVersion>")));
  // The four branches of the rule, then one tag alone, which does not say which branch applies.
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(0.5, 0.005)), std::exp2(1.7), 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(0.5, 2.0)), std::exp2(1.399), 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(1.2, 0.0)), std::exp2(3.0), 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(1.2, 10.0)), 1.0, 1e-9);  // never below 0 stops
  EXPECT_FALSE(HeadroomFromAppleMakerNote(AppleExif(0.8786, std::nullopt)));
  Bytes cut = AppleExif(0.5, 2.0);
  cut.resize(cut.size() - 4);
  EXPECT_FALSE(HeadroomFromAppleMakerNote(cut));
  for (const double bad : {1.0, 0.5, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
    EXPECT_FALSE(UsableHeadroom(bad)) << bad;
}

TEST(GainMapRemapTable, GivesApplesLinearBoostThroughTheExponentialOne) {
  const GainMapHeadroom h = *UsableHeadroom(3.848);
  const auto table = GainMapRemapTable(h);
  EXPECT_EQ(table[0], 0);
  EXPECT_EQ(table[255], 255);
  for (int v = 1; v < 256; ++v) {
    ASSERT_GE(table[v], table[v - 1]);
    const double x = v / 255.0, g = x < 0.081 ? x / 4.5 : std::pow((x + 0.099) / 1.099, 1 / 0.45);
    const double apple = std::log2(1 + (h.ratio() - 1) * g), ours = table[v] / 255.0 * h.log2Millionths / 1e6;
    EXPECT_NEAR(ours, apple, 0.5 / 255 * h.log2Millionths / 1e6 + 1e-9) << v;  // within half a step
  }
}

TEST(GainMapJpeg, TheWrittenIndexAndDirectoryLeadToTheGainMapAndNothingElse) {
  const GainMapHeadroom h = *UsableHeadroom(4.0);
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9};
  const Bytes gainMap = BuildGainMapImage(jpeg, h);
  const std::string photoXmp = "<x:xmpmeta><rdf:RDF><rdf:Description a='1'/></rdf:RDF></x:xmpmeta>";
  EXPECT_FALSE(PrimaryXmpWithGainMap(B("<x:xmpmeta/>"), 1));
  EXPECT_FALSE(PrimaryXmpWithGainMap(B("<rdf:RDF xmlns:hdrgm='http://ns.adobe.com/hdr-gain-map/1.0/'></rdf:RDF>"), 1));
  const Bytes xmp = *PrimaryXmpWithGainMap(B(photoXmp), gainMap.size());
  const std::string text(xmp.begin(), xmp.end());
  EXPECT_EQ(text.find("<rdf:Description a='1'/>"), photoXmp.find("<rdf:Description a='1'/>"));
  EXPECT_NE(text.find("<Item:Length>" + std::to_string(gainMap.size()) + "</Item:Length>"), std::string::npos);

  const Bytes file = BuildGainMapJpegOutput(jpeg, {}, xmp, {}, gainMap);
  const auto found = FindGainMapImage(file);
  EXPECT_EQ(Bytes(found.begin(), found.end()), gainMap);
  const Bytes own = *PrimaryXmpWithGainMap({}, 7);  // a packet of our own for a photograph without XMP
  EXPECT_NE(std::string(own.begin(), own.end()).find("<Item:Length>7</Item:Length>"), std::string::npos);
  // A directory naming another length, an index cut short or pointing elsewhere, a file cut.
  const Bytes wrongLength = BuildGainMapJpegOutput(jpeg, {}, *PrimaryXmpWithGainMap(B(photoXmp), gainMap.size() + 1), {}, gainMap);
  Bytes moved = file;
  moved[file.size() - gainMap.size() - jpeg.size() + 2 - 4 - 1] ^= 1;  // the second image's offset
  Bytes cut = file;
  cut.pop_back();
  for (const Bytes& bad : {wrongLength, moved, cut, jpeg})
    EXPECT_EQ(ErrorOf([&] { FindGainMapImage(bad); }), "輸出增益圖驗證失敗");
}

}  // namespace
}  // namespace vellumora
