#include "convert/conversion.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "common/text.h"
#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/jpeg_container.h"
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

// The photograph's packet without the claims of parts (a gain map, a video) the output does not
// hold; the packet as it is when it cannot be rewritten.
Bytes PacketWithoutParts(const Bytes& xmp) {
  auto rewritten = XmpForOutput(xmp, {});
  return rewritten ? std::move(*rewritten) : xmp;
}

// What the commit needs of the converted picture. Members are released in reverse order: the
// output bytes, the packed picture (libheif's decoded image, packed in place), then the factory.
struct ConvertedPicture {
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory;  // also serves the verification decode
  PackedImage packed;  // a JPG's pixels are already gone: only its size and pixel format are left
  Bytes output;        // the encoded file with the metadata (and a JPG's gain map) spliced in
  ExpectedGainMap gainMap;
};

// Decodes, packs and encodes the primary picture and builds the output file. A JPG's pixels and
// the encoder's bytes are let go as soon as the next step has what it needs, so the decoded
// pixels exist once and never sit beside the encoded file.
ConvertedPicture ConvertPicture(const OpenedHeif& heif, const ExtractedMetadata& metadata, const Settings& options) {
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
    picture.output = BuildPngOutput(encoded, metadata.exif, PacketWithoutParts(metadata.xmp), metadata.icc);
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
  // The primary's packet claims exactly the parts written after it: the photograph's own claims
  // (Samsung's packet names a gain map of its own) go, ours come in. A gain map whose claims
  // cannot be written, or do not fit the packet's segment, is left out.
  std::optional<Bytes> xmp;
  if (gainMap) xmp = XmpForOutput(metadata.xmp, OutputParts{OutputGainMap{gainMap->image.size()}, std::nullopt});
  if (!xmp || xmp->size() > kJpegMaxSegmentPayload - kJpegXmpIdentifier.size()) {
    picture.output = BuildJpegOutput(encoded, metadata.exif, PacketWithoutParts(metadata.xmp), metadata.icc);
    return picture;
  }
  picture.output = BuildGainMapJpegOutput(encoded, metadata.exif, *xmp, metadata.icc, gainMap->image);
  picture.gainMap = {gainMap->width, gainMap->height};
  return picture;
}

// Everything up to the committed output. The working state lives in locals declared in the
// order it is created, so it is released in reverse order on every path: the picture, the
// metadata, the memory reservation, the libheif handle and context, then the source bytes, then
// the handle on the source. The source is closed before the recycle phase reopens it.
std::wstring ConvertAndCommit(const ConversionRequest& request, SourceSnapshot& snapshot,
                              const SharedConversion* shared) {
  const Settings& options = request.options;
  if (options.format != OutputFormat::Jpg && options.format != OutputFormat::Png)
    throw std::runtime_error("不支援的輸出格式");
  if (options.destination != Destination::BesideSource && options.folder.empty())
    throw std::runtime_error("請先指定輸出資料夾；原始檔案保持不變");

  SourceFile source;
  {
    StageTimer timer("read");
    source = ReadSource(request.source);
  }
  snapshot = source.snapshot;
  OpenedHeif heif;
  {
    StageTimer timer("open");
    heif = OpenHeif(source.bytes);
  }
  // Declared before every pixel buffer, so that it is given back only after all of them are gone.
  MemoryReservation memory;
  if (shared) memory = WaitForMemoryAndTurn(heif, options.format, source.bytes.size(), *shared);
  ExtractedMetadata metadata;
  {
    StageTimer timer("metadata");
    metadata = ExtractMetadata(heif.primary.get());
  }
  ConvertedPicture picture = ConvertPicture(heif, metadata, options);
  std::wstring final = CommitOutput(request, std::move(picture.output), picture.packed, picture.factory.Get(),
                                    metadata.exif, snapshot, picture.gainMap);
  // The output exists: from here on the call counts as a success.
  source.handle.reset();
  return final;
}

ConversionOutcome ConvertWithin(const ConversionRequest& request, RecycleBin& bin, const SharedConversion* shared) {
  ConversionOutcome outcome;
  SourceSnapshot snapshot{};
  try {
    outcome.output = ConvertAndCommit(request, snapshot, shared);
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
