#include "convert/formats/gain_map_metadata.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "convert/formats/byte_io.h"
#include "convert/formats/tiff_reader.h"

namespace vellumora {
namespace {

constexpr double kMillionths = 1e6;

std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A decimal number in XMP's notation: plain digits with an optional point and exponent.
std::optional<double> NumberAt(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

}  // namespace

double GainMapHeadroom::ratio() const { return std::exp2(log2Millionths / kMillionths); }

std::optional<GainMapHeadroom> UsableHeadroom(double ratio) {
  // Up to 2^16: far beyond any display, and the millionths still fit 32 bits.
  if (!std::isfinite(ratio) || ratio <= 1.0 || ratio > 65536.0) return std::nullopt;
  const auto millionths = static_cast<std::int32_t>(std::lround(std::log2(ratio) * kMillionths));
  if (millionths <= 0) return std::nullopt;
  return GainMapHeadroom{millionths};
}

std::optional<double> HeadroomFromGainMapXmp(std::span<const std::uint8_t> xmp) {
  const std::string_view text = AsText(xmp);
  constexpr std::string_view kName = "HDRGainMap:HDRGainMapHeadroom";
  for (std::size_t at = text.find(kName); at != std::string_view::npos; at = text.find(kName, at + 1)) {
    std::size_t p = at + kName.size();
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) ++p;
    if (p < text.size() && text[p] == '>') {  // the element form
      ++p;
    } else if (p + 1 < text.size() && text[p] == '=' && (text[p + 1] == '"' || text[p + 1] == '\'')) {
      p += 2;
    } else {
      continue;  // the closing tag, or a name that only starts the same
    }
    while (p < text.size() && text[p] == ' ') ++p;
    return NumberAt(text.substr(p));
  }
  return std::nullopt;
}

std::optional<double> HeadroomFromAppleMakerNote(std::span<const std::uint8_t> exif) {
  constexpr std::size_t kTiff = 6;  // after "Exif" 00 00
  const auto order = TiffReader::ByteOrderAt(exif, kTiff);
  if (!order || exif.size() < kTiff + 8) return std::nullopt;
  const auto tiffData = exif.subspan(kTiff);
  const TiffReader tiff(tiffData, *order);
  const auto exifIfd = tiff.Find(tiff.Read(4, 4), 0x8769);
  const auto exifIfdAt = exifIfd && exifIfd->type == 4 ? tiff.ValuesAt(*exifIfd) : std::nullopt;
  if (!exifIfdAt) return std::nullopt;
  const auto makerNote = tiff.Find(tiff.Read(*exifIfdAt, 4), 0x927C);
  const auto makerNoteAt = makerNote ? tiff.ValuesAt(*makerNote) : std::nullopt;
  if (!makerNoteAt) return std::nullopt;

  // "Apple iOS" 00, a version of two bytes, the byte order, then the directory; its offsets
  // count from the MakerNote's first byte.
  const auto note = tiffData.subspan(static_cast<std::size_t>(*makerNoteAt), makerNote->count);
  constexpr std::string_view kApple{"Apple iOS\0", 10};
  const auto noteOrder = TiffReader::ByteOrderAt(note, 12);
  if (!byte_io::HasAt(note, 0, kApple) || !noteOrder) return std::nullopt;
  const TiffReader apple(note, *noteOrder);
  // A photograph with 0x0021 alone is read with 0x0030 as 0, as the readers that apply Apple's
  // rule do (many iPhone 12 to 14 photographs carry only 0x0021); without 0x0021 there is no rule.
  const auto tag33 = apple.Find(14, 0x0021), tag48 = apple.Find(14, 0x0030);
  if (!tag33) return std::nullopt;
  const auto m33 = apple.Number(*tag33), m48 = tag48 ? apple.Number(*tag48) : std::optional<double>(0.0);
  if (!m33 || !m48 || !std::isfinite(*m33) || !std::isfinite(*m48)) return std::nullopt;

  double stops;
  if (*m33 < 1.0)
    stops = *m48 <= 0.01 ? -20.0 * *m48 + 1.8 : -0.101 * *m48 + 1.601;
  else
    stops = *m48 <= 0.01 ? -70.0 * *m48 + 3.0 : -0.303 * *m48 + 2.303;
  const double headroom = std::exp2(std::max(stops, 0.0));
  if (!std::isfinite(headroom)) return std::nullopt;
  return headroom;
}

std::array<std::uint8_t, 256> GainMapRemapTable(const GainMapHeadroom& headroom) {
  const double h = headroom.ratio(), log2H = headroom.log2Millionths / kMillionths;
  std::array<std::uint8_t, 256> table{};
  for (int v = 0; v < 256; ++v) {
    const double x = v / 255.0;
    const double linear = x < 0.081 ? x / 4.5 : std::pow((x + 0.099) / 1.099, 1.0 / 0.45);
    const double remapped = std::log2(1.0 + (h - 1.0) * linear) / log2H;
    table[v] = static_cast<std::uint8_t>(std::lround(std::clamp(remapped, 0.0, 1.0) * 255.0));
  }
  return table;
}

Bytes IsoGainMapVersionPayload() {
  Bytes out;
  out.reserve(64);
  byte_io::Append(out, kIsoGainMapIdentifier);
  byte_io::AppendBe16(out, 0);  // minimum version a reader must understand
  byte_io::AppendBe16(out, 0);  // the writer's version
  return out;
}

}  // namespace vellumora
