#include "convert/conversion.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/text.h"
#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/motion_photo.h"
#include "convert/formats/png_container.h"
#include "convert/formats/xmp_claims.h"
#include "convert/gain_map.h"
#include "convert/heif_decoder.h"
#include "convert/image_encoder.h"
#include "convert/memory_budget.h"
#include "convert/metadata.h"
#include "convert/output_commit.h"
#include "convert/recycle.h"
#include "convert/source_file.h"
#include "convert/stage_timing.h"

namespace vellumora {

namespace {

constexpr char kXmpDamaged[] = "XMP 資料損壞，已保留原檔";
constexpr char kVideoNotKept[] = "動態相片的影片未保留在輸出檔，已保留原檔";

// The outcome's text for a caught failure; never throws, as ConvertFile must not.
std::wstring MessageOf(const std::exception& e) noexcept {
  try {
    return ToUtf16(e.what());
  } catch (...) {
    return L"轉換失敗，已保留原檔";
  }
}

// kOutOfMemory for the outcome. Five UTF-16 units fit the string's own storage, so this needs
// no allocation when memory has run out.
std::wstring OutOfMemoryText() noexcept {
  try {
    return ToUtf16(kOutOfMemory);
  } catch (...) {
    return {};
  }
}

// The memory this picture's conversion reserves in a shared budget, from what libheif read of
// the header: the larger of the upright and the coded size, the deeper of luma and chroma, alpha
// and the output format. Then the turn among the user's runs, once the memory is there.
MemoryReservation WaitForMemoryAndTurn(const OpenedHeif& heif, OutputFormat format, std::size_t sourceBytes,
                                       const SharedConversion& shared) {
  heif_image_handle* const primary = heif.primary.get();
  const auto dimension = [](int upright, int coded) { return static_cast<std::uint32_t>(std::max({upright, coded, 0})); };
  const int bits = std::max(heif_image_handle_get_luma_bits_per_pixel(primary),
                            heif_image_handle_get_chroma_bits_per_pixel(primary));
  MemoryReservation memory = shared.memory.Reserve(ConversionMemoryNeed(
      dimension(heif_image_handle_get_width(primary), heif_image_handle_get_ispe_width(primary)),
      dimension(heif_image_handle_get_height(primary), heif_image_handle_get_ispe_height(primary)),
      static_cast<std::uint32_t>(std::max(bits, 8)), heif_image_handle_has_alpha_channel(primary) != 0,
      format == OutputFormat::Png, sourceBytes));
  if (shared.takeTurn) shared.takeTurn();
  return memory;
}

// What the commit needs of the converted picture. Members are released in reverse order: the
// output bytes, the packed picture (libheif's decoded image, packed in place), then the factory.
struct ConvertedPicture {
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory;  // also serves the verification decode
  PackedImage packed;  // a JPG's pixels are already gone: only its size and pixel format are left
  Bytes output;        // the encoded file with the metadata (and a JPG's gain map and video) spliced in
  ExpectedGainMap gainMap;
  std::uint64_t videoLength = 0;  // the source's MP4 that ends a JPG, after its images
};

// A motion photo's video as the source file holds it: a JPG reads it from there into its end
// once the picture's pixels are gone, so it never sits beside them.
struct VideoInSource {
  const SourceFile* source = nullptr;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // 0: no video to carry
  std::optional<std::int64_t> presentationTimestampUs;
};

// The photograph's packet for an output of these parts. Their claims must fit a JPG's XMP
// segment: when they do not, the video is dropped first, then the gain map (and `parts` says
// so). A packet too large with no claims at all goes on as it is, to the JPG's size check.
Bytes PacketFor(std::span<const std::uint8_t> xmp, OutputParts& parts) {
  for (;;) {
    std::optional<Bytes> packet = XmpForOutput(xmp, parts);
    const bool none = !parts.gainMap && !parts.video;
    if (packet && (none || packet->size() <= kJpegMaxSegmentPayload - kJpegXmpIdentifier.size())) return std::move(*packet);
    if (none) throw std::runtime_error(kXmpDamaged);
    if (parts.video) parts.video.reset();
    else parts.gainMap.reset();
  }
}

// Decodes, packs and encodes the primary picture and builds the output file. A JPG's pixels and
// the encoder's bytes are let go as soon as the next step has what it needs, so the decoded
// pixels exist once and never sit beside the encoded file.
// A motion photo's video follows a JPG's images byte for byte.
ConvertedPicture ConvertPicture(const OpenedHeif& heif, const ExtractedMetadata& metadata, const Settings& options,
                                const VideoInSource& video) {
  const bool isPng = options.format == OutputFormat::Png;
  // A picture without alpha is decoded straight to 3 bytes per pixel: the same pixels as the
  // alpha channel's 255s would give, a quarter less memory at the peak.
  const bool hasAlpha = heif_image_handle_has_alpha_channel(heif.primary.get()) != 0;
  ConvertedPicture picture;
  {
    DecodedPrimary decoded;
    {
      StageTimer timer("decode");
      decoded = DecodeHeif(heif, ChoosePixelLayout(hasAlpha));
    }
    picture.factory = CreateImagingFactory();
    StageTimer timer("pack");
    // Packed in place: the decoded image becomes the packed one, so the pixels exist once.
    picture.packed = PackPixels(std::move(decoded.image), isPng, isPng && hasAlpha);
  }
  Bytes encoded;
  {
    StageTimer timer("encode");
    encoded = EncodeImage(picture.factory.Get(), picture.packed, isPng, options.quality);
  }
  if (isPng) {
    StageTimer timer("embed");
    OutputParts none;  // a PNG holds the picture alone: no claim of a gain map or a video
    picture.output = BuildPngOutput(encoded, metadata.exif, PacketFor(metadata.xmp, none), metadata.icc);
    return picture;
  }
  // A JPG's rows are decoded again but never compared, so its pixels are not needed for the
  // verification; only its dimensions and pixel format are. Its HDR gain map is decoded only
  // now, with the picture's pixels gone, so it never adds to the conversion's peak.
  picture.packed.ReleasePixels();
  std::optional<PreparedGainMap> gainMap;
  {
    StageTimer timer("gain-map");
    gainMap = PrepareGainMap(heif, metadata, picture.packed.width, picture.packed.height, picture.factory.Get(),
                             options.quality);
  }
  StageTimer timer("embed");
  OutputParts parts;
  if (gainMap) parts.gainMap = OutputGainMap{gainMap->image.size()};
  if (video.length != 0) parts.video = OutputVideo{video.length, 0, video.presentationTimestampUs};
  const auto build = [&] {
    const Bytes xmp = PacketFor(metadata.xmp, parts);
    Bytes out = parts.gainMap ? BuildGainMapJpegOutput(encoded, metadata.exif, xmp, metadata.icc, gainMap->image)
                              : BuildJpegOutput(encoded, metadata.exif, xmp, metadata.icc);
    if (parts.video) {
      const std::size_t images = out.size();
      out.resize(images + static_cast<std::size_t>(video.length));
      ReadSourceAt(*video.source, video.offset, std::span(out).subspan(images));
    }
    return out;
  };
  try {
    picture.output = build();
  } catch (const std::bad_alloc&) {
    // A video too large for the memory left stays behind, and so do its claims.
    if (!parts.video) throw;
    parts.video.reset();
    picture.output = build();
  }
  if (parts.gainMap) picture.gainMap = {gainMap->width, gainMap->height};
  if (parts.video) picture.videoLength = video.length;
  return picture;
}

// Everything up to the committed output. The working state lives in locals declared in the
// order it is created, so it is released in reverse order on every path: the picture, the
// metadata, the memory reservation, the libheif handle and context, then the source bytes, then
// the handle on the source. The source is closed before the recycle phase reopens it.
// `videoLeftBehind`: the source has a motion photo's video (or says it has) that the output
// does not hold.
std::wstring ConvertAndCommit(const ConversionRequest& request, SourceSnapshot& snapshot,
                              const SharedConversion* shared, bool& videoLeftBehind) {
  const Settings& options = request.options;
  if (options.format != OutputFormat::Jpg && options.format != OutputFormat::Png)
    throw std::runtime_error("不支援的輸出格式");
  if (options.destination != Destination::BesideSource && options.folder.empty())
    throw std::runtime_error("請先指定輸出資料夾；原始檔案保持不變");

  SourceFile source;
  SourceVideo found;
  {
    StageTimer timer("read");
    source = ReadSource(request.source);
    // A motion photo's video stays in the file while the picture is decoded: when its box ends
    // the file (as cameras write it), the bytes kept for libheif stop before it.
    found = FindSourceVideo(source.bytes);
  }
  snapshot = source.snapshot;
  VideoInSource video;
  if (found.state == SourceVideo::State::kFound) {
    video = {&source, static_cast<std::uint64_t>(found.mp4.data() - source.bytes.data()), found.mp4.size(), {}};
    if (found.box.data() + found.box.size() == source.bytes.data() + source.bytes.size()) {
      source.bytes.resize(static_cast<std::size_t>(found.box.data() - source.bytes.data()));
      source.bytes.shrink_to_fit();
    }
  }
  OpenedHeif heif;
  {
    StageTimer timer("open");
    heif = OpenHeif(source.bytes);
  }
  SetDecodeThreads(heif, shared ? shared->decodeThreads : std::thread::hardware_concurrency());
  // A JPG holds the video twice at its end (the output and its read-back).
  const std::uint64_t videoBytes = options.format == OutputFormat::Jpg ? 2 * video.length : 0;
  // Declared before every pixel buffer, so that it is given back only after all of them are gone.
  MemoryReservation memory;
  if (shared) memory = WaitForMemoryAndTurn(heif, options.format, source.bytes.size() + videoBytes, *shared);
  ExtractedMetadata metadata;
  XmpClaims claims;
  {
    StageTimer timer("metadata");
    metadata = ExtractMetadata(heif.primary.get());
    // A packet that cannot be rid of its claims is refused before anything is decoded.
    claims = ReadXmpClaims(metadata.xmp);
    if (!XmpForOutput(metadata.xmp, {})) throw std::runtime_error(kXmpDamaged);
  }
  video.presentationTimestampUs = claims.presentationTimestampUs;
  ConvertedPicture picture = ConvertPicture(heif, metadata, options, video);
  const bool videoKept = picture.videoLength != 0;
  std::wstring final = CommitOutput(request, std::move(picture.output), picture.packed, picture.factory.Get(),
                                    metadata.exif, snapshot, picture.gainMap, picture.videoLength);
  // The output exists: from here on the call counts as a success.
  source.handle.reset();
  videoLeftBehind = !videoKept && (found.state != SourceVideo::State::kNone || claims.motionPhoto == 1 || claims.microVideo);
  return final;
}

ConversionOutcome ConvertWithin(const ConversionRequest& request, RecycleBin& bin, const SharedConversion* shared) {
  ConversionOutcome outcome;
  SourceSnapshot snapshot{};
  bool videoLeftBehind = false;
  try {
    outcome.output = ConvertAndCommit(request, snapshot, shared, videoLeftBehind);
  } catch (const std::bad_alloc&) {
    // Not the picture's buffers (the decode says so itself): the source, the metadata, the
    // output file's bytes. Never the runtime's English text.
    outcome = {};
    outcome.error = OutOfMemoryText();
    return outcome;
  } catch (const std::exception& e) {
    outcome = {};
    outcome.error = MessageOf(e);
    return outcome;
  } catch (...) {
    outcome = {};
    outcome.error = L"轉換失敗，已保留原檔";
    return outcome;
  }

  if (!request.options.recycle) return outcome;
  // The recycle phase: best effort on top of a finished conversion. Failures become the
  // warning; the output stays and the call still succeeds.
  try {
    StageTimer timer("recycle");
    // The video would go to the bin with the source, and the user's library would lose it.
    if (videoLeftBehind) throw std::runtime_error(kVideoNotKept);
    ConfirmSourceUnchanged(request.source, snapshot);
    RecycleSource(request.source, snapshot, outcome, bin);
  } catch (const std::bad_alloc&) {
    outcome.recycled = false;
    outcome.warning = OutOfMemoryText();
  } catch (const std::exception& e) {
    outcome.recycled = false;
    outcome.warning = MessageOf(e);
  } catch (...) {
    outcome.recycled = false;
    outcome.warning = L"轉換失敗，已保留原檔";
  }
  return outcome;
}

}  // namespace

ConversionOutcome ConvertFile(const ConversionRequest& request) {
  ShellRecycleBin bin;
  return ConvertFile(request, bin);
}

ConversionOutcome ConvertFile(const ConversionRequest& request, RecycleBin& bin) {
  return ConvertWithin(request, bin, nullptr);
}

ConversionOutcome ConvertFile(const ConversionRequest& request, RecycleBin& bin, const SharedConversion& shared) {
  return ConvertWithin(request, bin, &shared);
}

}  // namespace vellumora
