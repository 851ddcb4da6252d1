#include "convert/formats/png_container.h"

#include <algorithm>
#include <stdexcept>

#include "convert/formats/byte_io.h"
#include "convert/formats/checksums.h"
#include "convert/formats/exif_orientation.h"

namespace vellumora {
namespace {

constexpr std::size_t kPngSignatureSize = 8;
constexpr std::string_view kIccpPrefix{"ICC\0\0", 5};  // profile name, terminator, compression method 0
// Keyword, terminator, compression flag 0, method 0, empty language tag, empty translated keyword.
constexpr std::string_view kItxtXmpPrefix{"XML:com.adobe.xmp\0\0\0\0\0", 22};

[[noreturn]] void TooLarge() { throw std::runtime_error("中繼資料過大"); }

}  // namespace

void AppendPngChunk(Bytes& out, std::string_view type, std::span<const std::uint8_t> data) {
  if (type.size() != 4) {
    throw std::invalid_argument("PNG chunk type must have four letters");
  }
  if (data.size() > kPngMaxChunkData) {
    TooLarge();
  }
  const std::size_t typeStart = out.size() + 4;
  byte_io::AppendBe32(out, static_cast<std::uint32_t>(data.size()));
  byte_io::Append(out, type);
  byte_io::Append(out, data);
  const std::uint32_t crc = Crc32(std::span<const std::uint8_t>(out).subspan(typeStart));
  byte_io::AppendBe32(out, crc);
}

Bytes StoredZlibStream(std::span<const std::uint8_t> data) {
  const std::size_t blocks = std::max<std::size_t>(1, (data.size() + kDeflateMaxStoredBlock - 1) / kDeflateMaxStoredBlock);
  Bytes out;
  out.reserve(2 + 5 * blocks + data.size() + 4);
  out.push_back(0x78);
  out.push_back(0x01);
  std::size_t offset = 0;
  do {
    const std::size_t len = std::min(data.size() - offset, kDeflateMaxStoredBlock);
    out.push_back(offset + len == data.size() ? 0x01 : 0x00);
    byte_io::AppendLe16(out, static_cast<std::uint32_t>(len));
    byte_io::AppendLe16(out, static_cast<std::uint32_t>(~len & 0xFFFFu));
    byte_io::Append(out, data.subspan(offset, len));
    offset += len;
  } while (offset < data.size());
  byte_io::AppendBe32(out, Adler32(data));
  return out;
}

Bytes BuildPngOutput(std::span<const std::uint8_t> encoded, std::span<const std::uint8_t> exif,
                     std::span<const std::uint8_t> xmp, std::span<const std::uint8_t> icc) {
  if (encoded.size() < kPngHeadSize) {
    throw std::runtime_error("PNG 輸出不完整");
  }
  if (!exif.empty() && !byte_io::HasAt(exif, 0, kExifMarker)) {
    // eXIf holds the TIFF data that follows the marker; a block without it cannot be framed.
    throw std::runtime_error("EXIF 資料損壞，已保留原檔");
  }
  Bytes out(encoded.begin(), encoded.begin() + kPngHeadSize);
  if (!exif.empty()) {
    AppendPngChunk(out, "eXIf", exif.subspan(kExifMarker.size()));
  }
  if (!icc.empty()) {
    // Refuse before wrapping, so that an oversized profile is never copied.
    const std::uint64_t blocks = (icc.size() + kDeflateMaxStoredBlock - 1) / kDeflateMaxStoredBlock;
    if (static_cast<std::uint64_t>(icc.size()) + kIccpPrefix.size() + 6 + 5 * blocks > kPngMaxChunkData) {
      TooLarge();
    }
    Bytes data;
    data.reserve(kIccpPrefix.size() + 6 + 5 * blocks + icc.size());
    byte_io::Append(data, kIccpPrefix);
    const Bytes zlib = StoredZlibStream(icc);
    byte_io::Append(data, zlib);
    AppendPngChunk(out, "iCCP", data);
  }
  if (!xmp.empty()) {
    if (static_cast<std::uint64_t>(xmp.size()) + kItxtXmpPrefix.size() > kPngMaxChunkData) {
      TooLarge();
    }
    Bytes data;
    data.reserve(kItxtXmpPrefix.size() + xmp.size());
    byte_io::Append(data, kItxtXmpPrefix);
    byte_io::Append(data, xmp);
    AppendPngChunk(out, "iTXt", data);
  }
  byte_io::Append(out, encoded.subspan(kPngHeadSize));
  return out;
}

Bytes FindPngExif(std::span<const std::uint8_t> file) {
  if (file.size() < 20) {
    return {};
  }
  std::size_t p = kPngSignatureSize;
  for (;;) {
    // Here at least twelve bytes remain from p.
    const std::uint64_t length = byte_io::ReadBe32(file, p);
    if (static_cast<std::uint64_t>(file.size() - p) - 12 < length) {
      throw std::runtime_error("PNG 區塊不完整");
    }
    const auto size = static_cast<std::size_t>(length);
    if (byte_io::HasAt(file, p + 4, "eXIf")) {
      Bytes exif;
      exif.reserve(kExifMarker.size() + size);
      byte_io::Append(exif, kExifMarker);
      byte_io::Append(exif, file.subspan(p + 8, size));
      return exif;
    }
    p += 12 + size;
    if (file.size() - p < 12) {
      return {};
    }
  }
}

}  // namespace vellumora
