#include "convert/formats/gain_map_jpeg.h"

#include <array>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "convert/formats/byte_io.h"
#include "convert/formats/gain_map_metadata.h"
#include "convert/formats/jpeg_container.h"

namespace vellumora {
namespace {

constexpr std::uint8_t kApp1 = 0xE1;
constexpr std::uint8_t kApp2 = 0xE2;
constexpr std::string_view kMpfIdentifier{"MPF\0", 4};
constexpr std::uint16_t kMpfVersionTag = 0xB000, kImageCountTag = 0xB001, kImageEntriesTag = 0xB002;
constexpr std::size_t kMpfIfdEntries = 3;
// The MP index: identifier, TIFF header, a directory of three entries, the next-directory
// offset, then one 16-byte entry per image.
constexpr std::size_t kMpfEntriesOffset = 8 + 2 + 12 * kMpfIfdEntries + 4;  // from the TIFF header
constexpr std::size_t kMpfPayloadSize = kMpfIdentifier.size() + kMpfEntriesOffset + 2 * 16;
constexpr std::uint32_t kPrimaryImageAttribute = 0x20030000;  // representative, baseline MP primary

[[noreturn]] void Fail() { throw std::runtime_error("輸出增益圖驗證失敗"); }

void AppendMpfEntry(Bytes& out, std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
  byte_io::AppendBe16(out, tag);
  byte_io::AppendBe16(out, type);
  byte_io::AppendBe32(out, count);
  byte_io::AppendBe32(out, value);
}

// The number that follows `name` after `after` in the text, up to the next "<", when there is one.
std::optional<std::uint64_t> NumberAfter(std::string_view text, std::string_view after, std::string_view name) {
  const std::size_t from = text.find(after);
  if (from == std::string_view::npos) return std::nullopt;
  const std::size_t at = text.find(name, from);
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t value = 0;
  const char* begin = text.data() + at + name.size();
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  if (error != std::errc() || end == begin || end == text.data() + text.size() || *end != '<') return std::nullopt;
  return value;
}

}  // namespace

Bytes BuildGainMapImage(std::span<const std::uint8_t> encoded, const GainMapMetadata& metadata) {
  CheckJpegStart(encoded);
  Bytes out{0xFF, 0xD8};
  AppendJpegMetadata(out, {}, GainMapXmp(metadata), {});
  AppendJpegSegment(out, kApp2, IsoGainMapPayload(metadata));
  byte_io::Append(out, encoded.subspan(2));
  return out;
}

Bytes BuildGainMapJpegOutput(std::span<const std::uint8_t> encoded, std::span<const std::uint8_t> exif,
                             std::span<const std::uint8_t> xmp, std::span<const std::uint8_t> icc,
                             std::span<const std::uint8_t> gainMapImage) {
  CheckJpegStart(encoded);
  const Bytes version = IsoGainMapVersionPayload();
  Bytes out{0xFF, 0xD8};
  AppendJpegMetadata(out, exif, xmp, icc);
  AppendJpegSegment(out, kApp2, version);

  // Offsets in the index count from its TIFF header; the primary's own entry starts at 0.
  const std::size_t tiffHeader = out.size() + 4 + kMpfIdentifier.size();
  const std::uint64_t primarySize = out.size() + 4 + kMpfPayloadSize + (encoded.size() - 2);
  if (primarySize + gainMapImage.size() >= 0x100000000ull) throw std::runtime_error("輸出檔案過大");
  out.reserve(static_cast<std::size_t>(primarySize) + gainMapImage.size());
  Bytes mpf;
  byte_io::Append(mpf, kMpfIdentifier);
  byte_io::Append(mpf, std::string_view("MM\0\x2A", 4));
  byte_io::AppendBe32(mpf, 8);
  byte_io::AppendBe16(mpf, kMpfIfdEntries);
  AppendMpfEntry(mpf, kMpfVersionTag, 7, 4, 0x30313030);  // "0100"
  AppendMpfEntry(mpf, kImageCountTag, 4, 1, 2);
  AppendMpfEntry(mpf, kImageEntriesTag, 7, 32, kMpfEntriesOffset);
  byte_io::AppendBe32(mpf, 0);
  for (const auto& [attribute, size, offset] :
       {std::array<std::uint64_t, 3>{kPrimaryImageAttribute, primarySize, 0},
        std::array<std::uint64_t, 3>{0, gainMapImage.size(), primarySize - tiffHeader}}) {
    byte_io::AppendBe32(mpf, static_cast<std::uint32_t>(attribute));
    byte_io::AppendBe32(mpf, static_cast<std::uint32_t>(size));
    byte_io::AppendBe32(mpf, static_cast<std::uint32_t>(offset));
    byte_io::AppendBe32(mpf, 0);  // no dependent images
  }
  AppendJpegSegment(out, kApp2, mpf);
  byte_io::Append(out, encoded.subspan(2));
  byte_io::Append(out, gainMapImage);
  return out;
}

std::span<const std::uint8_t> FindGainMapImage(std::span<const std::uint8_t> file) {
  std::optional<std::uint64_t> directoryLength;
  std::span<const std::uint8_t> index;
  std::size_t indexAt = 0;
  if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8) Fail();
  const bool whole = ForEachJpegSegment(file, [&](std::uint8_t marker, std::span<const std::uint8_t> payload, std::size_t at) {
    if (marker == kApp1 && !directoryLength && byte_io::HasAt(payload, 0, kJpegXmpIdentifier)) {
      const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
      directoryLength = NumberAfter(text, "<Item:Semantic>GainMap<", "<Item:Length>");
    } else if (marker == kApp2 && index.empty() && byte_io::HasAt(payload, 0, kMpfIdentifier)) {
      index = payload.subspan(kMpfIdentifier.size());
      indexAt = at + kMpfIdentifier.size();
    }
    return true;
  });
  if (!whole) Fail();
  // The index as written: big-endian, the three entries, two images.
  if (!directoryLength || index.size() < kMpfEntriesOffset + 32 || !byte_io::HasAt(index, 0, std::string_view("MM\0\x2A", 4)) ||
      byte_io::ReadBe32(index, 4) != 8 || byte_io::ReadBe16(index, 8) != kMpfIfdEntries ||
      byte_io::ReadBe16(index, 10 + 12) != kImageCountTag || byte_io::ReadBe32(index, 10 + 12 + 8) != 2 ||
      byte_io::ReadBe16(index, 10 + 24) != kImageEntriesTag)
    Fail();
  const std::size_t entries = byte_io::ReadBe32(index, 10 + 24 + 8);
  if (entries > index.size() || index.size() - entries < 32) Fail();
  const std::uint64_t primarySize = byte_io::ReadBe32(index, entries + 4), primaryOffset = byte_io::ReadBe32(index, entries + 8);
  const std::uint64_t size = byte_io::ReadBe32(index, entries + 16 + 4);
  const std::uint64_t start = indexAt + std::uint64_t{byte_io::ReadBe32(index, entries + 16 + 8)};
  if (primaryOffset != 0 || primarySize != start || start + size != file.size() || size != *directoryLength ||
      size < 4 || file[static_cast<std::size_t>(start)] != 0xFF || file[static_cast<std::size_t>(start) + 1] != 0xD8)
    Fail();
  return file.subspan(static_cast<std::size_t>(start));
}

}  // namespace vellumora
