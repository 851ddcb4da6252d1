#include "convert/image_encoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "convert_test_support.h"
#include "convert/output_commit.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;

constexpr const char* kTooLarge = "圖片尺寸超過可處理範圍";

// An RGBA view over a test buffer (no libheif image behind it).
DecodedImage View(Bytes& rgba, int width, int height, int stride) {
  DecodedImage image;
  image.width = width;
  image.height = height;
  image.plane = rgba.data();
  image.stride = stride;
  return image;
}

TEST(PackPixels, JpgCompositesEveryPixelOverWhiteInBgrOrder) {
  // One row of four pixels, then four padding bytes that must be ignored.
  const Bytes rgba = {
      0,   0,  0,   0,    // fully transparent black -> white
      0,   0,  0,   128,  // half transparent black -> 127
      10,  20, 30,  255,  // opaque -> unchanged
      200, 100, 0,  64,   // a quarter opaque
      9,   9,  9,   9};
  const TestPicture picture = PackTestPicture(rgba, 4, 1, 20, /*isPng=*/false, /*keepAlpha=*/true);
  const PackedImage& packed = picture.packed;
  EXPECT_EQ(packed.bytesPerPixel, 3u);
  EXPECT_FALSE(packed.hasAlpha);
  EXPECT_EQ(packed.stride, 12u);
  EXPECT_TRUE(IsEqualGUID(packed.pixelFormat, GUID_WICPixelFormat24bppBGR));
  const std::uint8_t q0 = CompositeOverWhite(0, 64), q1 = CompositeOverWhite(100, 64), q2 = CompositeOverWhite(200, 64);
  EXPECT_EQ(q2, (200 * 64 + 191 * 255 + 127) / 255);
  EXPECT_EQ(PixelsOf(packed), (Bytes{255, 255, 255, 127, 127, 127, 30, 20, 10, q0, q1, q2}));
  EXPECT_EQ(packed.pixels.data(), picture.buffer.data()) << "packed in place";
}

TEST(PackPixels, CompositingNeverDarkensAndHitsBothEnds) {
  for (unsigned c = 0; c < 256; ++c)
    for (unsigned a = 0; a < 256; ++a) {
      const unsigned v = CompositeOverWhite(c, a);
      ASSERT_GE(v, c) << c << " " << a;
      ASSERT_LE(v, 255u);
      if (a == 255) {
        ASSERT_EQ(v, c);
      }
      if (a == 0) {
        ASSERT_EQ(v, 255u);
      }
    }
}

