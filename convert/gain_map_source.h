#pragma once
#include <cstdint>
#include <optional>

#include "convert/formats/bytes.h"
#include "convert/formats/iso_gain_map.h"
#include "convert/formats/pixel_turn.h"
#include "convert/heif_decoder.h"
#include "convert/metadata.h"

namespace vellumora {

// The photograph's HDR gain map as libheif gives it, ready for encoding: upright 8-bit rows
// without gaps, grey (one byte per pixel) or colour (B, G, R), and the metadata that says how to
// apply them.
struct GainMapPixels {
  PixelRows picture;
  GainMapMetadata metadata;
};

// The primary image's gain map, in this order of preference:
// - a `tmap` item whose first input is the primary: its second input, with the item's
//   ISO 21496-1 metadata as the camera wrote it;
// - Samsung's auxiliary gain map, with the metadata of its own hdrgm XMP;
// - Apple's auxiliary gain map, remapped to the gain-map JPEG's rule with the headroom of its own
//   XMP or, by Apple's rule, of the MakerNote.
// A candidate that cannot be carried faithfully is passed over for the next: metadata of an
// unknown version or form, a gain map that does not decode, that is not upright with the picture
// (an auxiliary gain map without rotations or mirrors of its own lies in the picture's coded
// frame and is turned with it; one with its own must turn as the picture does; a `tmap` must not
// crop) or that does not fit the picture's size (`width` × `height`, upright: no larger, the same
// shape to within one of its pixels). Nothing when none is left. Only libheif and the byte
// formats: no Windows API, so the decoder fuzz target runs it.
std::optional<GainMapPixels> ReadGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                         std::uint32_t width, std::uint32_t height);

}  // namespace vellumora
