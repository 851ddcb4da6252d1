#include "convert/gain_map.h"

#include <exception>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/gain_map_source.h"
#include "convert/image_encoder.h"

namespace vellumora {

std::optional<PreparedGainMap> PrepareGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                              std::uint32_t width, std::uint32_t height,
                                              IWICImagingFactory* factory, int quality) noexcept {
  try {
    auto pixels = ReadGainMap(heif, metadata, width, height);
    if (!pixels) return std::nullopt;
    PixelRows& picture = pixels->picture;
    PackedImage packed;
    packed.width = picture.width;
    packed.height = picture.height;
    packed.bytesPerPixel = picture.channels;
    packed.stride = picture.width * picture.channels;
    packed.pixels = picture.pixels;
    packed.pixelFormat = picture.channels == 1 ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR;
    const Bytes encoded = EncodeImage(factory, packed, false, quality);
    packed.ReleasePixels();
    Bytes().swap(picture.pixels);
    return PreparedGainMap{BuildGainMapImage(encoded, pixels->metadata), picture.width, picture.height};
  } catch (const std::exception&) {
    // The gain map is an addition: whatever stops it leaves the ordinary output.
    return std::nullopt;
  }
}

}  // namespace vellumora
