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
  EXPECT_FALSE(XmpForOutput(B("<x:xmpmeta/>"), {OutputGainMap{1}, {}}));
  EXPECT_EQ(*XmpForOutput(B("<broken <a>"), {}), B("<broken <a>"));
}

}  // namespace
}  // namespace vellumora
