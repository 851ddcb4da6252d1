#pragma once

// Motion photos: a HEIF photograph whose video (an MP4) follows the image in a top-level `mpvd`
// box, and the JPG that keeps both: the JPEG (and its gain map) followed by the MP4, byte for
// byte, described by the primary's XMP (see xmp_claims.h).

#include <cstdint>
#include <span>

#include "convert/formats/bytes.h"

namespace vellumora {

// A source's motion-photo video, as its own boxes delimit it.
struct SourceVideo {
  enum class State {
    kNone,        // no mpvd box
    kFound,       // `mp4` is the video
    kUnreadable,  // an mpvd box whose MP4 is damaged or cut short: there was a video, it cannot be kept
  };
  State state = State::kNone;
  std::span<const std::uint8_t> mp4;  // inside the source's bytes
  std::span<const std::uint8_t> box;  // the whole mpvd box, when it fits the file
};

// Finds the first top-level mpvd box of a HEIF file and the MP4 at its start. The MP4's extent
// comes from its own boxes (ftyp first, then the top-level boxes an MP4 has, with a moov and an
// mdat among them), never from the lengths the photograph's XMP states, which some phones write
// for the HEIF: whatever follows the MP4 inside mpvd (Samsung's trailer) is not part of it. A
// box of the MP4 that runs past mpvd's end makes the video unreadable.
SourceVideo FindSourceVideo(std::span<const std::uint8_t> heif);

// The written JPG's motion-photo layout, checked as a reader finds the video: the primary's XMP
// claims a motion photo with a directory of the primary, the gain map when `gainMap` is set,
// and the video, each with its length; counted back from the end of the file, the video's bytes
// are exactly `mp4`, and what precedes them ends where the images end (the primary's end of
// image, or the gain map's, which FindGainMapImage then checks on the returned span). Returns
// the images (the file without the video); throws "輸出動態相片驗證失敗" when any of it does not hold.
std::span<const std::uint8_t> CheckMotionPhotoJpeg(std::span<const std::uint8_t> file,
                                                   std::span<const std::uint8_t> mp4, bool gainMap);

// Where a JPEG's end-of-image marker ends: the marker segments, then every scan's coded data
// (stuffed bytes and restart markers passed over, segments between scans skipped), up to the
// first end-of-image marker. Zero when the structure is cut short or has none.
std::size_t JpegImageEnd(std::span<const std::uint8_t> jpeg);

}  // namespace vellumora
