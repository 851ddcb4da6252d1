#pragma once

// Small helpers for reading and writing fixed-width integers at checked positions.
// Callers check bounds before reading; these only assemble the bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "convert/formats/bytes.h"

namespace vellumora::byte_io {

inline std::uint16_t ReadBe16(std::span<const std::uint8_t> d, std::size_t at) {
  return static_cast<std::uint16_t>((d[at] << 8) | d[at + 1]);
}

inline std::uint32_t ReadBe32(std::span<const std::uint8_t> d, std::size_t at) {
  return (static_cast<std::uint32_t>(d[at]) << 24) | (static_cast<std::uint32_t>(d[at + 1]) << 16) |
         (static_cast<std::uint32_t>(d[at + 2]) << 8) | static_cast<std::uint32_t>(d[at + 3]);
}

inline std::uint16_t ReadLe16(std::span<const std::uint8_t> d, std::size_t at) {
  return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}

inline std::uint32_t ReadLe32(std::span<const std::uint8_t> d, std::size_t at) {
  return static_cast<std::uint32_t>(d[at]) | (static_cast<std::uint32_t>(d[at + 1]) << 8) |
         (static_cast<std::uint32_t>(d[at + 2]) << 16) | (static_cast<std::uint32_t>(d[at + 3]) << 24);
}

inline void AppendBe16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

inline void AppendBe32(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 24));
  out.push_back(static_cast<std::uint8_t>(v >> 16));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

inline void AppendLe16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void Append(Bytes& out, std::span<const std::uint8_t> data) {
  out.insert(out.end(), data.begin(), data.end());
}

inline void Append(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// True when the bytes at `at` are exactly `text`; false when they would run past the end.
inline bool HasAt(std::span<const std::uint8_t> d, std::size_t at, std::string_view text) {
  if (at > d.size() || d.size() - at < text.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (d[at + i] != static_cast<std::uint8_t>(text[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace vellumora::byte_io
