#include "convert/metadata.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "convert/formats/exif_item.h"
#include "convert/formats/exif_orientation.h"
#include "convert/formats/xmp_orientation.h"
#include "convert/heif_decoder.h"

namespace vellumora {

namespace {
bool IsExifBlock(const char* type) { return type != nullptr && std::strcmp(type, "Exif") == 0; }
bool IsXmpBlock(const char* contentType) {
  return contentType != nullptr && std::strcmp(contentType, "application/rdf+xml") == 0;
}
// Whether a profile describes RGB data: its header's colour-space field (bytes 16 to 19) says
// "RGB ". The output's pixels are always RGB, and a profile of another colour space (a grey
// one of a monochrome photograph, CMYK, Lab) would make the written file invalid.
bool IsRgbProfile(const Bytes& profile) {
  return profile.size() >= 20 && std::memcmp(profile.data() + 16, "RGB ", 4) == 0;
}
}  // namespace

ExtractedMetadata ExtractMetadata(const heif_image_handle* primary) {
  ExtractedMetadata metadata;

  // A negative count reads as a huge unsigned one and is refused with the rest.
  const int count = heif_image_handle_get_number_of_metadata_blocks(primary, nullptr);
  if (static_cast<std::uint32_t>(count) > kMaxMetadataBlocks) throw std::runtime_error("中繼資料數量不正確");

  std::vector<heif_item_id> ids(static_cast<std::size_t>(count), 0);
  const int listed = heif_image_handle_get_list_of_metadata_block_IDs(primary, nullptr, ids.data(), count);
  if (listed >= 0 && listed < count) ids.resize(static_cast<std::size_t>(listed));

  for (const heif_item_id id : ids) {
    // Both strings are fetched before either is used: libheif only promises them until its next call.
    const bool exif = IsExifBlock(heif_image_handle_get_metadata_type(primary, id));
    const bool xmp = IsXmpBlock(heif_image_handle_get_metadata_content_type(primary, id));
    if (!exif && !xmp) continue;  // other kinds are never read, whatever their size

    // Every candidate's size is checked, also one that is read only to be discarded.
    const std::size_t size = heif_image_handle_get_metadata_size(primary, id);
    if (size > kMaxMetadataBlockSize) throw std::runtime_error("中繼資料過大");
    Bytes block(size, 0);
    std::uint8_t none = 0;  // libheif copies into the pointer even for an empty block
    CheckHeif(heif_image_handle_get_metadata(primary, id, block.empty() ? &none : block.data()));

    if (exif && metadata.exif.empty()) {
      metadata.exif = NormalizeExifOrientation(ExifItemWithinSegment(block));
    } else if (xmp && metadata.xmp.empty()) {
      metadata.xmp = std::move(block);
    }
  }

  const std::size_t profileSize = heif_image_handle_get_raw_color_profile_size(primary);
  if (profileSize > kMaxColorProfileSize) throw std::runtime_error("ICC 色彩描述檔過大");
  if (profileSize != 0) {
    metadata.icc.assign(profileSize, 0);
    CheckHeif(heif_image_handle_get_raw_color_profile(primary, metadata.icc.data()));
    // Refused like any metadata that cannot be carried over faithfully: dropping the profile
    // would change the photograph's colours, carrying it would break the file.
    if (!IsRgbProfile(metadata.icc)) throw std::runtime_error("ICC 色彩描述檔不是 RGB 格式，已保留原檔");
  }

  if (!metadata.xmp.empty()) metadata.xmp = StripXmpOrientation(metadata.xmp);
  return metadata;
}

}  // namespace vellumora

