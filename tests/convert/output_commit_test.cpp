#include "convert/output_commit.h"

#include <gtest/gtest.h>

#include "convert_test_support.h"
#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
#include "convert/formats/iso_gain_map.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/png_container.h"
#include "convert/formats/xmp_claims.h"
#include "convert/image_encoder.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;

// A 6 × 4 picture, packed for the given output.
TestPicture Picture(bool isPng) {
  Bytes rgba(6 * 4 * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<std::uint8_t>(i * 11);
  for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
  return PackTestPicture(std::move(rgba), 6, 4, 24, isPng, false);
}

const Bytes kExif = [] {
  Bytes exif = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
  return exif;
}();

class CommitOutputTest : public ComTest {
 protected:
  void SetUp() override {
    source_ = dir_ / L"IMG_1.heic";
    WriteAll(source_, Bytes(100, 7));
    // A source last written and read long ago, so copied times are easy to tell apart.
    const FILETIME access = FromTicks(132000000000000000ull), write = FromTicks(131000000000000000ull);
    ASSERT_TRUE(SetTimes(source_, &access, &write));
    HANDLE h = CreateFileW(source_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    GetFileInformationByHandle(h, &snapshot_);
    CloseHandle(h);
    request_.source = source_.wstring();
  }

  // The encoder's bytes for `packed`, with the Exif block spliced in.
  Bytes Output(const PackedImage& packed, bool isPng, const Bytes& exif) {
    const Bytes encoded = EncodeImage(factory_.Get(), packed, isPng, 95);
    return isPng ? BuildPngOutput(encoded, exif, {}, {}) : BuildJpegOutput(encoded, exif, {}, {});
  }

  std::string Commit(const Bytes& output, const PackedImage& packed, const Bytes& exif) {
    return FailureOf([&] { final_ = CommitOutput(request_, Bytes(output), packed, factory_.Get(), exif, snapshot_); });
  }

  ScratchDir dir_;
  fs::path source_;
  SourceSnapshot snapshot_{};
  ConversionRequest request_;
  std::wstring final_;
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory_ = CreateImagingFactory();
};

TEST_F(CommitOutputTest, NamesTheOutputAfterTheSourceAndCopiesItsTimes) {
  request_.options.format = OutputFormat::Png;
  const TestPicture picture = Picture(true);
  const PackedImage& packed = picture.packed;
  const Bytes output = Output(packed, true, kExif);
  FILETIME before{};
  GetSystemTimeAsFileTime(&before);
  ASSERT_EQ(Commit(output, packed, kExif), "(no exception)");
  EXPECT_EQ(final_, (dir_ / L"IMG_1.png").wstring());

  const FileTimes times = TimesOf(final_);  // before reading it, which may move the access time
  EXPECT_EQ(Ticks(times.write), Ticks(snapshot_.ftLastWriteTime));
  EXPECT_EQ(Ticks(times.access), Ticks(snapshot_.ftLastAccessTime));
  // Linux file systems under Wine keep no creation time of their own; Windows does.
  if (!RunningUnderWine()) {
    EXPECT_GE(Ticks(times.creation) + 20000000ull, Ticks(before)) << "the output keeps its own creation time";
  }
  EXPECT_EQ(ReadAll(final_), output);
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::wstring>{L"IMG_1.heic", L"IMG_1.png"}));
}

