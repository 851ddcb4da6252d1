// StripXmpOrientation on arbitrary packets: never longer than the input, and on small inputs identical
// to the two regular-expression replacements it stands for. A gain map's headroom read from it is
// usable only as a positive number of stops. The output's packet, when it can be made, claims no
// part when none is written and exactly the parts written when there are some. Gain-map metadata
// read from it says the same when written as hdrgm XMP and read again.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "convert/formats/gain_map_metadata.h"
#include "convert/formats/iso_gain_map.h"
#include "convert/formats/xmp_claims.h"
#include "convert/formats/xmp_orientation.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const vellumora::Bytes stripped = vellumora::StripXmpOrientation({data, size});
  vellumora::fuzz::Require(stripped.size() <= size, "stripped packet grew");
  if (const auto h = vellumora::HeadroomFromGainMapXmp({data, size}); h && vellumora::UsableHeadroom(*h))
    vellumora::fuzz::Require(vellumora::UsableHeadroom(*h)->log2Millionths > 0, "usable headroom");
  using vellumora::XmpForOutput, vellumora::ReadXmpClaims;
  if (const auto metadata = vellumora::GainMapMetadataFromXmp({data, size}))
    vellumora::fuzz::Require(vellumora::GainMapMetadataFromXmp(vellumora::GainMapXmp(*metadata)) == metadata,
                             "hdrgm XMP written and read again says other numbers");
  if (const auto bare = XmpForOutput({data, size}, {})) {
    const auto left = ReadXmpClaims(*bare);
    vellumora::fuzz::Require(!left.complete || (!left.gainMap && !left.motionPhoto && !left.microVideo &&
                                                 !left.presentationTimestampUs && left.directory.empty()),
                             "a claim left in a packet without parts");
    vellumora::fuzz::Require(XmpForOutput(*bare, {}) == bare, "a second pass changed the packet");
    if (const auto full = XmpForOutput({data, size}, {vellumora::OutputGainMap{7}, vellumora::OutputVideo{9, 0, -1}})) {
      const auto w = ReadXmpClaims(*full);
      vellumora::fuzz::Require(w.complete && w.gainMap && w.motionPhoto == 1 && w.directory.size() == 3 &&
                                   w.directory[1].length == 7u && w.directory[2].length == 9u, "claims other than the parts");
    }
  }
  // Each removal takes 20 (attribute) or 38 (element) bytes.
  vellumora::fuzz::Require((size - stripped.size()) % 2 == 0, "removed an odd number of bytes");
  if (size <= 1024) {
    static const std::regex attribute("tiff:Orientation=\"[1-8]\"", std::regex::ECMAScript);
    static const std::regex element("<tiff:Orientation>[1-8]</tiff:Orientation>", std::regex::ECMAScript);
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string expected = std::regex_replace(std::regex_replace(text, attribute, ""), element, "");
    vellumora::fuzz::Require(std::string(stripped.begin(), stripped.end()) == expected,
                             "differs from the regular-expression replacement");
  }
  return 0;
}
