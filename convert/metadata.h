#pragma once
#include <libheif/heif.h>

#include <cstddef>

#include "convert/formats/bytes.h"

namespace vellumora {

// The metadata carried into the output: the first Exif block (marker-framed, Orientation 1),
// the first non-empty XMP packet (orientation properties removed) and the raw colour profile.
// Each is empty when the photograph has none.
struct ExtractedMetadata {
  Bytes exif;
  Bytes xmp;
  Bytes icc;
};

// Limits on what a photograph may declare before it is refused rather than read.
inline constexpr unsigned kMaxMetadataBlocks = 99999;
inline constexpr std::size_t kMaxMetadataBlockSize = 0x4000000;  // 64 MiB, per Exif or XMP block
inline constexpr std::size_t kMaxColorProfileSize = 0x4000000;   // 64 MiB

// Reads the Exif, XMP and colour profile of the primary image. Fails the conversion when the
// metadata cannot be carried over faithfully: too many blocks, a block or profile over its
// limit, a read error, or a malformed first Exif block.
ExtractedMetadata ExtractMetadata(const heif_image_handle* primary);

}  // namespace vellumora