TEST_F(CommitOutputTest, TakesTheFirstFreeNameAndNeverTouchesExistingFiles) {
  WriteAll(dir_ / L"IMG_1.jpg", Bytes{'o', 'l', 'd'});
  WriteAll(dir_ / L"IMG_1 (1).jpg", Bytes{'o', 'l', 'd', '1'});
  const FILETIME old = FromTicks(130000000000000000ull);
  ASSERT_TRUE(SetTimes(dir_ / L"IMG_1.jpg", &old, &old));
  request_.options.format = OutputFormat::Jpg;
  const TestPicture picture = Picture(false);
  const PackedImage& packed = picture.packed;

  ASSERT_EQ(Commit(Output(packed, false, {}), packed, {}), "(no exception)");
  EXPECT_EQ(final_, (dir_ / L"IMG_1 (2).jpg").wstring());
  ASSERT_EQ(Commit(Output(packed, false, {}), packed, {}), "(no exception)");
  EXPECT_EQ(final_, (dir_ / L"IMG_1 (3).jpg").wstring());

  EXPECT_EQ(ReadAll(dir_ / L"IMG_1.jpg"), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(ReadAll(dir_ / L"IMG_1 (1).jpg"), (Bytes{'o', 'l', 'd', '1'}));
  EXPECT_EQ(Ticks(TimesOf(dir_ / L"IMG_1.jpg").write), Ticks(old));
  EXPECT_FALSE(HasTemporaryFile(dir_.path()));
}

TEST_F(CommitOutputTest, CreatesTheOutputFolderWithItsParents) {
  const fs::path folder = dir_ / L"輸出 資料夾\\第二層\\三";
  request_.options.destination = Destination::Folder;
  request_.options.folder = folder.wstring();
  request_.options.format = OutputFormat::Png;
  const TestPicture picture = Picture(true);
  const PackedImage& packed = picture.packed;
  ASSERT_EQ(Commit(Output(packed, true, {}), packed, {}), "(no exception)");
  EXPECT_EQ(final_, (folder / L"IMG_1.png").wstring());
  EXPECT_EQ(Listing(folder), std::vector<std::wstring>{L"IMG_1.png"});
}

TEST_F(CommitOutputTest, AnOutputFolderThatCannotBeCreatedFailsNamingIt) {
  WriteAll(dir_ / L"一個檔案", Bytes{1});
  request_.options.destination = Destination::Folder;
  request_.options.folder = (dir_ / L"一個檔案" / L"子資料夾").wstring();
  const TestPicture picture = Picture(false);
  const PackedImage& packed = picture.packed;
  const std::string message = Commit(Output(packed, false, {}), packed, {});
  EXPECT_NE(message, "(no exception)");
  EXPECT_NE(ToUtf16(message).find(L"子資料夾"), std::wstring::npos) << "the path reads as written: " << message;
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::wstring>{L"IMG_1.heic", L"一個檔案"}));
}

TEST_F(CommitOutputTest, ExifThatDidNotSurviveFailsAndLeavesNothingBehind) {
  for (const bool isPng : {false, true}) {
    request_.options.format = isPng ? OutputFormat::Png : OutputFormat::Jpg;
    const TestPicture picture = Picture(isPng);
    const PackedImage& packed = picture.packed;
    // Expected Exif missing from the file, and an unexpected one present.
    EXPECT_EQ(Commit(Output(packed, isPng, {}), packed, kExif), "EXIF 保留驗證失敗，已保留原檔");
    EXPECT_EQ(Commit(Output(packed, isPng, kExif), packed, {}), "EXIF 保留驗證失敗，已保留原檔");
    Bytes otherExif = kExif;
    otherExif.back() = 1;
    EXPECT_EQ(Commit(Output(packed, isPng, otherExif), packed, kExif), "EXIF 保留驗證失敗，已保留原檔");
    EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"IMG_1.heic"});
  }
}

TEST_F(CommitOutputTest, PngPixelsMustMatchExactlyWhileJpgOnlyHasToDecode) {
  request_.options.format = OutputFormat::Png;
  const TestPicture pngPicture = Picture(true);
  const PackedImage& png = pngPicture.packed;
  const Bytes output = Output(png, true, {});
  TestPicture off = CopyPicture(png);
  off.packed.pixels[off.packed.pixels.size() - 1] ^= 1;  // one byte of the last row
  EXPECT_EQ(Commit(output, off.packed, {}), "PNG 像素驗證失敗");
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"IMG_1.heic"});

  request_.options.format = OutputFormat::Jpg;
  const TestPicture jpgPicture = Picture(false);
  const PackedImage& jpg = jpgPicture.packed;
  TestPicture different = CopyPicture(jpg);
  for (auto& b : different.packed.pixels) b = static_cast<std::uint8_t>(255 - b);
  EXPECT_EQ(Commit(Output(jpg, false, {}), different.packed, {}), "(no exception)");
}

