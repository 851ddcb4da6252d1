#include "convert/gain_map_source.h"

#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/formats/gain_map_metadata.h"

namespace vellumora {
namespace {

// What a file may declare before this step stops looking rather than read on. The tone-map
// metadata is at most 6 + 16 + 3 × 40 bytes; later writer versions may add a little.
constexpr int kMaxItems = 1 << 16;
constexpr int kMaxReferenceBoxes = 64;
constexpr int kMaxAuxiliaryImages = 64;
constexpr int kMaxProperties = 64;
constexpr std::size_t kMaxToneMapData = 4096;
constexpr std::size_t kMaxGainMapXmp = 1 << 20;

// Where a gain map comes from and what is still to be done with it after libheif has decoded it
// with its own transformations.
struct Candidate {
  HeifHandlePtr image;
  GainMapMetadata metadata;
  std::vector<PixelTurn> turns;              // applied after the decode
  std::optional<GainMapHeadroom> appleRule;  // Apple's gain map: remapped with this headroom
};

// The rotations and mirrors of an item, in their order. Nothing when libheif cannot say, or
// when the item crops and `cropAllowed` is false.
std::optional<std::vector<PixelTurn>> TurnsOf(const heif_context* context, heif_item_id item, bool cropAllowed) {
  const int count = heif_item_get_transformation_properties(context, item, nullptr, 0);
  if (count < 0 || count > kMaxProperties) return std::nullopt;
  std::vector<heif_property_id> properties(static_cast<std::size_t>(count), 0);
  if (count > 0 && heif_item_get_transformation_properties(context, item, properties.data(), count) != count)
    return std::nullopt;
  std::vector<PixelTurn> turns;
  for (const heif_property_id property : properties) {
    switch (heif_item_get_property_type(context, item, property)) {
      case heif_item_property_type_transform_rotation: {
        const int angle = heif_item_get_property_transform_rotation_ccw(context, item, property);
        if (angle < 0 || angle % 90 != 0) return std::nullopt;
        if (angle % 360 != 0) turns.push_back({PixelTurn::Kind::RotateAnticlockwise, angle / 90 % 4});
        break;
      }
      case heif_item_property_type_transform_mirror: {
        const auto direction = heif_item_get_property_transform_mirror(context, item, property);
        if (direction == heif_transform_mirror_direction_vertical)
          turns.push_back({PixelTurn::Kind::MirrorTopBottom, 0});
        else if (direction == heif_transform_mirror_direction_horizontal)
          turns.push_back({PixelTurn::Kind::MirrorLeftRight, 0});
        else
          return std::nullopt;
        break;
      }
      case heif_item_property_type_transform_crop:
        if (!cropAllowed) return std::nullopt;
        break;
      default:
        break;
    }
  }
  return turns;
}

// Two lists of turns that place a picture alike: compared by what they do to one whose six
// pixels all differ.
bool TurnAlike(std::span<const PixelTurn> a, std::span<const PixelTurn> b) {
  const PixelRows probe{{0, 1, 2, 3, 4, 5}, 3, 2, 1};
  const PixelRows x = ApplyTurns(probe, a), y = ApplyTurns(probe, b);
  return x.pixels == y.pixels && x.width == y.width;
}

// What an auxiliary gain map still needs after its own transformations to lie over the upright
// picture: nothing when it turns as the picture does; the picture's turns when it has none of
// its own (it was coded in the picture's frame, as Samsung stores it beside a turned grid).
std::optional<std::vector<PixelTurn>> AuxiliaryTurns(const OpenedHeif& heif, heif_image_handle* gainMap) {
  const heif_context* context = heif.context.get();
  const auto picture = TurnsOf(context, heif_image_handle_get_item_id(heif.primary.get()), true);
  const auto own = TurnsOf(context, heif_image_handle_get_item_id(gainMap), true);
  if (!picture || !own) return std::nullopt;
  if (TurnAlike(*own, {})) return picture;
  if (TurnAlike(*own, *picture)) return std::vector<PixelTurn>{};
  return std::nullopt;
}

// The first auxiliary image of the primary whose type is `auxType`.
HeifHandlePtr FindAuxiliary(heif_image_handle* primary, std::string_view auxType) {
  constexpr int kFilter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
  const int count = heif_image_handle_get_number_of_auxiliary_images(primary, kFilter);
  if (count <= 0 || count > kMaxAuxiliaryImages) return {};
  std::vector<heif_item_id> ids(static_cast<std::size_t>(count), 0);
  const int listed = heif_image_handle_get_list_of_auxiliary_image_IDs(primary, kFilter, ids.data(), count);
  for (int i = 0; i < listed && i < count; ++i) {
    heif_image_handle* found = nullptr;
    if (heif_image_handle_get_auxiliary_image_handle(primary, ids[static_cast<std::size_t>(i)], &found).code != heif_error_Ok)
      continue;
    HeifHandlePtr handle(found);
    const char* type = nullptr;
    if (heif_image_handle_get_auxiliary_type(handle.get(), &type).code != heif_error_Ok || type == nullptr) continue;
    const bool match = auxType == type;
#if LIBHEIF_HAVE_VERSION(1, 20, 0)
    heif_image_handle_release_auxiliary_type(handle.get(), &type);
#else
    heif_image_handle_free_auxiliary_types(handle.get(), &type);
#endif
    if (match) return handle;
  }
  return {};
}

// Calls `use` with each XMP packet that libheif attaches to the image, until it returns true.
template <typename Use>
void ForEachXmp(heif_image_handle* image, Use use) {
  const int count = heif_image_handle_get_number_of_metadata_blocks(image, "mime");
  if (count <= 0 || count > 16) return;
  std::vector<heif_item_id> ids(static_cast<std::size_t>(count), 0);
  const int listed = heif_image_handle_get_list_of_metadata_block_IDs(image, "mime", ids.data(), count);
  for (int i = 0; i < listed && i < count; ++i) {
    const heif_item_id id = ids[static_cast<std::size_t>(i)];
    const char* contentType = heif_image_handle_get_metadata_content_type(image, id);
    const std::size_t size = heif_image_handle_get_metadata_size(image, id);
    if (contentType == nullptr || std::string_view(contentType) != "application/rdf+xml" || size == 0 || size > kMaxGainMapXmp)
      continue;
    Bytes xmp(size, 0);
    if (heif_image_handle_get_metadata(image, id, xmp.data()).code != heif_error_Ok) continue;
    if (use(std::span<const std::uint8_t>(xmp))) return;
  }
}

// The `tmap` item whose inputs are the primary and a gain map, with its metadata.
std::optional<Candidate> ToneMapCandidate(const OpenedHeif& heif) {
  const heif_context* context = heif.context.get();
  const heif_item_id primary = heif_image_handle_get_item_id(heif.primary.get());
  const int count = heif_context_get_number_of_items(context);
  if (count <= 0 || count > kMaxItems) return std::nullopt;
  std::vector<heif_item_id> items(static_cast<std::size_t>(count), 0);
  const int listed = std::min(count, heif_context_get_list_of_item_IDs(context, items.data(), count));
  for (int i = 0; i < listed; ++i) {
    const heif_item_id item = items[static_cast<std::size_t>(i)];
    if (heif_item_get_item_type(context, item) != heif_fourcc('t', 'm', 'a', 'p')) continue;
    // Its inputs: the first 'dimg' reference, the base and then the gain map.
    std::optional<heif_item_id> gainMap;
    for (int index = 0; index < kMaxReferenceBoxes; ++index) {
      std::uint32_t type = 0;
      heif_item_id* to = nullptr;
      const std::size_t n = heif_context_get_item_references(context, item, index, &type, &to);
      if (n == 0 && to == nullptr) break;
      const bool inputs = type == heif_fourcc('d', 'i', 'm', 'g');
      if (inputs && n == 2 && to[0] == primary) gainMap = to[1];
      heif_release_item_references(context, &to);
      if (inputs) break;
    }
    if (!gainMap || *gainMap == primary) continue;

    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    const heif_error read = heif_item_get_item_data(context, item, nullptr, &data, &size);
    std::optional<GainMapMetadata> metadata;
    if (read.code == heif_error_Ok && data != nullptr && size <= kMaxToneMapData) metadata = ParseToneMapItem({data, size});
    heif_release_item_data(context, &data);
    if (!metadata) continue;

    // The tone-mapped picture is turned by the item's own rotations and mirrors (a crop of it
    // has no place in a gain-map JPEG); the gain map enters as libheif decodes it.
    auto turns = TurnsOf(context, item, false);
    heif_image_handle* found = nullptr;
    if (!turns || heif_context_get_image_handle(heif.context.get(), *gainMap, &found).code != heif_error_Ok) {
      heif_image_handle_release(found);
      continue;
    }
    return Candidate{HeifHandlePtr(found), std::move(*metadata), std::move(*turns), std::nullopt};
  }
  return std::nullopt;
}

// Samsung's auxiliary gain map with the metadata of its own hdrgm XMP.
std::optional<Candidate> SamsungCandidate(const OpenedHeif& heif) {
  HeifHandlePtr image = FindAuxiliary(heif.primary.get(), kSamsungGainMapType);
  if (!image) return std::nullopt;
  std::optional<GainMapMetadata> metadata;
  ForEachXmp(image.get(), [&](std::span<const std::uint8_t> xmp) { return (metadata = GainMapMetadataFromXmp(xmp)).has_value(); });
  auto turns = metadata ? AuxiliaryTurns(heif, image.get()) : std::nullopt;
  if (!turns) return std::nullopt;
  return Candidate{std::move(image), std::move(*metadata), std::move(*turns), std::nullopt};
}

// Apple's auxiliary gain map with the headroom of its own XMP, else of the photograph's MakerNote.
std::optional<Candidate> AppleCandidate(const OpenedHeif& heif, const ExtractedMetadata& metadata) {
  HeifHandlePtr image = FindAuxiliary(heif.primary.get(), kAppleGainMapType);
  if (!image) return std::nullopt;
  std::optional<GainMapHeadroom> headroom;
  ForEachXmp(image.get(), [&](std::span<const std::uint8_t> xmp) {
    if (const auto ratio = HeadroomFromGainMapXmp(xmp)) headroom = UsableHeadroom(*ratio);
    return headroom.has_value();
  });
  if (!headroom)
    if (const auto ratio = HeadroomFromAppleMakerNote(metadata.exif)) headroom = UsableHeadroom(*ratio);
  auto turns = headroom ? AuxiliaryTurns(heif, image.get()) : std::nullopt;
  if (!turns) return std::nullopt;
  return Candidate{std::move(image), AppleGainMapMetadata(headroom->log2Millionths), std::move(*turns), headroom};
}

// The size a candidate has upright: libheif's (after its own transformations), then its turns.
std::pair<std::int64_t, std::int64_t> UprightSize(const Candidate& candidate) {
  std::int64_t w = heif_image_handle_get_width(candidate.image.get()), h = heif_image_handle_get_height(candidate.image.get());
  for (const PixelTurn& turn : candidate.turns)
    if (turn.kind == PixelTurn::Kind::RotateAnticlockwise && turn.quarterTurns % 2 == 1) std::swap(w, h);
  return {w, h};
}

// The gain map covers the whole picture at a coarser grid: no larger, and the same shape to
// within one of its own pixels.
bool Fits(std::int64_t gw, std::int64_t gh, std::uint32_t width, std::uint32_t height) {
  if (gw <= 0 || gh <= 0 || gw > width || gh > height) return false;
  const std::int64_t skew = gw * height - gh * std::int64_t{width};
  return (skew < 0 ? -skew : skew) <= std::int64_t{std::max(width, height)};
}

// The gain map decoded by libheif (its own transformations applied) to 8 bits: grey when every
// pixel is, else B, G, R.
std::optional<PixelRows> Decode(heif_image_handle* image) {
  HeifOptionsPtr options(heif_decoding_options_alloc());
  if (!options) return std::nullopt;
  options->convert_hdr_to_8bit = 1;
  heif_image* decoded = nullptr;
  const heif_error error = heif_decode_image(image, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, options.get());
  HeifImagePtr owner(decoded);
  if (error.code != heif_error_Ok || !owner) return std::nullopt;
  const int w = heif_image_get_width(decoded, heif_channel_interleaved), h = heif_image_get_height(decoded, heif_channel_interleaved);
  if (w <= 0 || h <= 0 || heif_image_get_bits_per_pixel_range(decoded, heif_channel_interleaved) != 8) return std::nullopt;
  std::size_t stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly2(decoded, heif_channel_interleaved, &stride);
  const std::size_t width = static_cast<std::size_t>(w), height = static_cast<std::size_t>(h);
  if (plane == nullptr || stride < 3 * width) return std::nullopt;

  bool grey = true;
  for (std::size_t y = 0; y < height && grey; ++y) {
    const std::uint8_t* row = plane + y * stride;
    for (std::size_t x = 0; x < width && grey; ++x) grey = row[3 * x] == row[3 * x + 1] && row[3 * x] == row[3 * x + 2];
  }
  PixelRows rows{Bytes(width * height * (grey ? 1 : 3)), static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), grey ? 1u : 3u};
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* in = plane + y * stride;
    std::uint8_t* out = rows.pixels.data() + y * width * rows.channels;
    for (std::size_t x = 0; x < width; ++x) {
      if (grey) {
        out[x] = in[3 * x];
      } else {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
      }
    }
  }
  return rows;
}

