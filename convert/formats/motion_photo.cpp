#include "convert/formats/motion_photo.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "convert/formats/byte_io.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/xmp_claims.h"

namespace vellumora {
namespace {

// One ISO base-media box: its type and where its payload and the box end.
struct Box {
  std::string_view type;
  std::size_t payload = 0;
  std::size_t end = 0;
};

enum class BoxFit { kFits, kPastEnd, kNoBox };

// The box at `at`: a 32-bit size (1: a 64-bit size follows the type, 0: up to `data`'s end),
// then the type. kPastEnd when the header reads but the size does not fit the data.
BoxFit BoxAt(std::span<const std::uint8_t> data, std::size_t at, Box& box) {
  if (at > data.size() || data.size() - at < 8) return BoxFit::kNoBox;
  std::uint64_t size = byte_io::ReadBe32(data, at);
  std::size_t header = 8;
  box.type = {reinterpret_cast<const char*>(data.data() + at + 4), 4};
  if (size == 1) {
    if (data.size() - at < 16) return BoxFit::kPastEnd;
    size = (std::uint64_t{byte_io::ReadBe32(data, at + 8)} << 32) | byte_io::ReadBe32(data, at + 12);
    header = 16;
  } else if (size == 0) {
    size = data.size() - at;
  }
  if (size < header) return BoxFit::kNoBox;
  if (size > data.size() - at) return BoxFit::kPastEnd;
  box.payload = at + header;
  box.end = at + static_cast<std::size_t>(size);
  return BoxFit::kFits;
}

// The boxes an MP4 (or QuickTime) file has at its top level.
bool IsMp4TopLevel(std::string_view type) {
  static constexpr std::string_view kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta",
                                                "pdin", "moof", "mfra", "styp", "sidx", "ssix", "prft", "emsg",
                                                "udta"};
  return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

SourceVideo Mp4At(std::span<const std::uint8_t> payload) {
  SourceVideo video;
  video.state = SourceVideo::State::kUnreadable;
  bool moov = false, mdat = false;
  std::size_t end = 0;
  Box box;
  for (std::size_t at = 0;; at = box.end) {
    const BoxFit fit = BoxAt(payload, at, box);
    if (fit == BoxFit::kNoBox || !IsMp4TopLevel(box.type)) break;  // the MP4 ends; a trailer may follow
    if (fit == BoxFit::kPastEnd || (at == 0) != (box.type == "ftyp")) return video;
    moov = moov || box.type == "moov";
    mdat = mdat || box.type == "mdat";
    end = box.end;
  }
  if (!moov || !mdat) return video;
  video.state = SourceVideo::State::kFound;
  video.mp4 = payload.first(end);
  return video;
}

[[noreturn]] void Fail() { throw std::runtime_error("輸出動態相片驗證失敗"); }

}  // namespace

SourceVideo FindSourceVideo(std::span<const std::uint8_t> heif) {
  Box box;
  for (std::size_t at = 0; at < heif.size(); at = box.end) {
    const BoxFit fit = BoxAt(heif, at, box);
    const bool mpvd = fit != BoxFit::kNoBox && box.type == "mpvd";
    if (fit != BoxFit::kFits) return {mpvd ? SourceVideo::State::kUnreadable : SourceVideo::State::kNone, {}, {}};
    if (mpvd) {
      SourceVideo video = Mp4At(heif.subspan(box.payload, box.end - box.payload));
      video.box = heif.subspan(at, box.end - at);
      return video;
    }
  }
  return {};
}

std::size_t JpegImageEnd(std::span<const std::uint8_t> jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return 0;
  std::size_t p = 2;
  bool scanning = false;  // inside a scan's coded data
  while (p + 1 < jpeg.size()) {
    if (jpeg[p] != 0xFF) {
      if (!scanning) return 0;
      ++p;
      continue;
    }
    const std::uint8_t marker = jpeg[p + 1];
    if (marker == 0xD9) return p + 2;
    if (marker == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    if (scanning && (marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7))) {  // stuffed byte, restart
      p += 2;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) return 0;  // no segment here
    if (jpeg.size() - p < 4) return 0;
    const std::size_t length = byte_io::ReadBe16(jpeg, p + 2);
    if (length < 2 || jpeg.size() - (p + 2) < length) return 0;
    p += 2 + length;
    scanning = marker == 0xDA;
  }
  return 0;
}

std::span<const std::uint8_t> CheckMotionPhotoJpeg(std::span<const std::uint8_t> file,
                                                   std::span<const std::uint8_t> mp4, bool gainMap) {
  std::span<const std::uint8_t> xmp;
  if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8) Fail();
  const bool whole = ForEachJpegSegment(file, [&](std::uint8_t marker, std::span<const std::uint8_t> payload, std::size_t) {
    if (marker != 0xE1 || !byte_io::HasAt(payload, 0, kJpegXmpIdentifier)) return true;
    xmp = payload.subspan(kJpegXmpIdentifier.size());
    return false;
  });
  if (!whole || xmp.empty()) Fail();
  const XmpClaims claims = ReadXmpClaims(xmp);
  if (!claims.complete || claims.motionPhoto != 1 || claims.microVideo || claims.gainMap != gainMap) Fail();

  // The directory names exactly the parts written, in file order; counted from the end of the file.
  const auto& items = claims.directory;
  if (items.size() != (gainMap ? 3u : 2u) || items.front().semantic != "Primary" || items.front().mime != "image/jpeg" ||
      items.back().semantic != "MotionPhoto" || items.back().mime != "video/mp4" ||
      (gainMap && (items[1].semantic != "GainMap" || items[1].mime != "image/jpeg")))
    Fail();
  std::uint64_t end = file.size();
  std::uint64_t starts[3] = {0, 0, 0};
  for (std::size_t i = items.size(); i-- > 1;) {
    const std::uint64_t length = items[i].length.value_or(0), padding = items[i].padding.value_or(0);
    if (length == 0 || length > end || padding > end - length) Fail();
    end -= length + padding;
    starts[i] = end;
  }
  // `end` is now where the primary and its padding end.
  const std::uint64_t primaryPadding = items.front().padding.value_or(0);
  if (primaryPadding >= end || items.back().length != mp4.size() ||
      !std::equal(mp4.begin(), mp4.end(), file.begin() + static_cast<std::ptrdiff_t>(starts[items.size() - 1])))
    Fail();
  const std::size_t primaryEnd = static_cast<std::size_t>(end - primaryPadding);
  if (JpegImageEnd(file.first(primaryEnd)) != primaryEnd) Fail();
  return file.first(gainMap ? static_cast<std::size_t>(starts[1] + *items[1].length) : primaryEnd);
}

}  // namespace vellumora
