#pragma once
#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <span>

#include "convert/formats/bytes.h"
#include "convert/heif_decoder.h"

namespace vellumora {

// The decoded pixels in the layout handed to the encoder: rows top to bottom with no gap,
// B, G, R per pixel (24bppBGR) or B, G, R, A (32bppBGRA, only for PNG of an image with alpha).
// The rows are packed into the decoded image's own plane, which `storage` keeps alive; for a
// caller's buffer without a libheif image behind it, `storage` is empty and the caller keeps
// the buffer alive.
struct PackedImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t bytesPerPixel = 0;
  bool hasAlpha = false;
  std::uint32_t stride = 0;
  std::span<std::uint8_t> pixels;  // stride × height bytes
  GUID pixelFormat = GUID_WICPixelFormat24bppBGR;
  HeifImagePtr storage;

  // Lets the pixels go once only the dimensions and the pixel format are still needed.
  void ReleasePixels() {
    pixels = {};
    storage.reset();
  }
};

// The imaging factory of one file's conversion; it also serves the verification decode.
// Raises "無法啟動 Windows 圖片編碼器 (0x…)".
Microsoft::WRL::ComPtr<IWICImagingFactory> CreateImagingFactory();

// Packs RGBA or RGB into the encoder layout, in place: the packed rows overwrite the decoded
// plane from its start, and the image's ownership moves into the result. JPG: every pixel
// composited over white, 24-bit. PNG: 32-bit with the alpha byte copied when keepAlpha (and the
// plane has alpha), else 24-bit with alpha dropped. An RGB plane only has its bytes reversed. Refuses an empty or too large image, a missing plane or a plane stride below
// a row with "圖片尺寸超過可處理範圍", leaving the image untouched.
PackedImage PackPixels(DecodedImage&& image, bool isPng, bool keepAlpha);

// One channel of a pixel composited over white with straight alpha, rounded.
constexpr std::uint8_t CompositeOverWhite(std::uint32_t channel, std::uint32_t alpha) {
  return static_cast<std::uint8_t>((channel * alpha + (255 - alpha) * 255 + 127) / 255);
}

// The "ImageQuality" value for a JPG quality setting: clamped to 1..100, then divided by 100.
float JpegQualityFactor(int quality);

// Encodes the packed pixels with WIC into a complete JPG (quality, 4:4:4) or PNG in memory.
// Raises the step's message (with the HRESULT for failed calls), "Windows 不支援所需色彩格式"
// when the encoder wants another pixel format, "輸出檔案過大" or "編碼結果不完整".
Bytes EncodeImage(IWICImagingFactory* factory, const PackedImage& packed, bool isPng, int quality);

}  // namespace vellumora
