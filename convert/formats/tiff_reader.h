#pragma once
// Reading a TIFF structure (the body of an Exif block, a MakerNote): fixed-width numbers in the
// structure's byte order and the entries of its image file directories, every position checked
// against the end. Offsets count from the start of the bytes given, so a MakerNote whose offsets
// count from its own first byte is read through a reader over its own bytes.
#include <cstdint>
#include <optional>
#include <span>

namespace vellumora {

class TiffReader {
 public:
  TiffReader(std::span<const std::uint8_t> data, bool littleEndian) : data_(data), little_(littleEndian) {}

  // The byte order whose mark ("II" little-endian, "MM" big-endian) is at `at`.
  static std::optional<bool> ByteOrderAt(std::span<const std::uint8_t> data, std::size_t at);

  bool littleEndian() const { return little_; }

  // Whether `width` bytes at `at` lie inside the structure.
  bool Has(std::uint64_t at, std::uint64_t width) const { return at <= data_.size() && data_.size() - at >= width; }

  // A number of 1 to 4 bytes at `at`; the caller has checked Has(at, width).
  std::uint32_t Read(std::uint64_t at, int width) const;

  // One entry of a directory: its tag, type and count, and where it starts (the value field is
  // 8 bytes further on).
  struct Entry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::uint64_t at = 0;
  };

  // The number of entries of the directory at `at`; nothing when its count lies outside.
  std::optional<std::uint32_t> EntryCount(std::uint64_t directory) const;
  // Whether that many entries of 12 bytes fit after the count.
  bool EntriesFit(std::uint64_t directory, std::uint32_t count) const;
  // Entry `index` of the directory at `directory` (it must fit).
  Entry EntryAt(std::uint64_t directory, std::uint32_t index) const;

  // The entry of `tag` in the directory at `directory`; nothing when the directory does not fit
  // or has no such entry.
  std::optional<Entry> Find(std::uint64_t directory, std::uint16_t tag) const;

  // Where an entry's values are: inside the entry when they fit four bytes, else at its offset
  // plus `base`. Nothing for an unknown type or values that run past the end.
  std::optional<std::uint64_t> ValuesAt(const Entry& entry, std::uint64_t base = 0) const;
  // Where they end: ValuesAt plus their size.
  std::optional<std::uint64_t> ValuesEnd(const Entry& entry, std::uint64_t base = 0) const;

  // The first value of a numeric entry as a number, whatever its type; nothing for another type,
  // values outside, or a zero denominator.
  std::optional<double> Number(const Entry& entry, std::uint64_t base = 0) const;

 private:
  std::span<const std::uint8_t> data_;
  bool little_;
};

}  // namespace vellumora
