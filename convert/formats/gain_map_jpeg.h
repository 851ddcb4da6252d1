#pragma once

#include <cstdint>
#include <span>

#include "convert/formats/bytes.h"
#include "convert/formats/iso_gain_map.h"

namespace vellumora {

// The gain-map image as it is stored: the encoder's JPEG (grey or colour) with the hdrgm XMP
// (APP1) and the ISO 21496-1 metadata (APP2) inserted after its start-of-image marker.
Bytes BuildGainMapImage(std::span<const std::uint8_t> encoded, const GainMapMetadata& metadata);

// A gain-map JPEG: the primary image (start-of-image, the metadata segments as in an ordinary
// output, the ISO 21496-1 version block, an MPF index of both images, then the encoder's
// segments), followed by the stored gain-map image. `xmp` is the primary's packet that already
// names the gain map's length.
Bytes BuildGainMapJpegOutput(std::span<const std::uint8_t> encoded, std::span<const std::uint8_t> exif,
                             std::span<const std::uint8_t> xmp, std::span<const std::uint8_t> icc,
                             std::span<const std::uint8_t> gainMapImage);

// Reads a written gain-map JPEG the way a reader does: the MPF index of the primary image
// gives two images, the first is the primary from byte 0 to where the second starts, the second
// starts with a start-of-image marker and ends with the file, and the container directory in the
// primary's XMP gives the second's exact length. Returns the second image; throws
// "輸出增益圖驗證失敗" when any of it does not hold.
std::span<const std::uint8_t> FindGainMapImage(std::span<const std::uint8_t> file);

}  // namespace vellumora
