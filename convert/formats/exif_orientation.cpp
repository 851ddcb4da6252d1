#include "convert/formats/exif_orientation.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "convert/formats/byte_io.h"

namespace vellumora {
namespace {

constexpr std::uint16_t kOrientationTag = 274;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::size_t kTiffStart = 6;  // TIFF header position in the kept payload

[[noreturn]] void Fail(const char* message) { throw std::runtime_error(message); }

// Reads 16/32-bit values in the TIFF byte order, failing when the field would run past the end.
class TiffReader {
 public:
  TiffReader(std::span<const std::uint8_t> data, bool littleEndian) : data_(data), little_(littleEndian) {}

  std::uint16_t U16(std::uint64_t at) const {
    Check(at, 2);
    const auto pos = static_cast<std::size_t>(at);
    return little_ ? byte_io::ReadLe16(data_, pos) : byte_io::ReadBe16(data_, pos);
  }

  std::uint32_t U32(std::uint64_t at) const {
    Check(at, 4);
    const auto pos = static_cast<std::size_t>(at);
    return little_ ? byte_io::ReadLe32(data_, pos) : byte_io::ReadBe32(data_, pos);
  }

 private:
  void Check(std::uint64_t at, std::uint64_t width) const {
    if (at > data_.size() || data_.size() - at < width) {
      Fail("EXIF 欄位不完整");
    }
  }

  std::span<const std::uint8_t> data_;
  bool little_;
};

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
  bool little = false;
  if (payload[6] == 'I' && payload[7] == 'I') {
    little = true;
  } else if (!(payload[6] == 'M' && payload[7] == 'M')) {
    Fail("EXIF 位元序不正確");
  }
  const TiffReader tiff(payload, little);
  if (tiff.U16(8) != 42) {
    Fail("EXIF TIFF 標頭不正確");
  }

  const std::uint64_t ifd0 = tiff.U32(10);
  const std::uint64_t firstEntry = kTiffStart + 2 + ifd0;
  if (firstEntry > payload.size()) {
    Fail("EXIF 欄位不完整");
  }
  const std::uint64_t count = tiff.U16(kTiffStart + ifd0);
  if (firstEntry + 12 * count > payload.size()) {
    Fail("EXIF 目錄不完整");
  }

  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t entry = firstEntry + 12 * i;
    if (tiff.U16(entry) != kOrientationTag) {
      continue;
    }
    if (tiff.U16(entry + 2) != kTypeShort || tiff.U32(entry + 4) != 1) {
      Fail("EXIF 方向欄位不正確");
    }
    // Value 1 in the block's byte order; the two padding bytes after it stay as they were.
    const auto value = static_cast<std::size_t>(entry + 8);
    payload[value] = little ? 1 : 0;
    payload[value + 1] = little ? 0 : 1;
    break;
  }
  return payload;
}

}  // namespace vellumora
