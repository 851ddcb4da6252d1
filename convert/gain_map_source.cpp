#include "convert/gain_map_source.h"

#include <libheif/heif_properties.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace vellumora {
namespace {

// The first auxiliary image of the primary whose type is Apple's gain map.
HeifHandlePtr FindAppleGainMap(heif_image_handle* primary) {
  constexpr int kFilter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
  const int count = heif_image_handle_get_number_of_auxiliary_images(primary, kFilter);
  if (count <= 0 || count > 64) return {};
  std::vector<heif_item_id> ids(static_cast<std::size_t>(count), 0);
  const int listed = heif_image_handle_get_list_of_auxiliary_image_IDs(primary, kFilter, ids.data(), count);
  for (int i = 0; i < listed && i < count; ++i) {
    heif_image_handle* found = nullptr;
    if (heif_image_handle_get_auxiliary_image_handle(primary, ids[static_cast<std::size_t>(i)], &found).code != heif_error_Ok)
      continue;
    HeifHandlePtr handle(found);
    const char* type = nullptr;
    if (heif_image_handle_get_auxiliary_type(handle.get(), &type).code != heif_error_Ok || type == nullptr) continue;
    const bool apple = std::strcmp(type, kAppleGainMapType) == 0;
#if LIBHEIF_HAVE_VERSION(1, 20, 0)
    heif_image_handle_release_auxiliary_type(handle.get(), &type);
#else
    heif_image_handle_free_auxiliary_types(handle.get(), &type);
#endif
    if (apple) return handle;
  }
  return {};
}

// The turn and mirror that an item's transformations (its rotations and mirrors, in their order)
// give the coded picture, as a 2 × 2 matrix on its axes. Cropping turns nothing and is left out.
// Nothing when libheif cannot say.
using Orientation = std::array<int, 4>;
std::optional<Orientation> OrientationOf(const heif_context* context, heif_item_id item) {
  const auto times = [](const Orientation& a, const Orientation& b) {
    return Orientation{a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
                       a[2] * b[1] + a[3] * b[3]};
  };
  Orientation orientation{1, 0, 0, 1};
  const int count = heif_item_get_transformation_properties(context, item, nullptr, 0);
  if (count < 0 || count > 64) return std::nullopt;
  std::vector<heif_property_id> properties(static_cast<std::size_t>(count), 0);
  if (count > 0 && heif_item_get_transformation_properties(context, item, properties.data(), count) != count)
    return std::nullopt;
  for (const heif_property_id property : properties) {
    switch (heif_item_get_property_type(context, item, property)) {
      case heif_item_property_type_transform_rotation: {
        const int angle = heif_item_get_property_transform_rotation_ccw(context, item, property);
        if (angle < 0 || angle % 90 != 0) return std::nullopt;
        for (int quarter = 0; quarter < angle / 90 % 4; ++quarter) orientation = times({0, -1, 1, 0}, orientation);
        break;
      }
      case heif_item_property_type_transform_mirror: {
        const auto direction = heif_item_get_property_transform_mirror(context, item, property);
        if (direction == heif_transform_mirror_direction_horizontal)
          orientation = times({-1, 0, 0, 1}, orientation);
        else if (direction == heif_transform_mirror_direction_vertical)
          orientation = times({1, 0, 0, -1}, orientation);
        else
          return std::nullopt;
        break;
      }
      default:
        break;
    }
  }
  return orientation;
}

// The headroom from the gain map's own XMP, else from the photograph's MakerNote.
std::optional<GainMapHeadroom> HeadroomOf(heif_image_handle* gainMap, const ExtractedMetadata& metadata) {
  constexpr std::size_t kMaxGainMapXmp = 1 << 20;
  const int count = heif_image_handle_get_number_of_metadata_blocks(gainMap, "mime");
  if (count > 0 && count <= 16) {
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count), 0);
    const int listed = heif_image_handle_get_list_of_metadata_block_IDs(gainMap, "mime", ids.data(), count);
    for (int i = 0; i < listed && i < count; ++i) {
      const heif_item_id id = ids[static_cast<std::size_t>(i)];
      const char* contentType = heif_image_handle_get_metadata_content_type(gainMap, id);
      const std::size_t size = heif_image_handle_get_metadata_size(gainMap, id);
      if (contentType == nullptr || std::string_view(contentType) != "application/rdf+xml" || size == 0 || size > kMaxGainMapXmp)
        continue;
      Bytes xmp(size, 0);
      if (heif_image_handle_get_metadata(gainMap, id, xmp.data()).code != heif_error_Ok) continue;
      if (const auto ratio = HeadroomFromGainMapXmp(xmp)) return UsableHeadroom(*ratio);
    }
  }
  if (const auto ratio = HeadroomFromAppleMakerNote(metadata.exif)) return UsableHeadroom(*ratio);
  return std::nullopt;
}

