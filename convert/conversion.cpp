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

// Steps 1 to 11: everything up to the committed output. The working state lives in locals
// declared in the order it is created, so it is released in reverse order on every path:
// the packed image (libheif's decoded image, packed in place), options, handle and context,
// then the source bytes, then the handle on the source. A JPG's pixels and the encoder's bytes
// are let go as soon as the next step has what it needs, so the decoded pixels exist once and
// never sit beside the encoded file. The source is closed before the recycle phase reopens it.
std::wstring ConvertAndCommit(const ConversionRequest& request, SourceSnapshot& snapshot, MemoryBudget* budget) {
  const Settings& options = request.options;
  if (options.format != L"JPG" && options.format != L"PNG") throw std::runtime_error("不支援的輸出格式");
  if (options.destination != 0 && options.folder.empty())
    throw std::runtime_error("請先指定輸出資料夾；原始檔案保持不變");
  const bool isPng = options.format == L"PNG";

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
  if (budget) {
    heif_image_handle* const primary = heif.primary.get();
    const auto dimension = [](int upright, int coded) { return static_cast<std::uint32_t>(std::max({upright, coded, 0})); };
    const int bits = std::max(heif_image_handle_get_luma_bits_per_pixel(primary),
                              heif_image_handle_get_chroma_bits_per_pixel(primary));
    memory = budget->Reserve(ConversionMemoryNeed(
        dimension(heif_image_handle_get_width(primary), heif_image_handle_get_ispe_width(primary)),
        dimension(heif_image_handle_get_height(primary), heif_image_handle_get_ispe_height(primary)),
        static_cast<std::uint32_t>(std::max(bits, 8)), heif_image_handle_has_alpha_channel(primary) != 0, isPng,
        source.bytes.size()));
  }
  ExtractedMetadata metadata;
  {
    StageTimer timer("metadata");
    metadata = ExtractMetadata(heif.primary.get());
  }
  // A picture without alpha is decoded straight to 3 bytes per pixel: the same pixels as the
  // alpha channel's 255s would give, a quarter less memory at the peak.
  const bool hasAlpha = heif_image_handle_has_alpha_channel(heif.primary.get()) != 0;
  DecodedPrimary decoded;
  {
    StageTimer timer("decode");
    decoded = DecodeHeif(heif, ChoosePixelLayout(hasAlpha));
  }
  const auto factory = CreateImagingFactory();
  PackedImage packed;
  {
    StageTimer timer("pack");
    // Packed in place: the decoded image becomes the packed one, so the pixels exist once.
    packed = PackPixels(std::move(decoded.image), isPng, isPng && hasAlpha);
  }
  decoded.options = {};
  Bytes encoded;
  {
    StageTimer timer("encode");
    encoded = EncodeImage(factory.Get(), packed, isPng, options.quality);
  }
  // A JPG's rows are decoded again but never compared, so its pixels are not needed for the
  // verification; only its dimensions and pixel format are.
  if (!isPng) packed.ReleasePixels();
  // A JPG keeps the photograph's HDR gain map as a second image. It is decoded only now, with
  // the picture's pixels gone, so it never adds to the conversion's peak.
  std::optional<PreparedGainMap> gainMap;
  if (!isPng) {
    StageTimer timer("gain-map");
    gainMap = PrepareGainMap(heif, metadata, packed.width, packed.height, factory.Get(), options.quality);
  }
  Bytes output;
  {
    StageTimer timer("embed");
    if (isPng)
      output = BuildPngOutput(encoded, metadata.exif, metadata.xmp, metadata.icc);
    else if (gainMap)
      output = BuildGainMapJpegOutput(encoded, metadata.exif, gainMap->primaryXmp, metadata.icc, gainMap->image);
    else
      output = BuildJpegOutput(encoded, metadata.exif, metadata.xmp, metadata.icc);
  }
  Bytes().swap(encoded);
  ExpectedGainMap expected;
  if (gainMap) {
    expected = {gainMap->width, gainMap->height};
    gainMap.reset();
  }
  std::wstring final = CommitOutput(request, std::move(output), packed, factory.Get(), metadata.exif, snapshot, expected);

  // Step 11: the output exists; from here on the call counts as a success.
  source.handle.reset();
  return final;
}

ConversionOutcome ConvertWithin(const ConversionRequest& request, RecycleBin& bin, MemoryBudget* budget) {
  ConversionOutcome outcome;
  SourceSnapshot snapshot{};
  try {
    outcome.output = ConvertAndCommit(request, snapshot, budget);
  } catch (const std::bad_alloc&) {
    // Not the picture's buffers (the decode says so itself): the source, the metadata, the
    // output file's bytes. Never the runtime's English text. (kOutOfMemory's text, short
    // enough to need no allocation of its own.)
    outcome = {};
    outcome.error = L"記憶體不足";
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
  // Step 12: best effort on top of a finished conversion. Failures become the warning; the
  // output stays and the call still succeeds.
  try {
    StageTimer timer("recycle");
    ConfirmSourceUnchanged(request.source, snapshot);
    RecycleSource(request.source, snapshot, outcome, bin);
  } catch (const std::bad_alloc&) {
    outcome.recycled = false;
    outcome.warning = L"記憶體不足";
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

ConversionOutcome ConvertFile(const ConversionRequest& request, RecycleBin& bin, MemoryBudget& budget) {
  return ConvertWithin(request, bin, &budget);
}

}  // namespace vellumora
