#include "convert/formats/tiff_reader.h"

#include <cstring>

#include "convert/formats/byte_io.h"

namespace vellumora {

namespace {

// Bytes per value of each TIFF type (BYTE, ASCII, SHORT, LONG, RATIONAL, SBYTE, UNDEFINED,
// SSHORT, SLONG, SRATIONAL, FLOAT, DOUBLE); 0 for an unknown type.
std::uint64_t TypeSize(std::uint16_t type) {
  static constexpr std::uint64_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}

}  // namespace

std::optional<bool> TiffReader::ByteOrderAt(std::span<const std::uint8_t> data, std::size_t at) {
  if (byte_io::HasAt(data, at, "II")) return true;
  if (byte_io::HasAt(data, at, "MM")) return false;
  return std::nullopt;
}

std::uint32_t TiffReader::Read(std::uint64_t at, int width) const {
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const std::uint32_t byte = data_[static_cast<std::size_t>(at) + static_cast<std::size_t>(little_ ? width - 1 - i : i)];
    value = (value << 8) | byte;
  }
  return value;
}

std::optional<std::uint32_t> TiffReader::EntryCount(std::uint64_t directory) const {
  if (!Has(directory, 2)) return std::nullopt;
  return Read(directory, 2);
}

bool TiffReader::EntriesFit(std::uint64_t directory, std::uint32_t count) const {
  return Has(directory + 2, 12ull * count);
}

TiffReader::Entry TiffReader::EntryAt(std::uint64_t directory, std::uint32_t index) const {
  const std::uint64_t at = directory + 2 + 12ull * index;
  return Entry{static_cast<std::uint16_t>(Read(at, 2)), static_cast<std::uint16_t>(Read(at + 2, 2)), Read(at + 4, 4), at};
}

std::optional<TiffReader::Entry> TiffReader::Find(std::uint64_t directory, std::uint16_t tag) const {
  const auto count = EntryCount(directory);
  if (!count || !EntriesFit(directory, *count)) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const Entry entry = EntryAt(directory, i);
    if (entry.tag == tag) return entry;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> TiffReader::ValuesAt(const Entry& entry, std::uint64_t base) const {
  const std::uint64_t size = TypeSize(entry.type) * entry.count;
  const std::uint64_t at = size <= 4 ? entry.at + 8 : base + Read(entry.at + 8, 4);
  if (size == 0 || !Has(at, size)) return std::nullopt;
  return at;
}

std::optional<std::uint64_t> TiffReader::ValuesEnd(const Entry& entry, std::uint64_t base) const {
  const auto at = ValuesAt(entry, base);
  if (!at) return std::nullopt;
  return *at + TypeSize(entry.type) * entry.count;
}

std::optional<double> TiffReader::Number(const Entry& entry, std::uint64_t base) const {
  const auto at = ValuesAt(entry, base);
  if (!at) return std::nullopt;
  const auto rational = [&](bool isSigned) -> std::optional<double> {
    const std::uint32_t n = Read(*at, 4), d = Read(*at + 4, 4);
    if (d == 0) return std::nullopt;
    return isSigned ? double(static_cast<std::int32_t>(n)) / double(static_cast<std::int32_t>(d))
                    : double(n) / double(d);
  };
  switch (entry.type) {
    case 3: return double(Read(*at, 2));
    case 4: return double(Read(*at, 4));
    case 8: return double(static_cast<std::int16_t>(Read(*at, 2)));
    case 9: return double(static_cast<std::int32_t>(Read(*at, 4)));
    case 5: return rational(false);
    case 10: return rational(true);
    case 11: {
      const std::uint32_t bits = Read(*at, 4);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return double(f);
    }
    default: return std::nullopt;
  }
}

}  // namespace vellumora