// The gain map upright, as 8-bit grey rows without gaps, each value through the remap table.
std::optional<Bytes> DecodeRemapped(heif_image_handle* gainMap, const GainMapHeadroom& headroom, std::uint32_t width,
                                    std::uint32_t height) {
  HeifOptionsPtr options(heif_decoding_options_alloc());
  if (!options) return std::nullopt;
  options->convert_hdr_to_8bit = 1;
  heif_image* decoded = nullptr;
  const heif_error error = heif_decode_image(gainMap, &decoded, heif_colorspace_monochrome, heif_chroma_monochrome, options.get());
  HeifImagePtr image(decoded);
  if (error.code != heif_error_Ok || !image) return std::nullopt;
  if (heif_image_get_width(decoded, heif_channel_Y) != static_cast<int>(width) ||
      heif_image_get_height(decoded, heif_channel_Y) != static_cast<int>(height) ||
      heif_image_get_bits_per_pixel_range(decoded, heif_channel_Y) != 8)
    return std::nullopt;
#if LIBHEIF_HAVE_VERSION(1, 20, 0)
  std::size_t stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly2(decoded, heif_channel_Y, &stride);
#else
  int stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly(decoded, heif_channel_Y, &stride);
#endif
  if (plane == nullptr || static_cast<std::size_t>(stride) < width) return std::nullopt;
  const auto table = GainMapRemapTable(headroom);
  Bytes rows(static_cast<std::size_t>(width) * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* in = plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
    std::uint8_t* out = rows.data() + static_cast<std::size_t>(y) * width;
    for (std::uint32_t x = 0; x < width; ++x) out[x] = table[in[x]];
  }
  return rows;
}

}  // namespace

std::optional<GainMapPixels> ReadGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                         std::uint32_t width, std::uint32_t height) {
  const HeifHandlePtr gainMap = FindAppleGainMap(heif.primary.get());
  if (!gainMap || XmpHasGainMapProperties(metadata.xmp)) return std::nullopt;
  const auto headroom = HeadroomOf(gainMap.get(), metadata);
  if (!headroom) return std::nullopt;

  // Both are decoded upright with their own transformations; the gain map lies over the picture
  // only when those turn and mirror the two alike (a half turn or a mirror of the picture alone
  // keeps the shape but not the place of the highlights).
  const auto pictureOrientation = OrientationOf(heif.context.get(), heif_image_handle_get_item_id(heif.primary.get()));
  if (!pictureOrientation ||
      pictureOrientation != OrientationOf(heif.context.get(), heif_image_handle_get_item_id(gainMap.get())))
    return std::nullopt;

  // The gain map covers the whole picture at a coarser grid: no larger, and the same shape
  // to within one of its own pixels.
  const int gw = heif_image_handle_get_width(gainMap.get()), gh = heif_image_handle_get_height(gainMap.get());
  if (gw <= 0 || gh <= 0 || static_cast<std::uint32_t>(gw) > width || static_cast<std::uint32_t>(gh) > height) return std::nullopt;
  const std::int64_t skew = std::int64_t{gw} * height - std::int64_t{gh} * width;
  if ((skew < 0 ? -skew : skew) > std::int64_t{std::max(width, height)}) return std::nullopt;

  GainMapPixels pixels;
  pixels.width = static_cast<std::uint32_t>(gw);
  pixels.height = static_cast<std::uint32_t>(gh);
  pixels.headroom = *headroom;
  auto rows = DecodeRemapped(gainMap.get(), *headroom, pixels.width, pixels.height);
  if (!rows) return std::nullopt;
  pixels.rows = std::move(*rows);
  return pixels;
}

}  // namespace vellumora
