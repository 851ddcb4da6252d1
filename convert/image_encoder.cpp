#include "convert/image_encoder.h"

#include <objidl.h>
#include <ocidl.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/check_hr.h"
#include "convert/memory_stream.h"

namespace vellumora {

using Microsoft::WRL::ComPtr;

ComPtr<IWICImagingFactory> CreateImagingFactory() {
  ComPtr<IWICImagingFactory> factory;
  CheckHr(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)),
          "無法啟動 Windows 圖片編碼器");
  return factory;
}

namespace {

// Packs one row. `out` may be the same memory as `in` or lie before it: every pixel's source
// bytes are read before its own output bytes are written, and a packed pixel is never wider
// than a source pixel, so no write reaches a source byte that is still to be read.
void PackRow(const std::uint8_t* in, std::uint8_t* out, std::uint32_t width, std::uint32_t inBytes, bool isPng,
             bool hasAlpha) {
  if (inBytes == 3) {  // no alpha anywhere: every output pixel is the source pixel reversed
    for (std::uint32_t x = 0; x < width; ++x, in += 3, out += 3) {
      const std::uint8_t r = in[0], g = in[1], b = in[2];
      out[0] = b;
      out[1] = g;
      out[2] = r;
    }
    return;
  }
  for (std::uint32_t x = 0; x < width; ++x, in += 4) {
    const std::uint8_t r = in[0], g = in[1], b = in[2], a = in[3];
    if (hasAlpha) {
      out[0] = b;
      out[1] = g;
      out[2] = r;
      out[3] = a;
      out += 4;
      continue;
    }
    if (isPng || a == 255) {  // compositing leaves an opaque pixel as it is
      out[0] = b;
      out[1] = g;
      out[2] = r;
    } else {
      out[0] = CompositeOverWhite(b, a);
      out[1] = CompositeOverWhite(g, a);
      out[2] = CompositeOverWhite(r, a);
    }
    out += 3;
  }
}

}  // namespace

PackedImage PackPixels(DecodedImage&& image, bool isPng, bool keepAlpha) {
  // A 3-byte plane has no alpha to keep.
  const std::uint32_t inBytes = image.bytesPerPixel == 3 ? 3 : 4;
  const bool hasAlpha = isPng && keepAlpha && inBytes == 4;
  const std::uint32_t bytesPerPixel = hasAlpha ? 4 : 3;
  // A plane stride below a full row would make the row reads overlap the next row or run
  // past the plane; libheif never returns one, but the packing below relies on it.
  if (image.width < 1 || image.height < 1 || image.plane == nullptr ||
      static_cast<std::uint64_t>(image.width) * static_cast<std::uint64_t>(image.height) * bytesPerPixel >=
          kMaxPackedBytes ||
      static_cast<std::int64_t>(image.stride) < inBytes * static_cast<std::int64_t>(image.width))
    throw std::runtime_error(kPictureTooLarge);

  PackedImage packed;
  packed.width = static_cast<std::uint32_t>(image.width);
  packed.height = static_cast<std::uint32_t>(image.height);
  packed.bytesPerPixel = bytesPerPixel;
  packed.hasAlpha = hasAlpha;
  packed.stride = bytesPerPixel * packed.width;
  packed.pixelFormat = hasAlpha ? GUID_WICPixelFormat32bppBGRA : GUID_WICPixelFormat24bppBGR;

  // Row y of the packed image starts at y × stride, never after row y of the plane (the
  // plane's stride is at least a source row), so packing top to bottom reads every source byte
  // before anything is written over it. The packed image (stride × height bytes) fits in the
  // plane's stride × (height − 1) + one source row.
  std::uint8_t* const base = image.plane;
  for (std::uint32_t y = 0; y < packed.height; ++y)
    PackRow(base + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.stride),
            base + static_cast<std::size_t>(y) * packed.stride, packed.width, inBytes, isPng, hasAlpha);
  packed.pixels = std::span<std::uint8_t>(base, static_cast<std::size_t>(packed.stride) * packed.height);
  packed.storage = std::move(image.image);
  image.plane = nullptr;
  return packed;
}

float JpegQualityFactor(int quality) {
  const int q = quality < 1 ? 1 : (quality > 100 ? 100 : quality);
  return static_cast<float>(q) / 100.0f;
}

Bytes EncodeImage(IWICImagingFactory* factory, const PackedImage& packed, bool isPng, int quality) {
  ComPtr<MemoryStream> stream;
  CheckHr(MemoryStream::Create(stream), "無法建立圖片緩衝區");
  ComPtr<IWICBitmapEncoder> encoder;
  CheckHr(factory->CreateEncoder(isPng ? GUID_ContainerFormatPng : GUID_ContainerFormatJpeg, nullptr, &encoder),
          "無法建立圖片編碼器");
  CheckHr(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache), "初始化編碼器失敗");
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> options;
  CheckHr(encoder->CreateNewFrame(&frame, &options), "建立圖片影格失敗");

  if (!isPng) {
    PROPBAG2 names[2] = {};
    names[0].pstrName = const_cast<LPOLESTR>(L"ImageQuality");
    names[1].pstrName = const_cast<LPOLESTR>(L"JpegYCrCbSubsampling");
    VARIANT values[2];
    VariantInit(&values[0]);
    VariantInit(&values[1]);
    values[0].vt = VT_R4;
    values[0].fltVal = JpegQualityFactor(quality);
    values[1].vt = VT_UI1;
    values[1].bVal = static_cast<BYTE>(WICJpegYCrCbSubsampling444);
    CheckHr(options->Write(2, names, values), "設定 JPG 品質失敗");
  }

  CheckHr(frame->Initialize(options.Get()), "初始化影格失敗");
  CheckHr(frame->SetSize(packed.width, packed.height), "設定圖片尺寸失敗");
  WICPixelFormatGUID format = packed.pixelFormat;
  CheckHr(frame->SetPixelFormat(&format), "設定色彩格式失敗");
  // The encoder may answer with the nearest format it supports; the pixels are not converted
  // on its behalf, so anything else is refused.
  if (std::memcmp(&format, &packed.pixelFormat, sizeof format) != 0)
    throw std::runtime_error("Windows 不支援所需色彩格式");
  CheckHr(frame->WritePixels(packed.height, packed.stride, static_cast<UINT>(packed.pixels.size()),
                             packed.pixels.data()),
          "寫入圖片失敗");
  CheckHr(frame->Commit(), "完成圖片失敗");
  CheckHr(encoder->Commit(), "完成編碼失敗");

  STATSTG stat{};
  CheckHr(stream->Stat(&stat, STATFLAG_NONAME), "讀取編碼結果失敗");
  if (stat.cbSize.QuadPart >= kMaxPackedBytes) throw std::runtime_error("輸出檔案過大");
  // The stream's buffer becomes the result: the file is never copied out of it.
  Bytes encoded = stream->TakeBytes();
  if (encoded.size() != stat.cbSize.QuadPart) throw std::runtime_error("編碼結果不完整");
  return encoded;
}

}  // namespace vellumora
