#pragma once

#include <cstdint>
#include <span>

namespace vellumora {

// The part of a HEIF Exif item that is the Exif block. Some phones (Xiaomi's) store in the item a
// run of JPEG segments: the APP1 segment with the Exif block, then further segments, a preview of
// the photograph and padding. When an APP1 marker, its length and the Exif marker lie directly
// before the TIFF header that the item's offset names, the item ends where that segment ends, or
// where the data the TIFF structure's own directories name ends when that is further (Xiaomi's
// declared length stops two bytes short of its thumbnail's end); otherwise it is returned whole.
// Throws "EXIF 資料損壞，已保留原檔" when that segment's length does not cover the Exif marker or
// runs past the item.
std::span<const std::uint8_t> ExifItemWithinSegment(std::span<const std::uint8_t> item);

// The end of what a TIFF structure's directories name, counted from its header: IFD0 and the
// directories after it, the Exif, GPS and interoperability directories, the values that do not
// fit their entries and the thumbnail a JPEGInterchangeFormat entry points at. Only what lies
// inside `tiff` counts; 8 (the header) at least.
std::uint64_t TiffExtent(std::span<const std::uint8_t> tiff);

}  // namespace vellumora
