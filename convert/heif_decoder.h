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

// The primary image decoded to 8-bit interleaved RGBA (straight alpha; 255 where the file has
// none), already upright: rotation, mirroring and cropping of the file are applied. The plane
// is writable because packing rewrites it in place.
struct DecodedImage {
  HeifImagePtr image;  // keeps the plane alive
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint8_t* plane = nullptr;
  std::int32_t stride = 0;
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

// Decoding half: decodes the primary image to RGB with interleaved RGBA chroma, converting
// more than 8 bits per sample to 8.
DecodedPrimary DecodeHeif(heif_image_handle* primary);

}  // namespace vellumora