TEST_F(CommitOutputTest, UndecodableOrWrongSizedOutputFails) {
  request_.options.format = OutputFormat::Png;
  const TestPicture picture = Picture(true);
  const PackedImage& packed = picture.packed;
  TestPicture wider = CopyPicture(packed);
  wider.packed.width += 1;
  wider.packed.stride += 3;
  EXPECT_EQ(Commit(Output(packed, true, {}), wider.packed, {}), "輸出尺寸驗證失敗");

  // A PNG head with nothing decodable after it.
  Bytes broken = Output(packed, true, {});
  broken.resize(40);
  EXPECT_EQ(Commit(broken, packed, {}).rfind("輸出", 0), 0u);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"IMG_1.heic"});

  // A gain-map JPG whose second image is not the gain map's size, or no picture, commits nothing.
  request_.options.format = OutputFormat::Jpg;
  const TestPicture jpg = Picture(false);
  const Bytes encoded = EncodeImage(factory_.Get(), jpg.packed, false, 95), end = {0xFF, 0xD8, 0xFF, 0xD9};
  const GainMapMetadata metadata = AppleGainMapMetadata(UsableHeadroom(4.0)->log2Millionths);
  for (const Bytes& gainMap : {BuildGainMapImage(encoded, metadata), BuildGainMapImage(end, metadata)}) {
    const Bytes output = BuildGainMapJpegOutput(encoded, {}, *XmpForOutput({}, {OutputGainMap{gainMap.size()}, {}}), {}, gainMap);
    EXPECT_EQ(FailureOf([&] { CommitOutput(request_, Bytes(output), jpg.packed, factory_.Get(), {}, snapshot_, {6, 3}); })
                  .rfind("輸出增益圖驗證失敗", 0), 0u);
  }
  // A motion photo whose directory does not name the video it ends with commits nothing either.
  const Bytes mp4 = {0, 0, 0, 8, 'f', 't', 'y', 'p'};
  Bytes motion = BuildJpegOutput(encoded, {}, *XmpForOutput({}, {{}, OutputVideo{mp4.size(), 0, {}}}), {});
  motion.insert(motion.end(), mp4.begin(), mp4.end());
  EXPECT_EQ(FailureOf([&] { CommitOutput(request_, Bytes(motion), jpg.packed, factory_.Get(), {}, snapshot_, {}, mp4.size() + 1); }),
            "輸出動態相片驗證失敗");
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"IMG_1.heic"});
}

TEST_F(CommitOutputTest, ATruncatedJpgStructureFailsTheExifSearch) {
  request_.options.format = OutputFormat::Jpg;
  const TestPicture picture = Picture(false);
  const PackedImage& packed = picture.packed;
  // Start of image, then a segment whose length runs past the end.
  EXPECT_EQ(Commit(Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x40, 0x00, 'E', 'x'}, packed, {}), "JPG 區塊不完整");
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"IMG_1.heic"});
}

TEST(OutputNames, StemKeptExtensionLowerCaseSuffixCounted) {
  EXPECT_EQ(OutputCandidateName(L"photo", 0, false), L"photo.jpg");
  EXPECT_EQ(OutputCandidateName(L"photo", 0, true), L"photo.png");
  EXPECT_EQ(OutputCandidateName(L"照片 測試", 12, true), L"照片 測試 (12).png");
  ConversionRequest request;
  request.source = L"C:\\Pictures\\Trip\\photo.HEIC";
  EXPECT_EQ(OutputFolder(request), fs::path(L"C:\\Pictures\\Trip"));
  request.options.destination = Destination::Folder;
  request.options.folder = L"D:\\Out";
  EXPECT_EQ(OutputFolder(request), fs::path(L"D:\\Out"));
}

}  // namespace
}  // namespace vellumora
