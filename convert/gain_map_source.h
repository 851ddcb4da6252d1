#pragma once
#include <cstdint>
#include <optional>

#include "convert/formats/bytes.h"
#include "convert/formats/gain_map_metadata.h"
#include "convert/heif_decoder.h"
#include "convert/metadata.h"

namespace vellumora {

// The photograph's HDR gain map as libheif gives it, ready for encoding: upright 8-bit grey rows
// without gaps, each value already remapped for the gain-map JPEG, and the headroom they reach.
struct GainMapPixels {
  Bytes rows;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  GainMapHeadroom headroom;
};

// The primary image's Apple gain map, decoded and remapped. Nothing when the photograph has no
// such gain map or it cannot be carried faithfully: no usable headroom in the gain map's XMP or
// the MakerNote, the photograph's XMP already has gain-map or container properties of its own,
// its rotations and mirrors differ from the picture's, the gain map does not decode or its size
// does not fit the picture's (`width` × `height`, upright). Only libheif and the byte formats: no Windows API, so the decoder fuzz target runs it.
std::optional<GainMapPixels> ReadGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                         std::uint32_t width, std::uint32_t height);

}  // namespace vellumora
