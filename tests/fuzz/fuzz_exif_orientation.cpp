// NormalizeExifOrientation on arbitrary HEIF Exif blocks: only the listed messages may be thrown, the
// result is a framed TIFF block that differs from the input in at most the two Orientation value
// bytes, and normalising the result again (as a block with offset 6) changes nothing. The gain map's
// headroom read from the kept block's MakerNote is a finite ratio of at least 1, or nothing. The
// bytes as a HEIF Exif item end, at most, where an APP1 segment before the TIFF header ends; as
// tone-map metadata they come back byte for byte when they are carried.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "convert/formats/exif_item.h"
#include "convert/formats/exif_orientation.h"
#include "convert/formats/gain_map_metadata.h"
#include "convert/formats/iso_gain_map.h"
#include "fuzz_check.h"

using vellumora::Bytes;
using vellumora::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> block(data, size);
  if (const auto metadata = vellumora::ParseToneMapItem(block)) {
    const Bytes payload = vellumora::IsoGainMapPayload(*metadata);
    Require(payload.size() == vellumora::kIsoGainMapIdentifier.size() + size - 1 &&
                std::equal(block.begin() + 1, block.end(), payload.begin() + vellumora::kIsoGainMapIdentifier.size()),
            "tone-map metadata not carried byte for byte");
  }
  try {
    const auto bounded = vellumora::ExifItemWithinSegment(block);
    Require(bounded.data() == data && bounded.size() <= size, "the Exif item grew");
    const std::uint64_t tiff = size < 4 ? 0 : ((std::uint64_t{data[0]} << 24) | (data[1] << 16) | (data[2] << 8) | data[3]) + 4;
    Require(bounded.size() == size || tiff <= bounded.size(), "the Exif item cut before its TIFF header");
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"EXIF 資料損壞，已保留原檔"});
  }
  Bytes kept;
  try {
    kept = vellumora::NormalizeExifOrientation(block);
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"EXIF 資料損壞，已保留原檔", "EXIF 位移不正確", "EXIF 標頭不完整",
                                        "EXIF 位元序不正確", "EXIF TIFF 標頭不正確", "EXIF 欄位不完整",
                                        "EXIF 目錄不完整", "EXIF 方向欄位不正確"});
    return 0;
  }
  Require(kept.size() >= 14, "kept Exif shorter than its header");
  if (const auto h = vellumora::HeadroomFromAppleMakerNote(kept)) Require(std::isfinite(*h) && *h >= 1.0, "headroom");
  Require(Bytes(kept.begin(), kept.begin() + 6) == Bytes(vellumora::kExifMarker.begin(), vellumora::kExifMarker.end()),
          "kept Exif without marker");
  // The kept bytes are a tail of the block, either as they are or behind a prepended marker.
  auto changedAgainstTail = [&](std::size_t keptStart) {
    const std::size_t tail = kept.size() - keptStart;
    if (tail > size) {
      return tail;  // cannot be a tail of the block
    }
    std::size_t changed = 0;
    for (std::size_t i = 0; i < tail; ++i) {
      changed += kept[keptStart + i] != data[size - tail + i] ? 1 : 0;
    }
    return changed;
  };
  Require(std::min(changedAgainstTail(0), changedAgainstTail(6)) <= 2, "more than the Orientation value changed");

  Bytes again{0, 0, 0, 6};
  again.insert(again.end(), kept.begin(), kept.end());
  Require(vellumora::NormalizeExifOrientation(again) == kept, "normalising twice changed the block");
  return 0;
}
