#pragma once

#include <cstdint>
#include <vector>

namespace vellumora {

// An owned run of bytes: file contents, metadata blocks, encoder output.
using Bytes = std::vector<std::uint8_t>;

}  // namespace vellumora
