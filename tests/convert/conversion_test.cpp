#include "convert/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ostream>
#include <string_view>

#include "convert_test_support.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/png_container.h"
#include "convert/heif_decoder.h"
#include "convert/memory_budget.h"
#include "convert/metadata.h"
#include "convert/recycle.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;

bool Contains(const Bytes& haystack, std::string_view needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// The Orientation value in IFD0 of a kept Exif block ("Exif" 00 00 + TIFF), or -1 when absent.
int ExifOrientation(const Bytes& exif) {
  if (exif.size() < 14) return -2;
  const bool le = exif[6] == 'I';
  auto u16 = [&](size_t p) { return le ? exif[p] | exif[p + 1] << 8 : exif[p] << 8 | exif[p + 1]; };
  auto u32 = [&](size_t p) {
    return le ? exif[p] | exif[p + 1] << 8 | exif[p + 2] << 16 | static_cast<unsigned>(exif[p + 3]) << 24
              : static_cast<unsigned>(exif[p]) << 24 | exif[p + 1] << 16 | exif[p + 2] << 8 | exif[p + 3];
  };
  const size_t ifd = 6 + u32(10);
  const int count = u16(ifd);
  for (int i = 0; i < count; ++i) {
    const size_t entry = ifd + 2 + 12 * static_cast<size_t>(i);
    if (u16(entry) == 274) return u16(entry + 8);
  }
  return -1;
}

// Expects the four quadrant colours at the quadrant centres: red, green / blue, white.
void ExpectUprightQuadrants(const DecodedFile& image, int tolerance) {
  ASSERT_GT(image.width, 0u);
  const UINT l = image.width / 4, r = image.width * 3 / 4, t = image.height / 4, b = image.height * 3 / 4;
  struct Probe {
    UINT x, y;
    int red, green, blue;
    const char* where;
  } probes[] = {{l, t, 255, 0, 0, "top left red"},
                {r, t, 0, 255, 0, "top right green"},
                {l, b, 0, 0, 255, "bottom left blue"},
                {r, b, 255, 255, 255, "bottom right white"}};
  for (const Probe& p : probes) {
    const std::uint8_t* px = image.At(p.x, p.y);
    EXPECT_NEAR(px[2], p.red, tolerance) << p.where;
    EXPECT_NEAR(px[1], p.green, tolerance) << p.where;
    EXPECT_NEAR(px[0], p.blue, tolerance) << p.where;
  }
}

class ConvertFileTest : public ComTest {
 protected:
  // Copies a fixture into the scratch folder, converts it there, and checks the outcome's
  // invariants and that the source was not changed.
  ConversionOutcome Convert(const fs::path& fixture, const wchar_t* format, const std::wstring& name = {}) {
    source_ = dir_ / (name.empty() ? fixture.filename().wstring() : name);
    fs::copy_file(fixture, source_, fs::copy_options::overwrite_existing);
    SetFileAttributesW(source_.c_str(), FILE_ATTRIBUTE_NORMAL);  // the samples are read-only
    const Bytes before = ReadAll(source_);
    ConversionRequest request;
    request.source = source_.wstring();
    request.options.format = OutputFormatFromText(format).value();
    const ConversionOutcome outcome = ConvertFile(request);
    EXPECT_EQ(ReadAll(source_), before) << "the source is only ever read";
    EXPECT_FALSE(HasTemporaryFile(dir_.path()));
    EXPECT_TRUE(outcome.warning.empty());
    EXPECT_FALSE(outcome.recycled);
    EXPECT_EQ(outcome.error.empty(), !outcome.output.empty());
    return outcome;
  }

  ScratchDir dir_;
  fs::path source_;
};

// ---- Checks made before the source is touched.

TEST_F(ConvertFileTest, FormatAndDestinationAreCheckedBeforeTheSourceIsOpened) {
  // The source is held open for writing: opening it would fail with the read message.
  const fs::path source = dir_ / L"held.heic";
  WriteAll(source, Bytes{1, 2, 3});
  HANDLE writer = CreateFileW(source.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  ConversionRequest request;
  request.source = source.wstring();
  // A format that is neither of the two (a value that no text or control gives).
  request.options.format = static_cast<OutputFormat>(2);
  EXPECT_EQ(ConvertFile(request).error, L"不支援的輸出格式");
  request.options.destination = Destination::Folder;
  request.options.folder.clear();
  EXPECT_EQ(ConvertFile(request).error, L"不支援的輸出格式") << "the format message wins";
  request.options.format = OutputFormat::Png;
  const ConversionOutcome outcome = ConvertFile(request);
  EXPECT_EQ(outcome.error, L"請先指定輸出資料夾；原始檔案保持不變");
  EXPECT_TRUE(outcome.output.empty());
  request.options.destination = Destination::BesideSource;
  EXPECT_EQ(ConvertFile(request).error, L"無法讀取原檔（可能已移動或正在被其他程式修改）");
  CloseHandle(writer);
}

// A test name from a fixture's file name: letters and digits only.
std::string NameOf(const char* fixture) {
  std::string name;
  for (const char* p = fixture; *p != '\0' && *p != '.'; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

// ---- Files that must fail: the program's message, nothing written, the source as it was.

struct FailingCase {
  const char* fixture;
  const wchar_t* format;
  const char* message;  // exact, or the start of libheif's own text when `prefix`
  bool prefix = false;
};
void PrintTo(const FailingCase& c, std::ostream* os) { *os << c.fixture << " as " << ToUtf8(c.format); }

class FailingConversion : public ConvertFileTest, public ::testing::WithParamInterface<FailingCase> {};

TEST_P(FailingConversion, FailsWithItsMessageAndLeavesNothingBehind) {
  const FailingCase& c = GetParam();
  REQUIRE_FIXTURE(fixture, c.fixture);
  const ConversionOutcome outcome = Convert(fixture, c.format);
  if (c.prefix) {
    EXPECT_EQ(ToUtf8(outcome.error).rfind(c.message, 0), 0u) << ToUtf8(outcome.error);
  } else {
    EXPECT_EQ(ToUtf8(outcome.error), c.message);
  }
  EXPECT_NE(outcome.error.back(), L'\n') << "a decoder's line break reached the message";
  EXPECT_TRUE(outcome.output.empty());
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{source_.filename().wstring()});
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FailingConversion,
    ::testing::Values(
        FailingCase{"empty.heic", L"JPG", "原檔空白或超過 2 GB"},
        FailingCase{"not-heif-jpeg.heic", L"PNG", "Invalid input: No 'ftyp' box", true},
        FailingCase{"truncated-half.heic", L"JPG", "Invalid input: No 'meta' box", true},
        FailingCase{"truncated-data.heic", L"PNG", "Invalid input: Unexpected end of file", true},
        FailingCase{"exif-garbage-5-bytes.heic", L"JPG", "EXIF 資料損壞，已保留原檔"},
        FailingCase{"exif-bad-offset.heic", L"PNG", "EXIF 位移不正確"},
        FailingCase{"exif-bad-byte-order.heic", L"JPG", "EXIF 位元序不正確"},
        FailingCase{"exif-orient-long.heic", L"PNG", "EXIF 方向欄位不正確"},
        FailingCase{"exif-jpg-limit-65534.heic", L"JPG", "JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留"},
        FailingCase{"exif-large-70k.heic", L"JPG", "JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留"},
        FailingCase{"xmp-large-70k.heic", L"JPG", "JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留"}),
    [](const ::testing::TestParamInfo<FailingCase>& info) { return NameOf(info.param.fixture); });

TEST_F(ConvertFileTest, AMissingSourceFailsWithTheReadMessage) {
  ConversionRequest request;
  request.source = (dir_ / L"不存在.heic").wstring();
  const ConversionOutcome outcome = ConvertFile(request);
  EXPECT_EQ(outcome.error, L"無法讀取原檔（可能已移動或正在被其他程式修改）");
  EXPECT_TRUE(Listing(dir_.path()).empty());
}

// ---- Pictures: size, orientation, bit depth, alpha.

struct PictureCase {
  const char* fixture;
  UINT width, height;
};
void PrintTo(const PictureCase& c, std::ostream* os) { *os << c.fixture; }

class PictureConversion : public ConvertFileTest, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(PictureConversion, ComesOutUprightAtItsSizeInBothFormats) {
  const PictureCase& c = GetParam();
  REQUIRE_FIXTURE(fixture, c.fixture);
  for (const wchar_t* format : {L"PNG", L"JPG"}) {
    const ConversionOutcome outcome = Convert(fixture, format);
    ASSERT_EQ(outcome.error, L"") << ToUtf8(format);
    const bool png = std::wstring_view(format) == L"PNG";
    EXPECT_EQ(fs::path(outcome.output), source_.parent_path() / (source_.stem().wstring() + (png ? L".png" : L".jpg")));
    const DecodedFile image = DecodeWithWic(outcome.output, false);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    // HEVC keeps flat colours within a few levels; Wine's JPG encoder (quality 75, 4:2:0)
    // adds more, but never near the gap between two quadrant colours.
    if (c.width > 1) ExpectUprightQuadrants(image, png ? 6 : 24);
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PictureConversion,
                         ::testing::Values(PictureCase{"rgb-64x48.heic", 64, 48}, PictureCase{"rgb-33x17.heic", 33, 17},
                                           PictureCase{"rgb-1x1.heic", 1, 1}, PictureCase{"rgb10-64x48.heic", 64, 48},
                                           PictureCase{"orient2-mirror-lr.heic", 64, 48},
                                           PictureCase{"orient3-rotate-180.heic", 64, 48},
                                           PictureCase{"orient4-mirror-tb.heic", 64, 48},
                                           PictureCase{"orient5-transpose.heic", 64, 48},
                                           PictureCase{"orient6-rotate-90cw.heic", 64, 48},
                                           PictureCase{"orient7-transverse.heic", 64, 48},
                                           PictureCase{"orient8-rotate-270cw.heic", 64, 48},
                                           PictureCase{"orient6-33x17.heic", 33, 17},
                                           PictureCase{"two-images-primary-second.heic", 64, 48},
                                           PictureCase{"rgb-64x48.hif", 64, 48}, PictureCase{"UPPER.HEIC", 64, 48}),
                         [](const ::testing::TestParamInfo<PictureCase>& info) {
                           return NameOf(info.param.fixture) + (std::string_view(info.param.fixture).ends_with(".hif") ? "_hif" : "");
                         });

TEST_F(ConvertFileTest, PngKeepsAlphaAndJpgCompositesItOverWhite) {
  for (const char* name : {"alpha-64x48.heic", "alpha10-64x48.heic"}) {
    REQUIRE_FIXTURE(fixture, name);
    const ConversionOutcome png = Convert(fixture, L"PNG");
    ASSERT_EQ(png.error, L"");
    const DecodedFile withAlpha = DecodeWithWic(png.output, true);
    ASSERT_EQ(withAlpha.width, 64u);
    EXPECT_NEAR(withAlpha.At(5, 10)[3], 0, 2) << name;
    EXPECT_NEAR(withAlpha.At(32, 10)[3], 128, 3) << name;
    EXPECT_NEAR(withAlpha.At(60, 10)[3], 255, 2) << name;

    const ConversionOutcome jpg = Convert(fixture, L"JPG");
    ASSERT_EQ(jpg.error, L"");
    const DecodedFile flat = DecodeWithWic(jpg.output, false);
    const std::uint8_t* clear = flat.At(5, 10);  // transparent red -> white
    EXPECT_GT(clear[0], 230);
    EXPECT_GT(clear[1], 230);
    EXPECT_GT(clear[2], 230);
    const std::uint8_t* half = flat.At(25, 10);  // half transparent red -> pink
    EXPECT_NEAR(half[2], 255, 24);
    EXPECT_NEAR(half[1], 127, 24);
  }
}

// ---- Metadata carried over.

TEST_F(ConvertFileTest, ExifComesOverWithOrientationOneAndOnlyTheFirstBlock) {
  for (const wchar_t* format : {L"JPG", L"PNG"}) {
    for (const char* name : {"exif-le-orient6.heic", "exif-be-marker-orient8.heic", "exif-two-blocks.heic",
                             "meta-other-kinds.heic"}) {
      REQUIRE_FIXTURE(fixture, name);
      const ConversionOutcome outcome = Convert(fixture, format);
      ASSERT_EQ(outcome.error, L"") << name;
      const Bytes file = ReadAll(outcome.output);
      const Bytes exif = std::wstring_view(format) == L"PNG" ? FindPngExif(file) : FindJpegExif(file);
      ASSERT_GE(exif.size(), 14u) << name;
      EXPECT_EQ(std::memcmp(exif.data(), "Exif\0\0", 6), 0);
      EXPECT_EQ(ExifOrientation(exif), 1) << name;
      EXPECT_FALSE(Contains(file, "Second block")) << name;
    }
  }
  REQUIRE_FIXTURE(noOrientation, "exif-be-no-orient.heic");
  const ConversionOutcome outcome = Convert(noOrientation, L"PNG");
  EXPECT_EQ(ExifOrientation(FindPngExif(ReadAll(outcome.output))), -1) << "none is added";
}

// ---- Names, folders, times.

TEST_F(ConvertFileTest, ChineseNameWithSpaceIntoANewFolderKeepsTheSourceTimes) {
  REQUIRE_FIXTURE(fixture, "照片 測試.heic");
  source_ = dir_ / L"照片 測試.heic";
  fs::copy_file(fixture, source_);
  const FILETIME access = FromTicks(132500000000000000ull), write = FromTicks(132400000000000000ull);
  ASSERT_TRUE(SetTimes(source_, &access, &write));
  ConversionRequest request;
  request.source = source_.wstring();
  request.options.format = OutputFormat::Jpg;
  request.options.destination = Destination::Folder;
  request.options.folder = (dir_ / L"新 資料夾" / L"輸出").wstring();
  const ConversionOutcome outcome = ConvertFile(request);
  ASSERT_EQ(outcome.error, L"");
  EXPECT_EQ(fs::path(outcome.output), dir_ / L"新 資料夾" / L"輸出" / L"照片 測試.jpg");
  const FileTimes times = TimesOf(outcome.output);
  EXPECT_EQ(Ticks(times.write), Ticks(write));
  EXPECT_EQ(Ticks(times.access), Ticks(access));
  // A second conversion of the same file never replaces the first output. This one runs as one
  // of a batch: it waits for its turn only once its memory is reserved, and gives that back.
  MemoryBudget budget(1);
  std::uint64_t reservedAtTurn = 0;
  ShellRecycleBin bin;
  const ConversionOutcome again =
      ConvertFile(request, bin, SharedConversion{budget, [&] { reservedAtTurn = budget.Reserved(); }});
  EXPECT_EQ(fs::path(again.output), dir_ / L"新 資料夾" / L"輸出" / L"照片 測試 (1).jpg");
  EXPECT_GT(reservedAtTurn, 0u);
  EXPECT_EQ(budget.Reserved(), 0u);
  EXPECT_FALSE(HasTemporaryFile(dir_ / L"新 資料夾" / L"輸出"));
}

// ---- Real photographs from other projects' test sets (skipped when absent).

// Every small sample either converts to a decodable file or fails with a message; nothing
// crashes, nothing is left behind, and the source is untouched either way.
TEST_F(ConvertFileTest, SmallRealSamplesConvertOrFailCleanly) {
  if (!fs::exists(SamplesDir())) GTEST_SKIP() << "no samples on this machine";
  int converted = 0, failed = 0;
  for (const auto& entry : fs::recursive_directory_iterator(SamplesDir())) {
    if (!entry.is_regular_file() || entry.file_size() > 64 * 1024) continue;
    const std::wstring ext = entry.path().extension().wstring();
    if (ext == L".md" || ext == L"" || entry.path().filename() == L"SHA256SUMS") continue;
    SCOPED_TRACE(entry.path().string());
    const ConversionOutcome outcome = Convert(entry.path(), L"PNG");
    if (outcome.error.empty()) {
      ++converted;
      EXPECT_GT(DecodeWithWic(outcome.output, true).width, 0u);
      fs::remove(outcome.output);
    } else {
      ++failed;
    }
    fs::remove(source_);
    EXPECT_TRUE(Listing(dir_.path()).empty());
  }
  EXPECT_GT(converted, 0);
  EXPECT_GT(failed, 0);
}

// The file the pipeline would write had it decoded to 4 bytes per pixel, whatever the picture:
// RGBA decode, packing (alpha kept only for a PNG of a picture with alpha), encoding, metadata.
Bytes FourBytePathOutput(const fs::path& source, bool isPng) {
  const Bytes bytes = ReadAll(source);
  const OpenedHeif heif = OpenHeif(bytes);
  const ExtractedMetadata metadata = ExtractMetadata(heif.primary.get());
  const bool hasAlpha = heif_image_handle_has_alpha_channel(heif.primary.get()) != 0;
  DecodedPrimary decoded = DecodeHeif(heif, PixelLayout::Rgba);
  EXPECT_EQ(decoded.image.bytesPerPixel, 4u);
  const PackedImage packed = PackPixels(std::move(decoded.image), isPng, isPng && hasAlpha);
  const Bytes encoded = EncodeImage(CreateImagingFactory().Get(), packed, isPng, 95);
  return isPng ? BuildPngOutput(encoded, metadata.exif, metadata.xmp, metadata.icc)
               : BuildJpegOutput(encoded, metadata.exif, metadata.xmp, metadata.icc);
}

// Pictures without alpha are decoded straight to 3 bytes per pixel; the written file must be
// byte for byte the one the 4-byte path writes, for 8- and 10-bit, grey, 4:4:4, cropped and
// mirrored or turned, grid and alpha pictures, in both formats (the large photographs as JPG only: their PNG
// takes seconds under Wine and goes through the same packing).
TEST_F(ConvertFileTest, TheLeanDecodeWritesTheSameBytesAsTheFourBytePath) {
  struct Source {
    fs::path path;
    bool pngToo;
  };
  std::vector<Source> sources;
  for (const char* name : {"rgb-64x48.heic", "alpha-64x48.heic", "rgb10-64x48.heic", "alpha10-64x48.heic",
                           "orient2-mirror-lr.heic", "orient3-rotate-180.heic", "orient7-transverse.heic",
                           "orient6-33x17.heic", "icc-small.heic"})
    sources.push_back({FixturesDir() / ToUtf16(name), true});
  for (const char* name : {"pillow-heif/RGB_8_chroma444.heif", "pillow-heif/L_8__29x100.heif",
                           "pillow-heif/RGBA_10__29x100.heif", "pillow-heif/RGB_10__128x128.heif",
                           "libheif/rainbow-451x461.heic", "libheif/with-alpha-512x512.heic"})
    sources.push_back({SamplesDir() / ToUtf16(name), true});
  for (const char* name : {"pillow-heif/arrow.heic", "pillow-heif/cat.hif"})
    sources.push_back({SamplesDir() / ToUtf16(name), false});

  int compared = 0;
  for (const Source& s : sources) {
    if (!fs::exists(s.path)) continue;  // samples are absent on a fresh clone
    for (const wchar_t* format : {L"JPG", L"PNG"}) {
      const bool isPng = format == std::wstring_view(L"PNG");
      if (isPng && !s.pngToo) continue;
      SCOPED_TRACE(s.path.string() + (isPng ? " PNG" : " JPG"));
      const ConversionOutcome outcome = Convert(s.path, format);
      ASSERT_EQ(outcome.error, L"");
      const Bytes written = ReadAll(outcome.output);
      EXPECT_TRUE(written == FourBytePathOutput(source_, isPng)) << "the written file differs";
      fs::remove(outcome.output);
      fs::remove(source_);
      ++compared;
    }
  }
  if (compared == 0) GTEST_SKIP() << "no test photographs";
}

TEST_F(ConvertFileTest, ThePrimaryImageIsConvertedWhenItIsNotTheFirst) {
  REQUIRE_SAMPLE(sample, "pillow-heif/zPug_3.heic");  // primary is the second, monochrome image
  const ConversionOutcome outcome = Convert(sample, L"JPG");
  ASSERT_EQ(outcome.error, L"");
  const DecodedFile image = DecodeWithWic(outcome.output, false);
  EXPECT_EQ(image.width, 64u);
  EXPECT_EQ(image.height, 64u);
}

}  // namespace
}  // namespace vellumora
