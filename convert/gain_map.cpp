#include "convert/gain_map.h"

#include <exception>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
#include "convert/formats/jpeg_container.h"
#include "convert/gain_map_source.h"
#include "convert/image_encoder.h"

namespace vellumora {

std::optional<PreparedGainMap> PrepareGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                              std::uint32_t width, std::uint32_t height,
                                              IWICImagingFactory* factory, int quality) noexcept {
  try {
    auto pixels = ReadGainMap(heif, metadata, width, height);
    if (!pixels) return std::nullopt;
    PreparedGainMap prepared;
    prepared.width = pixels->width;
    prepared.height = pixels->height;
    PackedImage packed;
    packed.width = pixels->width;
    packed.height = pixels->height;
    packed.bytesPerPixel = 1;
    packed.stride = pixels->width;
    packed.pixels = pixels->rows;
    packed.pixelFormat = GUID_WICPixelFormat8bppGray;
    const Bytes encoded = EncodeImage(factory, packed, false, quality);
    packed.ReleasePixels();
    Bytes().swap(pixels->rows);
    prepared.image = BuildGainMapImage(encoded, pixels->headroom);

    auto xmp = PrimaryXmpWithGainMap(metadata.xmp, prepared.image.size());
    if (!xmp || xmp->size() > kJpegMaxSegmentPayload - kJpegXmpIdentifier.size()) return std::nullopt;
    prepared.primaryXmp = std::move(*xmp);
    return prepared;
  } catch (const std::exception&) {
    // The gain map is an addition: whatever stops it leaves the ordinary output.
    return std::nullopt;
  }
}

}  // namespace vellumora
