#include "convert/formats/exif_orientation.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "convert/formats/byte_io.h"
#include "convert/formats/tiff_reader.h"

namespace vellumora {
namespace {

constexpr std::uint16_t kOrientationTag = 274;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::size_t kTiffStart = 6;  // TIFF header position in the kept payload

[[noreturn]] void Fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

Bytes NormalizeExifOrientation(std::span<const std::uint8_t> block) {
  if (block.size() < 8) {
    Fail("EXIF 資料損壞，已保留原檔");
  }
  const std::uint64_t offset = byte_io::ReadBe32(block, 0);
  const std::uint64_t tiffPos = offset + 4;
  if (tiffPos > block.size()) {
    Fail("EXIF 位移不正確");
  }

  // Keep the block's own marker when it sits directly before the TIFF header.
  std::uint64_t start = tiffPos;
  if (offset >= 2 && byte_io::HasAt(block, static_cast<std::size_t>(offset - 2), kExifMarker)) {
    start = offset - 2;
  }
  const auto rest = block.subspan(static_cast<std::size_t>(start));

  const std::size_t framing = byte_io::HasAt(rest, 0, kExifMarker) ? 0 : kExifMarker.size();
  Bytes payload(framing + rest.size());
  std::copy(kExifMarker.begin(), kExifMarker.begin() + static_cast<std::ptrdiff_t>(framing), payload.begin());
  std::copy(rest.begin(), rest.end(), payload.begin() + static_cast<std::ptrdiff_t>(framing));

  if (payload.size() < 14) {
    Fail("EXIF 標頭不完整");
  }
  const auto little = TiffReader::ByteOrderAt(payload, kTiffStart);
  if (!little) {
    Fail("EXIF 位元序不正確");
  }
  // Offsets in the structure count from its header.
  const TiffReader tiff(std::span<const std::uint8_t>(payload).subspan(kTiffStart), *little);
  if (tiff.Read(2, 2) != 42) {
    Fail("EXIF TIFF 標頭不正確");
  }

  const std::uint64_t ifd0 = tiff.Read(4, 4);
  const auto count = tiff.EntryCount(ifd0);
  if (!count) {
    Fail("EXIF 欄位不完整");
  }
  if (!tiff.EntriesFit(ifd0, *count)) {
    Fail("EXIF 目錄不完整");
  }

  for (std::uint32_t i = 0; i < *count; ++i) {
    const TiffReader::Entry entry = tiff.EntryAt(ifd0, i);
    if (entry.tag != kOrientationTag) {
      continue;
    }
    if (entry.type != kTypeShort || entry.count != 1) {
      Fail("EXIF 方向欄位不正確");
    }
    // Value 1 in the block's byte order; the two padding bytes after it stay as they were.
    const auto value = static_cast<std::size_t>(kTiffStart + entry.at + 8);
    payload[value] = *little ? 1 : 0;
    payload[value + 1] = *little ? 0 : 1;
    break;
  }
  return payload;
}

}  // namespace vellumora
