#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
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

// A Samsung-like packet: hdrgm, GCamera motion photo and retired MicroVideo claims, a directory
// of the source's parts, beside properties that are not claims (one of them a namesake in
// another namespace) and an element-form claim under a prefix of its own.
constexpr std::string_view kPhoneXmp =
    "<?xpacket begin=''?><x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
    "<rdf:Description xmlns:GCamera='http://ns.google.com/photos/1.0/camera/' xmlns:hdrgm='http://ns.adobe.com/hdr-gain-map/1.0/'"
    " xmlns:Container='http://ns.google.com/photos/1.0/container/' xmlns:Item='http://ns.google.com/photos/1.0/container/item/'"
    " xmlns:o='urn:other/' GCamera:MotionPhoto='1' GCamera:MotionPhotoVersion='1' GCamera:MotionPhotoPresentationTimestampUs='-1'"
    " GCamera:MicroVideoOffset=\"9\" hdrgm:Version=\"1.0\" GCamera:SpecialTypeID='x' o:MotionPhoto='1'>\n"
    "  <Container:Directory><rdf:Seq><rdf:li rdf:parseType='Resource'><Container:Item Item:Semantic='Primary' Item:Mime='image/heic'/>"
    "</rdf:li><rdf:li rdf:parseType='Resource'><Container:Item Item:Semantic='MotionPhoto' Item:Mime='video/mp4' Item:Length='77'"
    " Item:Padding='0'/></rdf:li></rdf:Seq></Container:Directory>\n"
    "  <dc:title xmlns:dc='http://purl.org/dc/elements/1.1/'>t</dc:title>\n"
    "  <mp:MicroVideo xmlns:mp='http://ns.google.com/photos/1.0/camera/'>1</mp:MicroVideo>\n"
    "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";

TEST(XmpForOutput, TakesOutEveryClaimKeepsTheRestAndAddsExactlyThePartsWritten) {
  const Bytes phone = B(kPhoneXmp);
  const XmpClaims source = ReadXmpClaims(phone);
  EXPECT_TRUE(source.gainMap && source.microVideo && source.complete);
  EXPECT_EQ(source.motionPhoto, 1);
  EXPECT_EQ(source.presentationTimestampUs, -1);
  ASSERT_EQ(source.directory.size(), 2u);
  EXPECT_EQ(source.directory[1].length, 77u);

  // No parts (a PNG, a JPG whose video could not be kept): not one claim left, nothing else touched.
  const Bytes bare = *XmpForOutput(phone, {});
  EXPECT_EQ(std::string(bare.begin(), bare.end()),
            "<?xpacket begin=''?><x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
            "<rdf:Description xmlns:GCamera='http://ns.google.com/photos/1.0/camera/' xmlns:hdrgm='http://ns.adobe.com/hdr-gain-map/1.0/'"
            " xmlns:Container='http://ns.google.com/photos/1.0/container/' xmlns:Item='http://ns.google.com/photos/1.0/container/item/'"
            " xmlns:o='urn:other/' GCamera:SpecialTypeID='x' o:MotionPhoto='1'>\n"
            "  <dc:title xmlns:dc='http://purl.org/dc/elements/1.1/'>t</dc:title>\n"
            "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>");
  EXPECT_EQ(*XmpForOutput(bare, {}), bare);

  // A gain map and a video: the claims of exactly these, in file order, with their lengths.
  const Bytes both = *XmpForOutput(phone, {OutputGainMap{1234}, OutputVideo{5678, 0, source.presentationTimestampUs}});
  const XmpClaims written = ReadXmpClaims(both);
  EXPECT_TRUE(written.gainMap && written.complete && !written.microVideo);
  EXPECT_EQ(written.motionPhoto, 1);
  EXPECT_EQ(written.presentationTimestampUs, -1);
  ASSERT_EQ(written.directory.size(), 3u);
  const std::string names[] = {"Primary", "GainMap", "MotionPhoto"}, mimes[] = {"image/jpeg", "image/jpeg", "video/mp4"};
  const std::optional<std::uint64_t> lengths[] = {std::nullopt, 1234, 5678};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(written.directory[i].semantic, names[i]);
    EXPECT_EQ(written.directory[i].mime, mimes[i]);
    EXPECT_EQ(written.directory[i].length, lengths[i]);
    EXPECT_EQ(written.directory[i].padding, 0u);
  }
  // Only a gain map: no motion-photo claim at all, and no timestamp that a source never stated.
  const XmpClaims gainOnly = ReadXmpClaims(*XmpForOutput(phone, {OutputGainMap{10}, {}}));
  EXPECT_TRUE(gainOnly.gainMap && !gainOnly.motionPhoto && !gainOnly.presentationTimestampUs);
  EXPECT_EQ(gainOnly.directory.size(), 2u);
  EXPECT_FALSE(ReadXmpClaims(*XmpForOutput({}, {{}, OutputVideo{1, 0, {}}})).presentationTimestampUs);
}

TEST(XmpForOutput, RefusesWhatItCannotRewriteFaithfully) {
  const OutputParts video{{}, OutputVideo{5, 0, {}}};
  // Not well-formed: a claim may hide where the walk stopped.
  EXPECT_FALSE(XmpForOutput(B("<rdf:RDF><d GCamera:MotionPhoto='1' x></rdf:RDF>"), {}));
  EXPECT_FALSE(XmpForOutput(B("<rdf:RDF><a></b></rdf:RDF>"), video));
  EXPECT_EQ(*XmpForOutput(B("<broken <a>"), {}), B("<broken <a>"));  // mentions no claim: as it was
  // Claims to add and nowhere to add them.
  EXPECT_FALSE(XmpForOutput(B("<x:xmpmeta/>"), video));
  // An RDF element in the default namespace: our description binds a prefix of its own.
  const Bytes plain = *XmpForOutput(B("<RDF xmlns='http://www.w3.org/1999/02/22-rdf-syntax-ns#'></RDF>"), video);
  EXPECT_EQ(ReadXmpClaims(plain).directory.size(), 2u);
}

}  // namespace
}  // namespace vellumora
