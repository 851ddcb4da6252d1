#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "convert/formats/bytes.h"

namespace vellumora {

// The auxiliary type of the HDR gain map that iPhones store beside the photograph.
inline constexpr char kAppleGainMapType[] = "urn:com:apple:photo:2020:aux:hdrgainmap";
// The XMP namespace of the gain-map JPEG's own properties.
inline constexpr std::string_view kHdrGainMapNamespace = "http://ns.adobe.com/hdr-gain-map/1.0/";
// The XMP namespace of the directory that lists the images of a multi-image JPEG.
inline constexpr std::string_view kContainerNamespace = "http://ns.google.com/photos/1.0/container/";
// Identifier of the APP2 segments with ISO 21496-1 gain map metadata, its zero byte included.
inline constexpr std::string_view kIsoGainMapIdentifier{"urn:iso:std:iso:ts:21496:-1\0", 28};

// The headroom a photograph's highlights reach above its SDR white, as a ratio (3.8 is 1.93
// stops), stored in one place both ways round: log2 rounded to millionths, which is what the
// written file says, and the ratio that this rounded value stands for.
struct GainMapHeadroom {
  std::int32_t log2Millionths = 0;
  double ratio() const;
};

// A headroom is usable when it is finite and above 1 (a gain map that can only darken, or
// a value that is not a number, has no faithful rendition). Rounds it to millionths of a stop.
std::optional<GainMapHeadroom> UsableHeadroom(double ratio);

// The headroom that the gain map's own XMP states (HDRGainMap:HDRGainMapHeadroom, as an
// attribute or an element), when it does.
std::optional<double> HeadroomFromGainMapXmp(std::span<const std::uint8_t> xmp);

// The headroom that Apple's MakerNote gives by Apple's published rule, from tags 0x0021 and
// 0x0030 in the kept Exif block ("Exif" 00 00 and the TIFF structure); a missing 0x0030 counts
// as 0. Nothing when the block has no Apple MakerNote, no tag 0x0021, or when the structure runs
// past its end. Only a photograph that has a gain map image asks.
std::optional<double> HeadroomFromAppleMakerNote(std::span<const std::uint8_t> exif);

// Apple applies a gain map linearly, 1 + (H - 1) g with g the stored value through the inverse
// Rec. 709 curve; a gain-map JPEG applies it exponentially, 2^(log2(H) g'). The table maps each
// stored value to the g' that gives the same boost.
std::array<std::uint8_t, 256> GainMapRemapTable(const GainMapHeadroom& headroom);

// The APP2 payload of ISO 21496-1 in the primary image: the version block.
Bytes IsoGainMapVersionPayload();

}  // namespace vellumora
