#include "convert/heif_decoder.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

namespace vellumora {

void CheckHeif(const heif_error& error) {
  if (error.code == heif_error_Ok) return;
  // Some decoder messages end in a line break; it would show as an empty line in the status
  // box and as \u000a in the report, so trailing white space is dropped.
  std::string message = error.message != nullptr ? error.message : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  throw std::runtime_error(message.empty() ? std::string("HEIC 解碼失敗") : message);
}

OpenedHeif OpenHeif(std::span<const std::uint8_t> bytes) {
  OpenedHeif heif;
  heif.context.reset(heif_context_alloc());
  if (!heif.context) throw std::runtime_error(kOutOfMemory);
  CheckHeif(heif_context_read_from_memory_without_copy(heif.context.get(), bytes.data(), bytes.size(), nullptr));
  heif_image_handle* primary = nullptr;
  CheckHeif(heif_context_get_primary_image_handle(heif.context.get(), &primary));
  heif.primary.reset(primary);
  return heif;
}

void SetDecodeThreads(const OpenedHeif& heif, unsigned threads) {
  // One thread of libheif's would only hand each tile over and wait for it.
  heif_context_set_max_decoding_threads(heif.context.get(), threads > 1 ? static_cast<int>(std::min(threads, 64u)) : 0);
}

namespace {

// libheif's row and plane rounding: every dimension up to an even number and at least 64.
std::uint64_t RoundedSize(std::uint32_t size) { return std::max<std::uint64_t>(64, (std::uint64_t{size} + 1) & ~std::uint64_t{1}); }

std::uint64_t PlaneBytes(std::uint32_t width, std::uint32_t height) {
  constexpr std::uint64_t kAlignment = 16, kWidestPixel = 8;
  const std::uint64_t stride = (RoundedSize(width) * kWidestPixel + kAlignment - 1) & ~(kAlignment - 1);
  return stride * RoundedSize(height) + kAlignment - 1;
}

// libheif 1.19's default limit on one allocation (1.23 allows 4 GB).
constexpr std::uint64_t kDefaultMemoryBlockLimit = 512ull * 1024 * 1024;
// How many of the largest block a decode may hold at once, for the limit on a context's total.
[[maybe_unused]] constexpr std::uint64_t kTotalPerBlock = 3;

}  // namespace

std::uint64_t DecodeMemoryLimit(std::uint32_t width, std::uint32_t height, std::uint32_t codedWidth,
                                std::uint32_t codedHeight) {
  // Either orientation of either size: a rotated image is built from the coded one.
  return std::max({kDefaultMemoryBlockLimit, PlaneBytes(width, height), PlaneBytes(height, width),
                   PlaneBytes(codedWidth, codedHeight), PlaneBytes(codedHeight, codedWidth)});
}

DecodedPrimary DecodeHeif(const OpenedHeif& heif, PixelLayout layout) {
  heif_image_handle* const primary = heif.primary.get();
  const std::uint32_t bytesPerPixel = layout == PixelLayout::Rgba ? 4 : 3;
  const int width = heif_image_handle_get_width(primary), height = heif_image_handle_get_height(primary);
  const int codedWidth = heif_image_handle_get_ispe_width(primary), codedHeight = heif_image_handle_get_ispe_height(primary);
  // Only a picture that packing will accept gets larger limits; anything bigger keeps libheif's
  // defaults and is refused before a byte is allocated for it. The limits are only ever raised:
  // libheif 1.23 already allows 4 GB for one block.
  // (Per-context limits arrived with libheif 1.19, the limit on a context's total in 1.20.)
#if LIBHEIF_HAVE_VERSION(1, 19, 0)
  if (width > 0 && height > 0 && codedWidth >= 0 && codedHeight >= 0 &&
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * bytesPerPixel < kMaxPackedBytes) {
    if (heif_security_limits* limits = heif_context_get_security_limits(heif.context.get())) {
      const std::uint64_t block =
          DecodeMemoryLimit(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                            static_cast<std::uint32_t>(codedWidth), static_cast<std::uint32_t>(codedHeight));
      limits->max_memory_block_size = std::max(limits->max_memory_block_size, block);
#if LIBHEIF_HAVE_VERSION(1, 20, 0)
      // The coded picture, the output picture and a tile's worth beside them at once.
      if (limits->version >= 2 && limits->max_total_memory != 0)
        limits->max_total_memory = std::max(limits->max_total_memory, kTotalPerBlock * block);
#endif
    }
  }
#endif

  DecodedPrimary decoded;
  decoded.options.reset(heif_decoding_options_alloc());
  if (!decoded.options) throw std::runtime_error(kOutOfMemory);
  // 10- and 12-bit photographs come out as 8 bits per sample; everything else keeps libheif's
  // defaults, so the file's rotation, mirroring and cropping are applied to the pixels.
  decoded.options->convert_hdr_to_8bit = 1;

  // The decode allocates the picture's planes: memory running out there is the picture's size,
  // whether libheif reports it or its allocation throws.
  heif_image* image = nullptr;
  heif_error error{};
  try {
    error = heif_decode_image(primary, &image, heif_colorspace_RGB,
                              layout == PixelLayout::Rgba ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                              decoded.options.get());
  } catch (const std::bad_alloc&) {
    throw std::runtime_error(kPictureTooLarge);
  }
  DecodedImage& out = decoded.image;
  out.image.reset(image);
  // A security limit (image size, tiles, total memory) keeps libheif's own text, which names it.
  if (error.code == heif_error_Memory_allocation_error && error.subcode != heif_suberror_Security_limit_exceeded)
    throw std::runtime_error(kPictureTooLarge);
  CheckHeif(error);
  out.width = heif_image_get_width(image, heif_channel_interleaved);
  out.height = heif_image_get_height(image, heif_channel_interleaved);
#if LIBHEIF_HAVE_VERSION(1, 20, 0)
  std::size_t stride = 0;
  out.plane = heif_image_get_plane2(image, heif_channel_interleaved, &stride);
  if (stride > static_cast<std::size_t>(INT32_MAX)) throw std::runtime_error(kPictureTooLarge);
#else
  int stride = 0;
  out.plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
#endif
  out.stride = static_cast<std::int32_t>(stride);
  out.bytesPerPixel = bytesPerPixel;
  return decoded;
}

}  // namespace vellumora
