#pragma once

#include <string>
#include <string_view>

namespace vellumora {

// The JSON string literal of UTF-8 text, quotation marks included: bytes below 0x20 become \u00xx
// (lower-case hexadecimal), a quotation mark or backslash gets a backslash before it, and every other
// byte (0x7F and multi-byte UTF-8 sequences too) is copied unchanged.
std::string JsonStringUtf8(std::string_view utf8);

}  // namespace vellumora