TEST(PackPixels, PngKeepsAlphaExactlyOrDropsIt) {
  const Bytes rgba = {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255, 10, 11, 12, 1};  // 2 x 2
  const TestPicture alphaPicture = PackTestPicture(rgba, 2, 2, 8, /*isPng=*/true, /*keepAlpha=*/true);
  const PackedImage& withAlpha = alphaPicture.packed;
  EXPECT_EQ(withAlpha.bytesPerPixel, 4u);
  EXPECT_TRUE(withAlpha.hasAlpha);
  EXPECT_TRUE(IsEqualGUID(withAlpha.pixelFormat, GUID_WICPixelFormat32bppBGRA));
  EXPECT_EQ(PixelsOf(withAlpha), (Bytes{3, 2, 1, 0, 6, 5, 4, 128, 9, 8, 7, 255, 12, 11, 10, 1}));

  const TestPicture opaquePicture = PackTestPicture(rgba, 2, 2, 8, /*isPng=*/true, /*keepAlpha=*/false);
  const PackedImage& opaque = opaquePicture.packed;
  EXPECT_EQ(opaque.bytesPerPixel, 3u);
  EXPECT_EQ(opaque.stride, 6u);
  EXPECT_TRUE(IsEqualGUID(opaque.pixelFormat, GUID_WICPixelFormat24bppBGR));
  EXPECT_EQ(PixelsOf(opaque), (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
}

TEST(PackPixels, InPlaceOverPaddedRowsMatchesPackingIntoASeparateBuffer) {
  // Rows padded to a wider stride: packing in place must never overwrite a source byte it has
  // yet to read, in any row, for all three layouts.
  const int width = 7, height = 5, stride = 7 * 4 + 9;
  Bytes rgba(static_cast<size_t>(stride) * height);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<std::uint8_t>((i * 37 + 11) % 256);
  for (const auto& [isPng, keepAlpha] : {std::pair{false, false}, {true, false}, {true, true}}) {
    Bytes expected;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = rgba.data() + y * stride + x * 4;
        for (int c : {2, 1, 0})
          expected.push_back(isPng ? p[c] : CompositeOverWhite(p[c], p[3]));
        if (keepAlpha) expected.push_back(p[3]);
      }
    const TestPicture picture = PackTestPicture(rgba, width, height, stride, isPng, keepAlpha);
    EXPECT_EQ(PixelsOf(picture.packed), expected) << isPng << keepAlpha;
    EXPECT_EQ(picture.packed.stride, static_cast<std::uint32_t>(width) * (keepAlpha ? 4 : 3));
  }
}

TEST(PackPixels, RefusesEmptyMissingAndOversizedImagesBeforeAllocating) {
  Bytes one(4, 255);
  EXPECT_EQ(FailureOf([&] { PackPixels(View(one, 0, 1, 4), false, false); }), kTooLarge);
  EXPECT_EQ(FailureOf([&] { PackPixels(View(one, 1, 0, 4), false, false); }), kTooLarge);
  EXPECT_EQ(FailureOf([&] { PackPixels(View(one, -1, 1, 4), false, false); }), kTooLarge);
  DecodedImage noPlane = View(one, 1, 1, 4);
  noPlane.plane = nullptr;
  EXPECT_EQ(FailureOf([&] { PackPixels(std::move(noPlane), true, false); }), kTooLarge);
  EXPECT_EQ(FailureOf([&] { PackPixels(View(one, 2, 1, 4), true, false); }), kTooLarge);  // stride below a row

  // 32768 × 32768 × 4 is exactly 2^32: refused for PNG with alpha. The plane is never read.
  EXPECT_EQ(FailureOf([&] { PackPixels(View(one, 32768, 32768, 32768 * 4), true, true); }), kTooLarge);
  // 37838 × 37838 × 3 is just above 2^32 for 24-bit output.
  EXPECT_EQ(FailureOf([&] { PackPixels(View(one, 37838, 37838, 37838 * 4), false, false); }), kTooLarge);
  EXPECT_EQ(FailureOf([&] { PackPixels(View(one, 1, 1, 4), false, false); }), "(no exception)");
}

TEST(JpegQualityFactor, ClampsToOneThroughHundred) {
  EXPECT_FLOAT_EQ(JpegQualityFactor(0), 0.01f);
  EXPECT_FLOAT_EQ(JpegQualityFactor(-40), 0.01f);
  EXPECT_FLOAT_EQ(JpegQualityFactor(1), 0.01f);
  EXPECT_FLOAT_EQ(JpegQualityFactor(95), 0.95f);
  EXPECT_FLOAT_EQ(JpegQualityFactor(100), 1.0f);
  EXPECT_FLOAT_EQ(JpegQualityFactor(250), 1.0f);
}

// A packed test picture: a colour ramp, with an alpha ramp for 32-bit.
TestPicture Ramp(UINT width, UINT height, bool alpha) {
  Bytes rgba(static_cast<size_t>(width) * height * 4);
  for (UINT y = 0; y < height; ++y)
    for (UINT x = 0; x < width; ++x) {
      std::uint8_t* p = rgba.data() + (static_cast<size_t>(y) * width + x) * 4;
      p[0] = static_cast<std::uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
      p[1] = static_cast<std::uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
      p[2] = 90;
      p[3] = static_cast<std::uint8_t>((x + y) * 17);
    }
  return PackTestPicture(std::move(rgba), static_cast<int>(width), static_cast<int>(height),
                         static_cast<int>(width * 4), /*isPng=*/true, alpha);
}

class EncodeImageTest : public ComTest {
 protected:
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory_ = CreateImagingFactory();
  ScratchDir dir_;
};

TEST_F(EncodeImageTest, PngRoundTripsBitExactIn24And32Bits) {
  for (const bool alpha : {false, true}) {
    const TestPicture picture = Ramp(37, 23, alpha);
    const PackedImage& packed = picture.packed;
    const Bytes png = EncodeImage(factory_.Get(), packed, /*isPng=*/true, 95);
    ASSERT_GE(png.size(), 33u);
    EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0);
    const fs::path file = dir_ / (alpha ? L"a.png" : L"b.png");
    WriteAll(file, png);
    EXPECT_EQ(FailureOf([&] { VerifyOutputDecode(factory_.Get(), file.wstring(), packed, true); }), "(no exception)");
    const DecodedFile decoded = DecodeWithWic(file, alpha);
    EXPECT_EQ(decoded.pixels, PixelsOf(packed));
  }
}

TEST_F(EncodeImageTest, JpgOfOnePixelAndOfARampDecodesToTheSameSize) {
  for (const UINT size : {1u, 40u}) {
    const TestPicture picture = Ramp(size, size, false);
    const PackedImage& rgb = picture.packed;
    const Bytes jpg = EncodeImage(factory_.Get(), rgb, /*isPng=*/false, 0);
    ASSERT_GE(jpg.size(), 2u);
    EXPECT_EQ(jpg[0], 0xFF);
    EXPECT_EQ(jpg[1], 0xD8);
    const fs::path file = dir_ / L"ramp.jpg";
    WriteAll(file, jpg);
    const DecodedFile decoded = DecodeWithWic(file, false);
    ASSERT_EQ(decoded.width, size);
    ASSERT_EQ(decoded.height, size);
    // Lossy, but the picture must be recognisably the same: mean error small.
    long total = 0;
    for (size_t i = 0; i < rgb.pixels.size(); ++i) total += std::abs(decoded.pixels[i] - rgb.pixels[i]);
    EXPECT_LT(total / static_cast<long>(rgb.pixels.size()), 8);
  }
}

TEST_F(EncodeImageTest, RefusesAPixelFormatTheEncoderWouldChange) {
  // The JPG encoder has no 32-bit BGRA: it answers with another format, which is refused
  // instead of letting it reinterpret the bytes.
  const TestPicture bgra = Ramp(8, 8, true);
  EXPECT_EQ(FailureOf([&] { EncodeImage(factory_.Get(), bgra.packed, /*isPng=*/false, 95); }), "Windows 不支援所需色彩格式");
}

}  // namespace
}  // namespace vellumora
