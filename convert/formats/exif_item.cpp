#include "convert/formats/exif_item.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "convert/formats/byte_io.h"
#include "convert/formats/exif_orientation.h"
#include "convert/formats/tiff_reader.h"

namespace vellumora {

std::uint64_t TiffExtent(std::span<const std::uint8_t> tiff) {
  constexpr std::uint16_t kSubDirectories[] = {0x8769, 0x8825, 0xA005};  // Exif, GPS, interoperability
  constexpr std::uint16_t kThumbnailAt = 0x0201, kThumbnailLength = 0x0202;
  constexpr std::size_t kMaxDirectories = 32;
  const auto little = TiffReader::ByteOrderAt(tiff, 0);
  if (!little || tiff.size() < 8) return std::min<std::uint64_t>(tiff.size(), 8);
  const TiffReader reader(tiff, *little);
  std::uint64_t end = 8;
  std::vector<std::uint64_t> pending{reader.Read(4, 4)}, seen;
  while (!pending.empty() && seen.size() < kMaxDirectories) {
    const std::uint64_t directory = pending.back();
    pending.pop_back();
    if (std::find(seen.begin(), seen.end(), directory) != seen.end()) continue;
    seen.push_back(directory);
    const auto count = reader.EntryCount(directory);
    if (!count || !reader.EntriesFit(directory, *count)) continue;
    const std::uint64_t next = directory + 2 + 12ull * *count;
    end = std::max(end, next);
    if (reader.Has(next, 4)) {
      end = std::max(end, next + 4);
      if (const std::uint32_t link = reader.Read(next, 4); link != 0) pending.push_back(link);
    }
    std::optional<std::uint64_t> thumbnailAt, thumbnailLength;
    for (std::uint32_t i = 0; i < *count; ++i) {
      const TiffReader::Entry entry = reader.EntryAt(directory, i);
      if (const auto valuesEnd = reader.ValuesEnd(entry)) end = std::max(end, *valuesEnd);
      const auto value = reader.Number(entry);
      // Offsets and lengths are 32-bit counts: a negative or larger number names nothing.
      if (!value || entry.count != 1 || !(*value >= 0 && *value <= 4294967295.0)) continue;
      if (std::find(std::begin(kSubDirectories), std::end(kSubDirectories), entry.tag) != std::end(kSubDirectories))
        pending.push_back(static_cast<std::uint64_t>(*value));
      else if (entry.tag == kThumbnailAt)
        thumbnailAt = static_cast<std::uint64_t>(*value);
      else if (entry.tag == kThumbnailLength)
        thumbnailLength = static_cast<std::uint64_t>(*value);
    }
    if (thumbnailAt && thumbnailLength && reader.Has(*thumbnailAt, *thumbnailLength))
      end = std::max(end, *thumbnailAt + *thumbnailLength);
  }
  return end;
}

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
  const std::uint64_t named = tiff + TiffExtent(item.subspan(static_cast<std::size_t>(tiff)));
  return item.first(std::max<std::size_t>(segment + 2 + length, static_cast<std::size_t>(named)));
}

}  // namespace vellumora
