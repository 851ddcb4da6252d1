// The gain map's readers on arbitrary bytes: a headroom is finite or nothing, the index names
// bytes inside the file or fails with its message.
#include <cmath>
#include <stdexcept>

#include "convert/formats/gain_map_jpeg.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes{data, size};
  for (const auto h : {vellumora::HeadroomFromAppleMakerNote(bytes), vellumora::HeadroomFromGainMapXmp(bytes)})
    if (h && vellumora::UsableHeadroom(*h)) vellumora::fuzz::Require(std::isfinite(*h) && *h > 1.0, "headroom");
  try {
    const auto image = vellumora::FindGainMapImage(bytes);
    vellumora::fuzz::Require(image.data() >= data && image.data() + image.size() == data + size, "image outside");
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"輸出增益圖驗證失敗"});
  }
  return 0;
}
