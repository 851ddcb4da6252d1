#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "convert/formats/byte_io.h"
#include "convert/formats/bytes.h"

namespace vellumora {

// The largest payload of one marker segment: the 16-bit length field also counts its own two bytes.
inline constexpr std::size_t kJpegMaxSegmentPayload = 65533;
// Identifier of the standard XMP APP1 segment: the XMP namespace URI followed by one zero byte.
inline constexpr std::string_view kJpegXmpIdentifier{"http://ns.adobe.com/xap/1.0/\0", 29};
// Identifier of an ICC profile APP2 segment, then the chunk's sequence number and the chunk count.
inline constexpr std::string_view kJpegIccIdentifier{"ICC_PROFILE\0", 12};
inline constexpr std::size_t kJpegIccChunkSize = kJpegMaxSegmentPayload - 14;  // 65,519
inline constexpr std::size_t kJpegIccMaxChunks = 255;
inline constexpr std::size_t kJpegIccMaxProfile = kJpegIccChunkSize * kJpegIccMaxChunks;  // 16,707,345

// Appends FF, marker, the big-endian length (payload size + 2) and the payload.
// Throws when the payload does not fit one segment (65,534 bytes or more).
void AppendJpegSegment(Bytes& out, std::uint8_t marker, std::span<const std::uint8_t> payload);

// Refuses with "JPG 輸出不完整" an encoder result that does not start with the start-of-image marker.
void CheckJpegStart(std::span<const std::uint8_t> encoded);

// Appends the metadata segments in their order: APP1 Exif, APP1 XMP, APP2 ICC chunks; empty
// inputs are left out. Throws with the user-facing message when one does not fit the format.
void AppendJpegMetadata(Bytes& out, std::span<const std::uint8_t> exif, std::span<const std::uint8_t> xmp,
                        std::span<const std::uint8_t> icc);

// Returns the encoder's JPG with the metadata inserted right after its start-of-image marker:
// APP1 Exif (the block as is, starting "Exif" 00 00), APP1 XMP, then the profile as APP2 ICC chunks.
// Empty inputs are left out, so with no metadata the result equals `encoded`.
Bytes BuildJpegOutput(std::span<const std::uint8_t> encoded, std::span<const std::uint8_t> exif,
                      std::span<const std::uint8_t> xmp, std::span<const std::uint8_t> icc);

// Walks the marker segments after the start-of-image marker, up to the start of scan or the first
// byte that starts no marker, calling visit(marker, payload, payload's offset) for each until it
// returns false. Returns false when a segment's length is below 2 or runs past the end of the file.
template <typename Visit>
bool ForEachJpegSegment(std::span<const std::uint8_t> file, Visit visit) {
  for (std::size_t p = 2; file.size() - p >= 4 && file[p] == 0xFF && file[p + 1] != 0xDA;) {
    const std::size_t length = byte_io::ReadBe16(file, p + 2);
    if (length < 2 || file.size() - (p + 2) < length) return false;
    if (!visit(file[p + 1], file.subspan(p + 4, length - 2), p + 4)) return true;
    p += 2 + length;
  }
  return true;
}

// Walks the marker segments before the start of scan and returns the payload of the first APP1 Exif
// segment ("Exif" 00 00 included), or empty when there is none. Throws on a segment whose length is
// below 2 or runs past the end of the file.
Bytes FindJpegExif(std::span<const std::uint8_t> file);

}  // namespace vellumora
