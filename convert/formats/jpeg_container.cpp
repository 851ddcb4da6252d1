#include "convert/formats/jpeg_container.h"

#include <algorithm>
#include <stdexcept>

#include "convert/formats/byte_io.h"
#include "convert/formats/exif_orientation.h"

namespace vellumora {
namespace {

constexpr std::uint8_t kApp1 = 0xE1;
constexpr std::uint8_t kApp2 = 0xE2;

}  // namespace

void AppendJpegSegment(Bytes& out, std::uint8_t marker, std::span<const std::uint8_t> payload) {
  if (payload.size() > kJpegMaxSegmentPayload) {
    throw std::runtime_error("JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留");
  }
  out.push_back(0xFF);
  out.push_back(marker);
  byte_io::AppendBe16(out, static_cast<std::uint32_t>(payload.size() + 2));
  byte_io::Append(out, payload);
}

void CheckJpegStart(std::span<const std::uint8_t> encoded) {
  if (encoded.size() < 2 || encoded[0] != 0xFF || encoded[1] != 0xD8) {
    throw std::runtime_error("JPG 輸出不完整");
  }
}

void AppendJpegMetadata(Bytes& out, std::span<const std::uint8_t> exif, std::span<const std::uint8_t> xmp,
                        std::span<const std::uint8_t> icc) {
  if (!exif.empty()) {
    AppendJpegSegment(out, kApp1, exif);
  }
  if (!xmp.empty()) {
    // The size check of the segment comes first, so that an oversized packet is never copied.
    if (xmp.size() > kJpegMaxSegmentPayload - kJpegXmpIdentifier.size()) {
      throw std::runtime_error("JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留");
    }
    Bytes payload;
    payload.reserve(kJpegXmpIdentifier.size() + xmp.size());
    byte_io::Append(payload, kJpegXmpIdentifier);
    byte_io::Append(payload, xmp);
    AppendJpegSegment(out, kApp1, payload);
  }
  if (!icc.empty()) {
    if (icc.size() > kJpegIccMaxProfile) {
      throw std::runtime_error("ICC 色彩描述檔超過 JPG 限制");
    }
    const std::size_t chunks = (icc.size() + kJpegIccChunkSize - 1) / kJpegIccChunkSize;
    Bytes payload;
    payload.reserve(kJpegMaxSegmentPayload);
    for (std::size_t i = 0; i < chunks; ++i) {
      const std::size_t begin = i * kJpegIccChunkSize;
      const std::size_t size = std::min(kJpegIccChunkSize, icc.size() - begin);
      payload.clear();
      byte_io::Append(payload, kJpegIccIdentifier);
      payload.push_back(static_cast<std::uint8_t>(i + 1));
      payload.push_back(static_cast<std::uint8_t>(chunks));
      byte_io::Append(payload, icc.subspan(begin, size));
      AppendJpegSegment(out, kApp2, payload);
    }
  }
}

Bytes BuildJpegOutput(std::span<const std::uint8_t> encoded, std::span<const std::uint8_t> exif,
                      std::span<const std::uint8_t> xmp, std::span<const std::uint8_t> icc) {
  CheckJpegStart(encoded);
  Bytes out{0xFF, 0xD8};
  AppendJpegMetadata(out, exif, xmp, icc);
  byte_io::Append(out, encoded.subspan(2));
  return out;
}

Bytes FindJpegExif(std::span<const std::uint8_t> file) {
  Bytes exif;
  if (file.size() < 2) return exif;
  const bool whole = ForEachJpegSegment(file, [&](std::uint8_t marker, std::span<const std::uint8_t> payload, std::size_t) {
    if (marker != kApp1 || payload.size() < 6 || !byte_io::HasAt(payload, 0, kExifMarker)) return true;
    exif.assign(payload.begin(), payload.end());
    return false;
  });
  if (!whole) throw std::runtime_error("JPG 區塊不完整");
  return exif;
}

}  // namespace vellumora
