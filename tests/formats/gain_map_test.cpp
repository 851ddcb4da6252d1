#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "convert/formats/exif_item.h"
#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
#include "convert/formats/iso_gain_map.h"
#include "convert/formats/pixel_turn.h"
#include "convert/formats/xmp_claims.h"
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
  // The rule's four branches; 0x0021 alone is read with 0x0030 as 0 (pug.heic: 0.8786 gives 1.8 stops).
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(0.5, 0.005)), std::exp2(1.7), 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(0.5, 2.0)), std::exp2(1.399), 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(1.2, 0.0)), 8.0, 1e-5);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(1.2, 10.0)), 1.0, 1e-9);
  EXPECT_NEAR(*HeadroomFromAppleMakerNote(AppleExif(0.8786, std::nullopt)), std::exp2(1.8), 1e-5);
  for (const double bad : {1.0, 0.5, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
    EXPECT_FALSE(UsableHeadroom(bad)) << bad;
}

TEST(GainMapJpeg, TheWrittenIndexAndDirectoryLeadToTheGainMapAndNothingElse) {
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9};
  const Bytes gainMap = BuildGainMapImage(jpeg, AppleGainMapMetadata(UsableHeadroom(4.0)->log2Millionths));
  const Bytes photoXmp = B("<x:xmpmeta><rdf:RDF><rdf:Description a='1'/></rdf:RDF></x:xmpmeta>");
  const auto primaryXmp = [](const Bytes& xmp, std::size_t length) { return *XmpForOutput(xmp, {OutputGainMap{length}, {}}); };
  const Bytes file = BuildGainMapJpegOutput(jpeg, {}, primaryXmp(photoXmp, gainMap.size()), {}, gainMap);
  const auto found = FindGainMapImage(file);
  EXPECT_EQ(Bytes(found.begin(), found.end()), gainMap);
  // A directory naming another length, an index pointing elsewhere, a file cut short, no index.
  Bytes moved = file, cut = file;
  moved[file.size() - gainMap.size() - jpeg.size() + 2 - 5] ^= 1;  // the second image's offset
  cut.pop_back();
  for (const Bytes& bad : {BuildGainMapJpegOutput(jpeg, {}, primaryXmp({}, gainMap.size() + 1), {}, gainMap),
                           moved, cut, jpeg})
    EXPECT_EQ(test::ErrorOf([&] { FindGainMapImage(bad); }), "輸出增益圖驗證失敗");
}

// The tone-map item of a Samsung Galaxy S25 photograph: one channel in the base's colour space,
// alternate headroom and gain-map maximum 0x933333 / 0x400000 (2.3 stops).
const Bytes kS25ToneMap = Cat({Bytes{0, 0, 0, 0, 0, 0x40}, Be32(0), Be32(1), Be32(0x933333), Be32(0x400000), Be32(0), Be32(1),
                               Be32(0x933333), Be32(0x400000), Be32(1), Be32(1), Be32(0), Be32(1), Be32(0), Be32(1)});

