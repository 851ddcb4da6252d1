#pragma once

// The metadata that says how a gain map turns the base rendition into the alternate one, as
// ISO 21496-1 writes it (a HEIF `tmap` item's data; the APP2 payload of a gain-map JPEG's second
// image) and as the hdrgm XMP properties say it. One record for all of a photograph's gain maps:
// the camera's own fractions when it wrote them, else what Apple's or Samsung's metadata gives.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "convert/formats/bytes.h"

namespace vellumora {

// The auxiliary type of the HDR gain map that Samsung phones store beside the photograph; its
// hdrgm XMP gives its metadata.
inline constexpr char kSamsungGainMapType[] = "urn:com:samsung:photo:2024:aux:hdrgainmap";

// A number as the binary form stores it: a 32-bit numerator (signed or not, by field) over a
// 32-bit denominator that is never 0 in a record that parsing or conversion returned.
struct GainMapFraction {
  std::int64_t numerator = 0;
  std::uint32_t denominator = 1;
  double Value() const { return static_cast<double>(numerator) / static_cast<double>(denominator); }
  bool operator==(const GainMapFraction&) const = default;
};

// How one colour channel's stored values map to gains, in log2 units: the stored value v in
// [0, 1] gives log2 gain min + (max - min) · v^(1 / gamma); the offsets are added to the base and
// the alternate rendition before the gain applies.
struct GainMapChannel {
  GainMapFraction min, max, gamma, baseOffset, alternateOffset;
  bool operator==(const GainMapChannel&) const = default;
};

struct GainMapMetadata {
  std::uint16_t minimumVersion = 0;  // the version a reader must understand: only 0 is known
  std::uint16_t writerVersion = 0;
  bool baseColourSpace = true;      // the map applies in the base image's colour space
  GainMapFraction baseHeadroom;       // log2 of the display headroom each rendition is made for
  GainMapFraction alternateHeadroom;
  std::vector<GainMapChannel> channels;  // 1 (the same for R, G and B) or 3
  Bytes trailing;  // what a later writer version appended after the fields known here, kept as is
  bool operator==(const GainMapMetadata&) const = default;
};

// A HEIF `tmap` item's data: a version byte (0), then the metadata. Nothing when it is not one
// this program can carry faithfully: another version, a minimum version other than 0, a flag it
// does not know (a compact form or the reverse direction of later editions), a zero denominator,
// a field cut short, a gamma that is not positive, a maximum below its minimum, or an alternate
// headroom not above the base's (the base is then not the SDR rendition this program writes).
std::optional<GainMapMetadata> ParseToneMapItem(std::span<const std::uint8_t> item);

// The metadata as a gain-map JPEG's APP2 payload holds it after its identifier; the same checks.
std::optional<GainMapMetadata> ParseGainMapMetadata(std::span<const std::uint8_t> metadata);

// The APP2 payload of the gain-map image: identifier, then every field of the record (and its
// trailing bytes) in the binary form, so a parsed payload comes back byte for byte.
Bytes IsoGainMapPayload(const GainMapMetadata& metadata);

// The gain-map image's XMP packet: the hdrgm properties of the same metadata (the base is the SDR
// rendition; per channel as ordered arrays when there are three).
Bytes GainMapXmp(const GainMapMetadata& metadata);

// The metadata that a gain map's own hdrgm XMP states (Samsung's), with the defaults of the hdrgm
// properties for those it leaves out. Each value becomes a fraction in millionths. Nothing when
// the packet has no hdrgm:Version 1.0, lacks GainMapMax or HDRCapacityMax, says the base is the
// HDR rendition, or holds a value that is not a number in range; and with the checks of parsing.
std::optional<GainMapMetadata> GainMapMetadataFromXmp(std::span<const std::uint8_t> xmp);

// Apple's gain map after the remap table: one channel from 0 to log2 of the headroom, gamma 1, no
// offsets, for a base made for SDR (headroom 0) and an alternate at the headroom.
GainMapMetadata AppleGainMapMetadata(std::int32_t log2HeadroomMillionths);

}  // namespace vellumora
