#include <gtest/gtest.h>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
#include "convert/formats/iso_gain_map.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/motion_photo.h"
#include "convert/formats/xmp_claims.h"
#include "formats_test_support.h"

namespace vellumora {
namespace {

using test::B, test::Be32, test::Cat;

Bytes Box(std::string_view type, const Bytes& payload) { return Cat({Be32(static_cast<std::uint32_t>(payload.size() + 8)), B(type), payload}); }

const Bytes kMp4 = Cat({Box("ftyp", B("isom")), Box("mdat", B("frames")), Box("moov", Box("mvhd", Bytes(12, 1)))});
const Bytes kTrailer = Cat({B(std::string_view("\0\0\x01\x0a\x0e\0\0\0Image_UTC_Data", 22)), B("SEFH"), Be32(0), B("SEFT")});
const Bytes kHeif = Cat({Box("ftyp", B("heicmif1")), Box("meta", Bytes(20, 0)), Box("mdat", Bytes(30, 7))});

TEST(FindSourceVideo, TheMp4IsWhatItsOwnBoxesSpanAndADamagedOneIsNoVideo) {
  using State = SourceVideo::State;
  const auto mp4Of = [](const Bytes& inside) {
    const Bytes file = Cat({kHeif, Box("mpvd", inside)});
    const SourceVideo v = FindSourceVideo(file);
    return v.state == State::kFound ? Bytes(v.mp4.begin(), v.mp4.end()) : Bytes{};
  };
  EXPECT_EQ(mp4Of(kMp4), kMp4);
  EXPECT_EQ(mp4Of(Cat({kMp4, kTrailer})), kMp4);  // Samsung's trailer is not the video
  // An mdat of size 0 reaches the end of mpvd; a 64-bit size is read.
  const Bytes open = Cat({Box("ftyp", {}), Box("moov", {}), B(std::string_view("\0\0\0\0mdat", 8)), kTrailer});
  EXPECT_EQ(mp4Of(open), open);
  const Bytes wide = Cat({Box("ftyp", {}), Box("moov", {}), Be32(1), B("mdat"), Be32(0), Be32(20), B("4321")});
  EXPECT_EQ(mp4Of(Cat({wide, kTrailer})), wide);

  EXPECT_EQ(FindSourceVideo(kHeif).state, State::kNone);
  Bytes cutFile = Cat({kHeif, Box("mpvd", kMp4)}), cutMdat = kMp4;
  cutFile.pop_back();           // mpvd runs past the file
  cutMdat[12] = 0x7F;           // mdat runs past mpvd
  for (const Bytes& damaged : {cutFile, Cat({kHeif, Box("mpvd", cutMdat)}), Cat({kHeif, Box("mpvd", Box("moov", {}))}),
                               Cat({kHeif, Box("mpvd", Cat({Box("ftyp", {}), Box("mdat", {})}))}), Cat({kHeif, Box("mpvd", kTrailer)})})
    EXPECT_EQ(FindSourceVideo(damaged).state, State::kUnreadable);
}

TEST(CheckMotionPhotoJpeg, AReaderFindsExactlyTheSourcesMp4AfterTheImages) {
  // Coded data with a stuffed byte and a restart marker before the end of image.
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0x00, 0xFF, 0xD0, 0x12, 0xFF, 0xD9};
  EXPECT_EQ(JpegImageEnd(jpeg), jpeg.size());
  const Bytes gain = BuildGainMapImage(jpeg, AppleGainMapMetadata(UsableHeadroom(4.0)->log2Millionths));
  const auto file = [&](bool gainMap, std::uint64_t stated, const Bytes& tail) {
    const Bytes xmp = *XmpForOutput({}, {gainMap ? std::optional(OutputGainMap{gain.size()}) : std::nullopt, OutputVideo{stated, 0, {}}});
    return Cat({gainMap ? BuildGainMapJpegOutput(jpeg, {}, xmp, {}, gain) : BuildJpegOutput(jpeg, {}, xmp, {}), tail});
  };
  for (const bool gainMap : {false, true}) {
    const Bytes good = file(gainMap, kMp4.size(), kMp4);
    const auto images = CheckMotionPhotoJpeg(good, kMp4, gainMap);
    EXPECT_EQ(images.size(), good.size() - kMp4.size());
    EXPECT_EQ(gainMap ? FindGainMapImage(images).size() : gain.size(), gain.size());
    // Another video, a byte after it, a directory naming another length, a byte between image and
    // video, the directory naming the gain map when none was written or the other way round.
    Bytes changed = good;
    changed.back() ^= 1;
    for (const Bytes& bad : {changed, Cat({good, B("x")}), file(gainMap, kMp4.size() + 1, Cat({kMp4, B("x")})),
                             file(gainMap, kMp4.size(), Cat({B("x"), kMp4}))})
      EXPECT_EQ(test::ErrorOf([&] { CheckMotionPhotoJpeg(bad, kMp4, gainMap); }), "輸出動態相片驗證失敗");
    EXPECT_EQ(test::ErrorOf([&] { CheckMotionPhotoJpeg(good, kMp4, !gainMap); }), "輸出動態相片驗證失敗");
  }
}

}  // namespace
}  // namespace vellumora