TEST(IsoGainMap, CarriesTheCamerasFractionsExactlyAndRefusesWhatItCannotState) {
  const auto s25 = ParseToneMapItem(kS25ToneMap);
  ASSERT_TRUE(s25);
  EXPECT_EQ(s25->channels.size(), 1u);
  EXPECT_EQ(s25->alternateHeadroom, (GainMapFraction{0x933333, 0x400000}));
  const Bytes payload = IsoGainMapPayload(*s25);
  EXPECT_EQ(Bytes(payload.begin() + 28, payload.end()), Bytes(kS25ToneMap.begin() + 1, kS25ToneMap.end()));
  // Three channels with negative offsets and a later writer's extra bytes come back byte for byte.
  Bytes three = Cat({Bytes{0, 0, 0, 0, 7, 0xC0}, Be32(1), Be32(2), Be32(3), Be32(2)});
  for (int c = 0; c < 3; ++c)
    three = Cat({three, Be32(0xFFFFFFFF - c), Be32(10), Be32(20 + c), Be32(10), Be32(83), Be32(100), Be32(1), Be32(100000),
                 Be32(0xFFFFFFFF), Be32(100000)});
  three = Cat({three, Bytes{9, 9}});
  const auto parsed = ParseToneMapItem(three);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->channels[2].min, (GainMapFraction{-3, 10}));
  EXPECT_EQ(IsoGainMapPayload(*parsed), Cat({B(kIsoGainMapIdentifier), Bytes(three.begin() + 1, three.end())}));
  // The hdrgm XMP of it states the same numbers per channel; read back, they are the same.
  const auto again = GainMapMetadataFromXmp(GainMapXmp(*parsed));
  ASSERT_TRUE(again);
  for (std::size_t c = 0; c < 3; ++c)
    EXPECT_DOUBLE_EQ(again->channels[c].max.Value(), parsed->channels[c].max.Value()) << c;
  EXPECT_DOUBLE_EQ(again->channels[1].gamma.Value(), 0.83);
  EXPECT_DOUBLE_EQ(again->alternateHeadroom.Value(), 1.5);
  // Another item version or minimum version, a flag not known here, a field cut short, a zero
  // denominator, an alternate not brighter than the base, no gamma, a maximum below the minimum.
  const auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes b = kS25ToneMap;
    b[at] = value;
    return b;
  };
  for (const Bytes& bad : {with(0, 1), with(2, 1), with(5, 0x48), Bytes(kS25ToneMap.begin(), kS25ToneMap.end() - 1),
                           with(61, 0), with(9, 0x94), with(41, 0), with(30, 0x94)})
    EXPECT_FALSE(ParseToneMapItem(bad));
}

TEST(IsoGainMap, SamsungsAndApplesMetadataBecomeTheSameRecord) {
  const auto samsung = GainMapMetadataFromXmp(B(R"(<rdf:Description rdf:about="" xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/"
      hdrgm:Version="1.0" hdrgm:GainMapMin="0.000000" hdrgm:GainMapMax="2.300000" hdrgm:Gamma="1.000000"
      hdrgm:OffsetSDR="0.000000" hdrgm:OffsetHDR="0.000000" hdrgm:HDRCapacityMin="0.000000"
      hdrgm:HDRCapacityMax="2.300000" hdrgm:BaseRenditionIsHDR="False"/>)"));
  ASSERT_TRUE(samsung);
  EXPECT_EQ(samsung->channels[0].max, (GainMapFraction{2300000, 1000000}));
  // Left-out properties take hdrgm's defaults; another prefix is the same namespace.
  const auto defaults = GainMapMetadataFromXmp(B("<d xmlns:g='http://ns.adobe.com/hdr-gain-map/1.0/' g:Version='1.0'>"
                                                 "<g:GainMapMax>3</g:GainMapMax><g:HDRCapacityMax>3</g:HDRCapacityMax></d>"));
  ASSERT_TRUE(defaults);
  EXPECT_DOUBLE_EQ(defaults->channels[0].baseOffset.Value(), 0.015625);
  for (const char* bad : {R"(<d xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/" hdrgm:Version="1.0" hdrgm:GainMapMax="2"/>)",
                          R"(<d xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/" hdrgm:Version="1.0" hdrgm:GainMapMax="2"
                             hdrgm:HDRCapacityMax="2" hdrgm:BaseRenditionIsHDR="True"/>)",
                          R"(<d xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/" hdrgm:Version="1.0" hdrgm:GainMapMax="x"
                             hdrgm:HDRCapacityMax="2"/>)"})
    EXPECT_FALSE(GainMapMetadataFromXmp(B(bad))) << bad;
  // Apple's: what the gain-map JPEG has always said of a remapped Apple gain map.
  const auto apple = IsoGainMapPayload(AppleGainMapMetadata(1944321));
  EXPECT_EQ(Bytes(apple.begin() + 28, apple.end()),
            Cat({Bytes{0, 0, 0, 0, 0x40}, Be32(0), Be32(1), Be32(1944321), Be32(1000000), Be32(0), Be32(1), Be32(1944321),
                 Be32(1000000), Be32(1), Be32(1), Be32(0), Be32(1), Be32(0), Be32(1)}));
}

