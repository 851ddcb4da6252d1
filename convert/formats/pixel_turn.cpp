#include "convert/formats/pixel_turn.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vellumora {
namespace {

// Each output pixel (x, y) taken from the input pixel that `from` names.
template <typename From>
PixelRows Remap(const PixelRows& in, std::uint32_t width, std::uint32_t height, From from) {
  PixelRows out{Bytes(in.pixels.size()), width, height, in.channels};
  const std::size_t c = in.channels;
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = out.pixels.data() + std::size_t{y} * width * c;
    for (std::uint32_t x = 0; x < width; ++x) {
      const auto [sx, sy] = from(x, y);
      std::memcpy(row + std::size_t{x} * c, in.pixels.data() + (std::size_t{sy} * in.width + sx) * c, c);
    }
  }
  return out;
}

}  // namespace

PixelRows ApplyTurns(PixelRows picture, std::span<const PixelTurn> turns) {
  for (const PixelTurn& turn : turns) {
    const std::uint32_t w = picture.width, h = picture.height;
    switch (turn.kind) {
      case PixelTurn::Kind::MirrorTopBottom:
        picture = Remap(picture, w, h, [&](std::uint32_t x, std::uint32_t y) { return std::pair{x, h - 1 - y}; });
        break;
      case PixelTurn::Kind::MirrorLeftRight:
        picture = Remap(picture, w, h, [&](std::uint32_t x, std::uint32_t y) { return std::pair{w - 1 - x, y}; });
        break;
      case PixelTurn::Kind::RotateAnticlockwise:
        // A quarter turn anticlockwise: the output's top row is the input's right column.
        switch (turn.quarterTurns & 3) {
          case 1:
            picture = Remap(picture, h, w, [&](std::uint32_t x, std::uint32_t y) { return std::pair{w - 1 - y, x}; });
            break;
          case 2:
            picture = Remap(picture, w, h, [&](std::uint32_t x, std::uint32_t y) { return std::pair{w - 1 - x, h - 1 - y}; });
            break;
          case 3:
            picture = Remap(picture, h, w, [&](std::uint32_t x, std::uint32_t y) { return std::pair{y, h - 1 - x}; });
            break;
          default:
            break;
        }
        break;
    }
  }
  return picture;
}

}  // namespace vellumora