std::optional<GainMapPixels> Take(Candidate candidate, std::uint32_t width, std::uint32_t height) {
  const auto [gw, gh] = UprightSize(candidate);
  if (!Fits(gw, gh, width, height)) return std::nullopt;
  auto rows = Decode(candidate.image.get());
  if (!rows) return std::nullopt;
  candidate.image.reset();
  PixelRows upright = ApplyTurns(std::move(*rows), candidate.turns);
  if (upright.width != gw || upright.height != gh) return std::nullopt;  // libheif decoded another size
  if (candidate.appleRule) {
    // Apple's rule knows one channel only.
    if (upright.channels != 1) return std::nullopt;
    const auto table = GainMapRemapTable(*candidate.appleRule);
    for (std::uint8_t& v : upright.pixels) v = table[v];
  }
  return GainMapPixels{std::move(upright), std::move(candidate.metadata)};
}

}  // namespace

std::optional<GainMapPixels> ReadGainMap(const OpenedHeif& heif, const ExtractedMetadata& metadata,
                                         std::uint32_t width, std::uint32_t height) {
  if (auto candidate = ToneMapCandidate(heif))
    if (auto pixels = Take(std::move(*candidate), width, height)) return pixels;
  if (auto candidate = SamsungCandidate(heif))
    if (auto pixels = Take(std::move(*candidate), width, height)) return pixels;
  if (auto candidate = AppleCandidate(heif, metadata)) return Take(std::move(*candidate), width, height);
  return std::nullopt;
}

}  // namespace vellumora
