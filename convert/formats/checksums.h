#pragma once

#include <cstdint>
#include <span>

namespace vellumora {

// CRC-32 as PNG chunks use it (reflected polynomial 0xEDB88320, initial value and final XOR 0xFFFFFFFF).
std::uint32_t Crc32(std::span<const std::uint8_t> data);

// Adler-32 as the zlib trailer uses it (modulus 65,521, starting value 1).
std::uint32_t Adler32(std::span<const std::uint8_t> data);

}  // namespace vellumora
