#pragma once

#include <cstdint>
#include <span>

#include "convert/formats/bytes.h"

namespace vellumora {

// Removes the orientation properties from an XMP packet, byte for byte, in two passes:
// first every attribute  tiff:Orientation="D"  and then, over the result, every element
// <tiff:Orientation>D</tiff:Orientation>, where D is a digit 1..8. Matches are found left to right
// and do not overlap, exactly as the ECMAScript regular expressions
//   tiff:Orientation="[1-8]"      and      <tiff:Orientation>[1-8]</tiff:Orientation>
// would replace them with nothing. Other spellings (single quotes, white space, other values or
// prefixes) stay untouched. Runs in linear time and constant stack on any input.
Bytes StripXmpOrientation(std::span<const std::uint8_t> packet);

}  // namespace vellumora
