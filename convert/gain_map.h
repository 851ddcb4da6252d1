#pragma once
#include <windows.h>
#include <wincodec.h>

#include <cstdint>
#include <optional>

#include "convert/formats/bytes.h"
#include "convert/heif_decoder.h"
#include "convert/metadata.h"

namespace vellumora {

// The stored gain-map image of a JPG that keeps the photograph's HDR gain map: a JPEG (grey or
// colour, as the gain map is) with its own hdrgm XMP and ISO 21496-1 metadata. The primary's XMP
// that names it is made with the output's other parts (XmpForOutput).
struct PreparedGainMap {
  Bytes image;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The primary image's gain map as `ReadGainMap` gives it, encoded through WIC at the
// photograph's quality. Nothing, and the output is the ordinary JPG, when `ReadGainMap` gives
// nothing or the encoding fails. Never throws.
std::optional<PreparedGainMap> PrepareGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                              std::uint32_t width, std::uint32_t height,
                                              IWICImagingFactory* factory, int quality) noexcept;

}  // namespace vellumora
