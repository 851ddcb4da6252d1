#pragma once

// What an output's XMP says about the parts of the file beyond its primary image (an HDR gain
// map, a motion photo's video), decided in one place: every claim the photograph's own packet
// makes about its parts is taken out, and exactly the claims of the parts the written file holds
// are put in. A packet that keeps a claim whose part is gone misleads every gallery that reads it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/formats/bytes.h"

namespace vellumora {

// The XMP namespaces of the claims (the prefix a packet binds to them may be any).
inline constexpr std::string_view kCameraNamespace = "http://ns.google.com/photos/1.0/camera/";
inline constexpr std::string_view kContainerItemNamespace = "http://ns.google.com/photos/1.0/container/item/";

// A gain-map image stored right after the primary image.
struct OutputGainMap {
  std::uint64_t length = 0;  // the stored image, in bytes
};

// A motion photo's video stored after the images, byte for byte as the source holds it.
struct OutputVideo {
  std::uint64_t length = 0;   // the MP4, in bytes
  std::uint64_t padding = 0;  // bytes after it, up to the end of the file
  // The frame the still shows, as the source's XMP states it; none when it states none (readers
  // then take the middle of the video).
  std::optional<std::int64_t> presentationTimestampUs;
};

// The parts a written JPG holds after its primary image, in this order. Empty for a PNG and for
// a JPG of the primary image alone.
struct OutputParts {
  std::optional<OutputGainMap> gainMap;
  std::optional<OutputVideo> video;
};

// The photograph's packet for the output: every hdrgm property, the container directory and the
// motion-photo and retired MicroVideo properties are removed, in attribute and element form,
// whatever prefix the packet binds to their namespaces; everything else stays byte for byte
// (white space before a removed property goes with it). Then, when `parts` holds anything, one
// rdf:Description of ours is added before the packet's closing rdf:RDF: hdrgm:Version when a gain
// map follows, Camera:MotionPhoto 1 with its version and the presentation timestamp when a video
// follows, and a container directory with the primary and each part in file order (MIME type,
// exact length, padding). A packet of our own when the photograph has none and `parts` holds
// something; empty for no packet and no parts.
// Nothing when the packet cannot be rewritten faithfully: it is not well-formed enough to find
// every claim (a tag left open, end tags that do not match) while it mentions one, or claims
// are to be added and it has no closing rdf:RDF to add them before.
std::optional<Bytes> XmpForOutput(std::span<const std::uint8_t> xmp, const OutputParts& parts);

// One item of a container directory, as a packet states it.
struct XmpDirectoryItem {
  std::string semantic;
  std::string mime;
  std::optional<std::uint64_t> length;
  std::optional<std::uint64_t> padding;
};

// The claims a packet makes about a file's parts.
struct XmpClaims {
  bool gainMap = false;                  // some hdrgm property
  std::optional<std::int64_t> motionPhoto;  // Camera:MotionPhoto's value
  std::optional<std::int64_t> presentationTimestampUs;
  bool microVideo = false;               // some retired MicroVideo property
  std::vector<XmpDirectoryItem> directory;
  // False when the packet is not well-formed enough to have read every claim.
  bool complete = true;
};

XmpClaims ReadXmpClaims(std::span<const std::uint8_t> xmp);

}  // namespace vellumora
