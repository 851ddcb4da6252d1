#include "convert/heif_decoder.h"

#include <stdexcept>
#include <string>

namespace vellumora {

void CheckHeif(const heif_error& error) {
  if (error.code == heif_error_Ok) return;
  // Some decoder messages end in a line break; it would show as an empty line in the status
  // box and as \u000a in the report, so trailing white space is dropped.
  std::string message = error.message != nullptr ? error.message : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  throw std::runtime_error(message.empty() ? std::string("HEIC 解碼失敗") : message);
}

OpenedHeif OpenHeif(std::span<const std::uint8_t> bytes) {
  OpenedHeif heif;
  heif.context.reset(heif_context_alloc());
  if (!heif.context) throw std::runtime_error("記憶體不足");
  CheckHeif(heif_context_read_from_memory_without_copy(heif.context.get(), bytes.data(), bytes.size(), nullptr));
  heif_image_handle* primary = nullptr;
  CheckHeif(heif_context_get_primary_image_handle(heif.context.get(), &primary));
  heif.primary.reset(primary);
  return heif;
}

DecodedPrimary DecodeHeif(heif_image_handle* primary) {
  DecodedPrimary decoded;
  decoded.options.reset(heif_decoding_options_alloc());
  if (!decoded.options) throw std::runtime_error("記憶體不足");
  // 10- and 12-bit photographs come out as 8 bits per sample; everything else keeps libheif's
  // defaults, so the file's rotation, mirroring and cropping are applied to the pixels.
  decoded.options->convert_hdr_to_8bit = 1;

  heif_image* image = nullptr;
  CheckHeif(heif_decode_image(primary, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                              decoded.options.get()));
  DecodedImage& out = decoded.image;
  out.image.reset(image);
  out.width = heif_image_get_width(image, heif_channel_interleaved);
  out.height = heif_image_get_height(image, heif_channel_interleaved);
  int stride = 0;
  out.plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  out.stride = stride;
  return decoded;
}

}  // namespace vellumora
