#pragma once
#include <libheif/heif.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vellumora {

// Owners of libheif objects, each released with libheif's own function.
struct HeifContextFree {
  void operator()(heif_context* p) const { heif_context_free(p); }
};
struct HeifHandleRelease {
  void operator()(heif_image_handle* p) const { heif_image_handle_release(p); }
};
struct HeifOptionsFree {
  void operator()(heif_decoding_options* p) const { heif_decoding_options_free(p); }
};
struct HeifImageRelease {
  void operator()(heif_image* p) const { heif_image_release(p); }
};
using HeifContextPtr = std::unique_ptr<heif_context, HeifContextFree>;
using HeifHandlePtr = std::unique_ptr<heif_image_handle, HeifHandleRelease>;
using HeifOptionsPtr = std::unique_ptr<heif_decoding_options, HeifOptionsFree>;
using HeifImagePtr = std::unique_ptr<heif_image, HeifImageRelease>;

// An opened HEIF file and its primary image. The context reads the caller's bytes without
// copying them, so they must outlive it. Members are destroyed in reverse order: the handle
// goes before the context.
struct OpenedHeif {
  HeifContextPtr context;
  HeifHandlePtr primary;
};

// The message of a picture whose pixels do not fit: too large for packing, or its decoded
// buffers could not be allocated. Other allocation failures of a conversion say "記憶體不足".
inline constexpr char kPictureTooLarge[] = "圖片尺寸超過可處理範圍";
inline constexpr char kOutOfMemory[] = "記憶體不足";

// Every length handed to the encoder must fit 32 bits: width × height × bytes per pixel stays
// below this.
inline constexpr std::uint64_t kMaxPackedBytes = 0x100000000ull;

// The interleaved layouts a decode asks libheif for: R, G, B, A (straight alpha; 255 where the
// file has none) or R, G, B, 8 bits each.
enum class PixelLayout { Rgba, Rgb };

// The layout that gives the written file's pixels with the least memory: a picture without alpha
// loses nothing as 3 bytes per pixel, whatever the output; one with alpha needs its alpha both
// for a PNG (kept) and for a JPG (composited over white).
constexpr PixelLayout ChoosePixelLayout(bool hasAlpha) { return hasAlpha ? PixelLayout::Rgba : PixelLayout::Rgb; }

// The primary image decoded to 8-bit interleaved pixels, already upright: rotation, mirroring
// and cropping of the file are applied. The plane is writable because packing rewrites it in place.
struct DecodedImage {
  HeifImagePtr image;  // keeps the plane alive
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint8_t* plane = nullptr;
  std::int32_t stride = 0;
  std::uint32_t bytesPerPixel = 4;  // 4: R, G, B, A; 3: R, G, B
};

// Decoding options and the image decoded with them; the image is released before the options.
struct DecodedPrimary {
  HeifOptionsPtr options;
  DecodedImage image;
};

// Raises libheif's own message for a failed call, or "HEIC 解碼失敗" when it has none.
void CheckHeif(const heif_error& error);

// Opening half: reads the bytes into a context and takes the primary image handle.
OpenedHeif OpenHeif(std::span<const std::uint8_t> bytes);

// The largest memory block libheif may allocate while decoding a picture of these dimensions
// (upright, and as coded before rotation and cropping): a plane of up to 8 bytes per pixel
// (16-bit RGBA, the widest intermediate of a 10- or 12-bit photograph) with libheif's row
// rounding and alignment, and never less than libheif's own default.
std::uint64_t DecodeMemoryLimit(std::uint32_t width, std::uint32_t height, std::uint32_t codedWidth,
                                std::uint32_t codedHeight);

// Decoding half: decodes the primary image to RGB with interleaved RGBA or RGB chroma,
// converting more than 8 bits per sample to 8. When the upright picture is small enough to be
// packed, the context's memory limits are raised, never lowered, to what its decode needs: one
// block to DecodeMemoryLimit, the context's total to three such blocks (libheif 1.23's defaults,
// 4 GB each, already take a 200-megapixel photograph; older releases' did not); its other
// limits stay.
DecodedPrimary DecodeHeif(const OpenedHeif& heif, PixelLayout layout);

}  // namespace vellumora
