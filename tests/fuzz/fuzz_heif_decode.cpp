// What a conversion does with a photograph's bytes, through libheif and libde265 built with the
// same sources, patches and options as the program's, under AddressSanitizer and UBSan: open from
// memory with the program's limits, read the primary's metadata blocks and colour profile, decode
// the primary to interleaved 8-bit RGB or RGBA (by its alpha, as the program chooses), then find
// and decode its gain map; the motion photo's video is found in the same bytes. The program's own functions do each step, so a fault found here is one
// a conversion would meet. Failures are the program's messages; only a sanitizer report or a
// crash is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <thread>

#include "convert/formats/motion_photo.h"
#include "convert/gain_map_source.h"
#include "convert/heif_decoder.h"
#include "convert/metadata.h"

namespace {

// Pictures whose planes would not fit beside the sanitizers' shadow memory within the fuzzer's
// memory limit are opened and read but not decoded (the program decodes them: the budget lets a
// large photograph run alone).
constexpr std::uint64_t kMaxDecodedPixels = 64ull * 1024 * 1024;

// Where the pixels' sum goes, so that reading them is not optimised away.
volatile unsigned gPixelSum = 0;

bool SmallEnough(heif_image_handle* handle) {
  const auto pixels = [](int w, int h) {
    return w <= 0 || h <= 0 ? 0 : static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
  };
  return pixels(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle)) <= kMaxDecodedPixels &&
         pixels(heif_image_handle_get_ispe_width(handle), heif_image_handle_get_ispe_height(handle)) <= kMaxDecodedPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vellumora;
  const SourceVideo video = FindSourceVideo({data, size});
  if (!video.mp4.empty() && (video.mp4.data() < data || video.mp4.data() + video.mp4.size() > data + size)) __builtin_trap();
  try {
    const OpenedHeif heif = OpenHeif(std::span<const std::uint8_t>(data, size));
    SetDecodeThreads(heif, std::thread::hardware_concurrency());  // as a conversion on its own
    const ExtractedMetadata metadata = ExtractMetadata(heif.primary.get());
    if (!SmallEnough(heif.primary.get())) return 0;
    const bool hasAlpha = heif_image_handle_has_alpha_channel(heif.primary.get()) != 0;
    std::uint32_t width = 0, height = 0;
    {
      const DecodedPrimary decoded = DecodeHeif(heif, ChoosePixelLayout(hasAlpha));
      width = static_cast<std::uint32_t>(decoded.image.width);
      height = static_cast<std::uint32_t>(decoded.image.height);
      // Every byte of every row is read, as packing and encoding do.
      unsigned sum = 0;
      const std::size_t rowBytes = std::size_t{width} * decoded.image.bytesPerPixel;
      for (std::uint32_t y = 0; y < height && decoded.image.plane != nullptr; ++y)
        for (std::size_t x = 0; x < rowBytes; ++x)
          sum += decoded.image.plane[std::size_t{y} * static_cast<std::size_t>(decoded.image.stride) + x];
      gPixelSum = sum;
    }
    (void)ReadGainMap(heif, metadata, width, height);
  } catch (const std::exception&) {
    // A photograph the program refuses with a message: not a finding.
  }
  return 0;
}
