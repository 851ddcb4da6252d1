#include "convert/formats/exif_item.h"

#include <stdexcept>

#include "convert/formats/byte_io.h"
#include "convert/formats/exif_orientation.h"

namespace vellumora {

std::span<const std::uint8_t> ExifItemWithinSegment(std::span<const std::uint8_t> item) {
  // Offset field, then FF E1, the segment's length (counting itself), "Exif" 00 00, the TIFF header.
  constexpr std::size_t kSegmentHead = 4 + kExifMarker.size();
  if (item.size() < 4) return item;
  const std::uint64_t tiff = std::uint64_t{byte_io::ReadBe32(item, 0)} + 4;
  if (tiff > item.size() || tiff < 4 + kSegmentHead) return item;
  const auto segment = static_cast<std::size_t>(tiff) - kSegmentHead;
  if (item[segment] != 0xFF || item[segment + 1] != 0xE1 || !byte_io::HasAt(item, segment + 4, kExifMarker)) return item;
  const std::size_t length = byte_io::ReadBe16(item, segment + 2);
  if (length < 2 + kExifMarker.size() || item.size() - (segment + 2) < length) throw std::runtime_error("EXIF 資料損壞，已保留原檔");
  return item.first(segment + 2 + length);
}

}  // namespace vellumora
