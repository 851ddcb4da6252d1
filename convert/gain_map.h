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

// The primary image's gain map as `ReadGainMap` gives it, encoded through WIC at the
// photograph's quality. Nothing, and the output is the ordinary JPG, when `ReadGainMap` gives
// nothing, the photograph's XMP has no place for the directory or the merged XMP would not fit
// its JPEG segment. Never throws.
std::optional<PreparedGainMap> PrepareGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                              std::uint32_t width, std::uint32_t height,
                                              IWICImagingFactory* factory, int quality) noexcept;

}  // namespace vellumora
