#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "convert/formats/bytes.h"

namespace vellumora {

// The PNG signature and the IHDR chunk: the part of the encoder's file that stays in front.
inline constexpr std::size_t kPngHeadSize = 33;
// The largest chunk data PNG allows (the length field is limited to 2^31 - 1).
inline constexpr std::uint64_t kPngMaxChunkData = 0x7FFFFFFF;
// The largest data length of one stored deflate block.
inline constexpr std::size_t kDeflateMaxStoredBlock = 65535;

// Appends one chunk: big-endian data length, the four-letter type, the data, then the CRC-32 of type
// and data. Throws when the data is larger than a chunk may hold.
void AppendPngChunk(Bytes& out, std::string_view type, std::span<const std::uint8_t> data);

// A zlib stream (header 78 01) holding `data` in stored deflate blocks of at most 65,535 bytes, then
// the big-endian Adler-32 of the data. Empty data gives a single empty final block.
Bytes StoredZlibStream(std::span<const std::uint8_t> data);

// Returns the encoder's PNG with the metadata chunks inserted right after IHDR, in the order
// eXIf (the Exif block without its "Exif" 00 00 prefix), iCCP (profile "ICC", stored zlib) and
// iTXt (keyword XML:com.adobe.xmp, uncompressed). Empty inputs are left out, so with no metadata the
// result equals `encoded`. A non-empty Exif block must begin with "Exif" 00 00.
Bytes BuildPngOutput(std::span<const std::uint8_t> encoded, std::span<const std::uint8_t> exif,
                     std::span<const std::uint8_t> xmp, std::span<const std::uint8_t> icc);

// Walks the chunks (CRCs unchecked, not stopping at IEND) and returns "Exif" 00 00 followed by the
// data of the first eXIf chunk, or empty when there is none. Throws on a chunk running past the end.
Bytes FindPngExif(std::span<const std::uint8_t> file);

}  // namespace vellumora
