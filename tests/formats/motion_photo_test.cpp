#include <gtest/gtest.h>

#include <string>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/motion_photo.h"
#include "convert/formats/xmp_claims.h"
#include "formats_test_support.h"

namespace vellumora {
namespace {

using test::B, test::Be32, test::Cat;

Bytes Box(std::string_view type, const Bytes& payload) { return Cat({Be32(static_cast<std::uint32_t>(payload.size() + 8)), B(type), payload}); }

const Bytes kMp4 = Cat({Box("ftyp", B("isom\0\0\2\0")), Box("mdat", B("frames")), Box("moov", Box("mvhd", Bytes(12, 1)))});
// Samsung's trailer after the MP4 inside mpvd: blocks of "\0\0" and a type, a directory, "SEFT".
const Bytes kTrailer = Cat({B(std::string_view("\0\0\x30\x0a\x10\0\0\0MotionPhoto_Data", 24)), B("SEFH"), Be32(0), B("SEFT")});
const Bytes kHeif = Cat({Box("ftyp", B("heicmif1")), Box("meta", Bytes(20, 0)), Box("mdat", Bytes(30, 7))});

TEST(FindSourceVideo, TheMp4IsWhatItsOwnBoxesSpanAndADamagedOneIsNoVideo) {
  using State = SourceVideo::State;
  for (const Bytes& inside : {kMp4, Cat({kMp4, kTrailer})}) {
    const Bytes file = Cat({kHeif, Box("mpvd", inside)});
    const SourceVideo found = FindSourceVideo(file);
    ASSERT_EQ(found.state, State::kFound);
    EXPECT_EQ(Bytes(found.mp4.begin(), found.mp4.end()), kMp4);
    EXPECT_EQ(found.mp4.data(), file.data() + kHeif.size() + 8);
  }
  // An mdat of size 0 reaches the end of mpvd; a 64-bit box size is read.
  const Bytes open = Cat({Box("ftyp", B("isom")), Box("moov", {}), B(std::string_view("\0\0\0\0mdat", 8)), B("rest")});
  EXPECT_EQ(FindSourceVideo(Cat({kHeif, Box("mpvd", open)})).mp4.size(), open.size());
  const Bytes wide = Cat({Box("ftyp", B("isom")), Box("moov", {}), Be32(1), B("mdat"), Be32(0), Be32(20), B("4321")});
  EXPECT_EQ(FindSourceVideo(Cat({kHeif, Box("mpvd", Cat({wide, kTrailer}))})).mp4.size(), wide.size());

  EXPECT_EQ(FindSourceVideo(kHeif).state, State::kNone);
  Bytes cutFile = Cat({kHeif, Box("mpvd", kMp4)});
  cutFile.pop_back();  // mpvd itself runs past the file
  Bytes cutMdat = kMp4;
  cutMdat[Box("ftyp", B("isom\0\0\2\0")).size() + 3] += 1;  // mdat runs past mpvd
  for (const Bytes& damaged : {cutFile, Cat({kHeif, Box("mpvd", cutMdat)}), Cat({kHeif, Box("mpvd", Box("moov", {}))}),
                               Cat({kHeif, Box("mpvd", Cat({Box("ftyp", {}), Box("mdat", {})}))}),
                               Cat({kHeif, Box("mpvd", kTrailer)})})
    EXPECT_EQ(FindSourceVideo(damaged).state, State::kUnreadable);
}

TEST(CheckMotionPhotoJpeg, AReaderFindsExactlyTheSourcesMp4AfterTheImages) {
  // Coded data with a stuffed byte and a restart marker before the end of image.
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0x00, 0xFF, 0xD0, 0x12, 0xFF, 0xD9};
  EXPECT_EQ(JpegImageEnd(jpeg), jpeg.size());
  const auto withVideo = [&](bool gainMap, std::uint64_t directoryLength, const Bytes& tail) {
    const Bytes gain = BuildGainMapImage(jpeg, *UsableHeadroom(4.0));
    const OutputParts parts{gainMap ? std::optional(OutputGainMap{gain.size()}) : std::nullopt,
                            OutputVideo{directoryLength, 0, 1500}};
    const Bytes xmp = *XmpForOutput({}, parts);
    return Cat({gainMap ? BuildGainMapJpegOutput(jpeg, {}, xmp, {}, gain) : BuildJpegOutput(jpeg, {}, xmp, {}), tail});
  };
  for (const bool gainMap : {false, true}) {
    const Bytes file = withVideo(gainMap, kMp4.size(), kMp4);
    const auto images = CheckMotionPhotoJpeg(file, kMp4, gainMap);
    EXPECT_EQ(images.size(), file.size() - kMp4.size());
    if (gainMap) {
      EXPECT_NO_THROW(FindGainMapImage(images));
    }

    Bytes changed = file;
    changed.back() ^= 1;
    const Bytes other = Cat({kMp4, B("x")});
    for (const Bytes& bad : {changed, Cat({file, B("x")}), withVideo(gainMap, kMp4.size() + 1, other),
                             withVideo(gainMap, kMp4.size(), Cat({B("x"), kMp4}))})
      EXPECT_EQ(test::ErrorOf([&] { CheckMotionPhotoJpeg(bad, kMp4, gainMap); }), "輸出動態相片驗證失敗");
    // The directory must name the gain map exactly when one was written.
    EXPECT_EQ(test::ErrorOf([&] { CheckMotionPhotoJpeg(file, kMp4, !gainMap); }), "輸出動態相片驗證失敗");
  }
}

}  // namespace
}  // namespace vellumora
