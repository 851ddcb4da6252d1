#pragma once
#include <windows.h>
#include <wincodec.h>

#include <cstdint>
#include <optional>

#include "convert/formats/bytes.h"
#include "convert/heif_decoder.h"
#include "convert/metadata.h"

namespace vellumora {

// What a JPG needs to keep the photograph's HDR gain map: the stored gain-map image (a grey JPEG
// with its own metadata) and the primary's XMP that names it.
struct PreparedGainMap {
  Bytes image;
  Bytes primaryXmp;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The primary image's Apple gain map, decoded upright, its values remapped for the gain-map
// JPEG and encoded through WIC at the photograph's quality. Nothing, and the output is the
// ordinary JPG, when the photograph has no such gain map or it cannot be carried faithfully: no
// usable headroom in the gain map's XMP or the MakerNote, the photograph's XMP already has
// gain-map or container properties of its own or has no place for the directory, the merged
// XMP would not fit its JPEG segment, the gain map does not decode or its size does not fit the
// picture's (`width` × `height`, upright). Never throws.
std::optional<PreparedGainMap> PrepareGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                              std::uint32_t width, std::uint32_t height,
                                              IWICImagingFactory* factory, int quality) noexcept;

}  // namespace vellumora
