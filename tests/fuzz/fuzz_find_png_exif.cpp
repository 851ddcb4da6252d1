// FindPngExif on arbitrary files: either the "PNG 區塊不完整" message or a result that is empty or the
// Exif marker followed by bytes copied from inside the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "convert/formats/exif_orientation.h"
#include "convert/formats/png_container.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vellumora::Bytes exif;
  try {
    exif = vellumora::FindPngExif({data, size});
  } catch (const std::runtime_error& e) {
    vellumora::fuzz::RequireMessage(e, {"PNG 區塊不完整"});
    return 0;
  }
  if (exif.empty()) {
    return 0;
  }
  using vellumora::fuzz::Require;
  Require(exif.size() >= 6 && exif.size() - 6 <= size - 20, "Exif data of impossible size");
  Require(std::equal(vellumora::kExifMarker.begin(), vellumora::kExifMarker.end(), exif.begin()), "no Exif marker");
  Require(std::search(data, data + size, exif.begin() + 6, exif.end()) != data + size, "data not from the file");
  return 0;
}
