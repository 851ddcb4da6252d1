#pragma once

// Turning and mirroring small 8-bit pictures (gain maps) in memory, the way HEIF's rotation and
// mirror properties turn an image.

#include <cstdint>
#include <span>
#include <vector>

#include "convert/formats/bytes.h"

namespace vellumora {

// One of an image's rotations (a quarter turn anticlockwise per step) or mirrors, in the order
// the file lists them.
struct PixelTurn {
  enum class Kind { RotateAnticlockwise, MirrorTopBottom, MirrorLeftRight } kind = Kind::RotateAnticlockwise;
  int quarterTurns = 0;  // RotateAnticlockwise only: 0 to 3
};

// Rows of `width` × `height` pixels of `channels` bytes each, without gaps between rows.
struct PixelRows {
  Bytes pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t channels = 1;
};

// The picture with each turn applied in order.
PixelRows ApplyTurns(PixelRows picture, std::span<const PixelTurn> turns);

}  // namespace vellumora
