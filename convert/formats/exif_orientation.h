#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "convert/formats/bytes.h"

namespace vellumora {

// "Exif" followed by two zero bytes: the prefix of a kept Exif block (the APP1 Exif payload layout).
inline constexpr std::string_view kExifMarker{"Exif\0\0", 6};

// Takes one HEIF Exif block (a 32-bit big-endian offset to the TIFF header, then the data) and returns
// the kept Exif: the Exif marker, then the TIFF structure with IFD0's Orientation set to 1 (normal).
// Validates the framing, the TIFF header and IFD0's entry table; throws std::runtime_error with the
// user-facing message when the block is malformed. The length of the TIFF data never changes.
Bytes NormalizeExifOrientation(std::span<const std::uint8_t> block);

}  // namespace vellumora
