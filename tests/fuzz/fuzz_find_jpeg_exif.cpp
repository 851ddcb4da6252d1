// FindJpegExif on arbitrary files: either the "JPG 區塊不完整" message or a result that is empty or an
// Exif payload copied from inside the file. FindGainMapImage either names bytes at the file's end or
// fails with its message. A motion photo's check either gives the images before the video or fails
// with its message, and the end of image it looks for lies inside the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "convert/formats/exif_orientation.h"
#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/motion_photo.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const auto image = vellumora::FindGainMapImage({data, size});
    vellumora::fuzz::Require(image.data() >= data && image.data() + image.size() == data + size, "image outside");
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"輸出增益圖驗證失敗"});
  }
  vellumora::fuzz::Require(vellumora::JpegImageEnd({data, size}) <= size, "end of image past the file");
  try {
    const std::size_t video = std::min<std::size_t>(size, 64);
    const auto images = vellumora::CheckMotionPhotoJpeg({data, size}, {data + size - video, video}, size % 2 == 0);
    vellumora::fuzz::Require(images.data() == data && images.size() + video <= size, "images outside");
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"輸出動態相片驗證失敗"});
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
