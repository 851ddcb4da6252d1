// FindJpegExif on arbitrary files: either the "JPG 區塊不完整" message or a result that is empty or an
// Exif payload copied from inside the file. FindGainMapImage either names bytes at the file's end or
// fails with its message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "convert/formats/exif_orientation.h"
#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/jpeg_container.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const auto image = vellumora::FindGainMapImage({data, size});
    vellumora::fuzz::Require(image.data() >= data && image.data() + image.size() == data + size, "image outside");
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"輸出增益圖驗證失敗"});
  }
  vellumora::Bytes exif;
  try {
    exif = vellumora::FindJpegExif({data, size});
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"JPG 區塊不完整"});
    return 0;
  }
  if (exif.empty()) {
    return 0;
  }
  using vellumora::fuzz::Require;
  Require(exif.size() >= 6 && exif.size() <= vellumora::kJpegMaxSegmentPayload, "Exif payload of impossible size");
  Require(std::equal(vellumora::kExifMarker.begin(), vellumora::kExifMarker.end(), exif.begin()), "no Exif marker");
  Require(std::search(data, data + size, exif.begin(), exif.end()) != data + size, "payload not from the file");
  return 0;
}
