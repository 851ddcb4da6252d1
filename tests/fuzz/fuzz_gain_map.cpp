// What a gain-map JPEG's readers meet in a photograph: its Exif with a MakerNote, its gain
// map's XMP, and a written file's index. A headroom is a number or nothing, the index check
// either names the image inside the file or fails with its message.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/gain_map_metadata.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vellumora::fuzz::Require;
  const std::span<const std::uint8_t> bytes{data, size};
  if (const auto h = vellumora::HeadroomFromAppleMakerNote(bytes)) Require(std::isfinite(*h) && *h >= 1.0, "headroom");
  if (const auto h = vellumora::HeadroomFromGainMapXmp(bytes)) {
    if (const auto usable = vellumora::UsableHeadroom(*h)) Require(usable->log2Millionths > 0, "usable headroom");
  }
  try {
    const auto image = vellumora::FindGainMapImage(bytes);
    Require(image.data() >= data && image.data() + image.size() == data + size && image.size() >= 4, "image outside");
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"輸出增益圖驗證失敗"});
  }
  return 0;
}
