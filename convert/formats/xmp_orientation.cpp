#include "convert/formats/xmp_orientation.h"

#include <cstddef>
#include <string_view>

namespace vellumora {
namespace {

// A pattern of literal text with one digit 1..8 between `before` and `after`.
struct DigitPattern {
  std::string_view before;
  std::string_view after;

  std::size_t Length() const { return before.size() + 1 + after.size(); }

  bool MatchesAt(std::span<const std::uint8_t> text, std::size_t at) const {
    if (text.size() - at < Length()) {
      return false;
    }
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (text[at + i] != static_cast<std::uint8_t>(before[i])) {
        return false;
      }
    }
    const std::uint8_t digit = text[at + before.size()];
    if (digit < '1' || digit > '8') {
      return false;
    }
    const std::size_t tail = at + before.size() + 1;
    for (std::size_t i = 0; i < after.size(); ++i) {
      if (text[tail + i] != static_cast<std::uint8_t>(after[i])) {
        return false;
      }
    }
    return true;
  }
};

constexpr DigitPattern kAttribute{"tiff:Orientation=\"", "\""};
constexpr DigitPattern kElement{"<tiff:Orientation>", "</tiff:Orientation>"};

// Replaces every leftmost non-overlapping match with nothing. The search resumes right after a removed
// match and never looks back, so text that only forms a match once a match is cut out stays, as with a
// regular-expression replacement.
Bytes RemoveAll(std::span<const std::uint8_t> text, const DigitPattern& pattern) {
  Bytes out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == static_cast<std::uint8_t>(pattern.before[0]) && pattern.MatchesAt(text, i)) {
      i += pattern.Length();
    } else {
      out.push_back(text[i]);
      ++i;
    }
  }
  return out;
}

}  // namespace

Bytes StripXmpOrientation(std::span<const std::uint8_t> packet) {
  const Bytes withoutAttributes = RemoveAll(packet, kAttribute);
  return RemoveAll(withoutAttributes, kElement);
}

}  // namespace vellumora