TEST(GainMapPixels, TurnAsTheImagesPropertiesSayAndXiaomisExifEndsWithItsSegment) {
  using K = PixelTurn::Kind;
  const PixelRows picture{{0, 1, 2, 3, 4, 5}, 3, 2, 1};  // 0 1 2 / 3 4 5
  const auto turned = [&](std::vector<PixelTurn> turns) { return ApplyTurns(picture, turns).pixels; };
  EXPECT_EQ(turned({{K::RotateAnticlockwise, 1}}), (Bytes{2, 5, 1, 4, 0, 3}));
  EXPECT_EQ(turned({{K::RotateAnticlockwise, 2}}), (Bytes{5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(turned({{K::MirrorLeftRight, 0}}), (Bytes{2, 1, 0, 5, 4, 3}));
  EXPECT_EQ(turned({{K::RotateAnticlockwise, 1}, {K::MirrorTopBottom, 0}}), (Bytes{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(ApplyTurns({{1, 2, 3, 4, 5, 6}, 2, 1, 3}, std::vector<PixelTurn>{{K::RotateAnticlockwise, 1}}).pixels,
            (Bytes{4, 5, 6, 1, 2, 3}));

  // Offset 10, then an APP1 segment with the Exif block, then a preview and padding. Its length
  // says 2 + 6 + 46 bytes, two short of the 4-byte thumbnail that IFD1 names at the TIFF's end, as
  // Xiaomi writes it: the block ends with the thumbnail.
  const Bytes tiff = Cat({B(std::string_view("MM\0\x2A\0\0\0\x08\0\0\0\0\0\x0E\0\x02", 16)), Be16(0x201), Be16(4), Be32(1),
                          Be32(44), Be16(0x202), Be16(4), Be32(1), Be32(4), Be32(0), Bytes{0xFF, 0xD8, 0xFF, 0xD9}});
  const Bytes item = Cat({Be32(10), Bytes{0xFF, 0xE1}, Be16(54), B(std::string_view("Exif\0\0", 6)), tiff,
                          Bytes{0xFF, 0xD8, 0xFF, 0xD9}, Bytes(64, 0)});
  const auto bounded = ExifItemWithinSegment(item);
  EXPECT_EQ(Bytes(bounded.begin(), bounded.end()), Bytes(item.begin(), item.begin() + 14 + 48));
  const Bytes plain = Cat({Be32(0), tiff, Bytes(8, 0)});
  EXPECT_EQ(ExifItemWithinSegment(plain).size(), plain.size());
  Bytes overlong = item;
  overlong[7] = 200;  // the segment would run past the item
  EXPECT_EQ(test::ErrorOf([&] { ExifItemWithinSegment(overlong); }), "EXIF 資料損壞，已保留原檔");
}

// What a reader takes from a packet's claims, on one line.
std::string Said(const Bytes& xmp) {
  const XmpClaims c = ReadXmpClaims(xmp);
  const auto number = [](const auto& v) { return v ? std::to_string(*v) : std::string("-"); };
  std::string s = std::string(c.complete ? "" : "incomplete ") + (c.gainMap ? "hdrgm " : "") + (c.microVideo ? "micro " : "");
  s += "motion=" + number(c.motionPhoto) + " ts=" + number(c.presentationTimestampUs);
  for (const auto& i : c.directory) s += " " + i.semantic + "/" + i.mime + "/" + number(i.length) + "/" + number(i.padding);
  return s;
}

TEST(XmpForOutput, TakesOutEveryClaimKeepsTheRestAndAddsExactlyThePartsWritten) {
  // Samsung-like claims beside what is not a claim (a namesake in another namespace), and an
  // element-form claim under a prefix of its own.
  const std::string head = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
                           "<rdf:Description xmlns:G='http://ns.google.com/photos/1.0/camera/' xmlns:o='urn:o/'";
  const std::string tail = "\n  <dc:title xmlns:dc='http://purl.org/dc/elements/1.1/'>t</dc:title>\n</rdf:Description></rdf:RDF></x:xmpmeta>";
  const Bytes phone = B(head + " G:MotionPhoto='1' G:MotionPhotoPresentationTimestampUs='-1' G:SpecialTypeID='x' o:MotionPhoto='1'"
                        " xmlns:hdrgm='http://ns.adobe.com/hdr-gain-map/1.0/' hdrgm:Version=\"1.0\">\n  <C:Directory"
                        " xmlns:C='http://ns.google.com/photos/1.0/container/' xmlns:I='http://ns.google.com/photos/1.0/container/item/'>"
                        "<rdf:Seq><rdf:li rdf:parseType='Resource'><C:Item I:Semantic='Primary' I:Mime='image/heic'/></rdf:li>"
                        "<rdf:li><C:Item rdf:parseType='Resource'><I:Semantic>MotionPhoto</I:Semantic><I:Mime>video/mp4</I:Mime>"
                        "<I:Length>77</I:Length><I:Padding>0</I:Padding></C:Item></rdf:li></rdf:Seq></C:Directory>\n"
                        "  <mp:MicroVideo xmlns:mp='http://ns.google.com/photos/1.0/camera/'>1</mp:MicroVideo>" + tail);
  EXPECT_EQ(Said(phone), "hdrgm micro motion=1 ts=-1 Primary/image/heic/-/- MotionPhoto/video/mp4/77/0");
  // No parts (a PNG, a JPG whose video could not be kept): no claim left, nothing else touched.
  const Bytes bare = *XmpForOutput(phone, {});
  EXPECT_EQ(std::string(bare.begin(), bare.end()), head + " G:SpecialTypeID='x' o:MotionPhoto='1' xmlns:hdrgm="
                                                   "'http://ns.adobe.com/hdr-gain-map/1.0/'>" + tail);
  EXPECT_EQ(*XmpForOutput(bare, {}), bare);
  // Exactly the parts written, in file order, with their lengths; a timestamp only when stated.
  EXPECT_EQ(Said(*XmpForOutput(phone, {OutputGainMap{1234}, OutputVideo{5678, 0, -1}})),
            "hdrgm motion=1 ts=-1 Primary/image/jpeg/-/0 GainMap/image/jpeg/1234/0 MotionPhoto/video/mp4/5678/0");
  EXPECT_EQ(Said(*XmpForOutput(phone, {OutputGainMap{10}, {}})), "hdrgm motion=- ts=- Primary/image/jpeg/-/- GainMap/image/jpeg/10/-");
  EXPECT_EQ(Said(*XmpForOutput({}, {{}, OutputVideo{1, 0, {}}})), "motion=1 ts=- Primary/image/jpeg/-/0 MotionPhoto/video/mp4/1/0");
  // An RDF element in the default namespace: our description binds a prefix of its own.
  EXPECT_EQ(Said(*XmpForOutput(B("<RDF xmlns='http://www.w3.org/1999/02/22-rdf-syntax-ns#'></RDF>"), {{}, OutputVideo{5, 0, {}}})),
            "motion=1 ts=- Primary/image/jpeg/-/0 MotionPhoto/video/mp4/5/0");
  // Refused: not well-formed while it mentions a claim (one may hide where the walk stopped), or
  // claims to add and no rdf:RDF to add them to. Broken but claiming nothing: as it was.
  EXPECT_FALSE(XmpForOutput(B("<rdf:RDF><d GCamera:MotionPhoto='1' x></rdf:RDF>"), {}));
  EXPECT_FALSE(XmpForOutput(B(std::string_view("<rdf:RDF><d xmlns:G='http:\0.google.com/photos/1.0/camera/' G:MicroVideo='1'/></rdf:RDF>", 87)), {}));
  EXPECT_FALSE(XmpForOutput(B("<x:xmpmeta/>"), {OutputGainMap{1}, {}}));
  EXPECT_EQ(*XmpForOutput(B("<broken <a>"), {}), B("<broken <a>"));
}

}  // namespace
}  // namespace vellumora
