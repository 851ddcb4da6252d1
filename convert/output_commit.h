#pragma once
#include <windows.h>
#include <wincodec.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "convert/conversion.h"
#include "convert/image_encoder.h"
#include "convert/source_file.h"

namespace vellumora {

// The folder the output goes into: the source's own folder, or `folder`.
std::filesystem::path OutputFolder(const ConversionRequest& request);

// The n-th name tried for the output: "stem.ext" for n = 0, then "stem (n).ext"; the
// extension is ".png" or ".jpg" in lower case.
std::wstring OutputCandidateName(const std::wstring& stem, unsigned long long n, bool isPng);

// Decodes the written file again through WIC and compares it with the packed pixels: same
// size, every row decodes, and for PNG every row is byte-identical. Raises the step's message.
void VerifyOutputDecode(IWICImagingFactory* factory, const std::wstring& path, const PackedImage& packed,
                        bool isPng);

// The gain-map image that a JPG output carries after its primary image, by its size; zero
// when it carries none.
struct ExpectedGainMap {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Writes the output bytes under a temporary name in the output folder, reads them back,
// checks that the Exif block survived, decodes the file again, gives it the source's access
// and write times (with a gain map: its index and directory lead to a second image that WIC
// decodes whole at the expected size; with a motion photo's video, the output's last
// `videoLength` bytes: counted back from the end by the XMP's directory, the file ends with
// exactly those bytes after its images), and renames
// it to the first free final name without ever replacing a file.
// Returns the final path. On every failure the temporary file is gone when this returns.
// The output bytes are consumed: once the file on disk has been read back equal to them they
// are let go, so they do not sit beside the verification decode.
std::wstring CommitOutput(const ConversionRequest& request, Bytes&& output,
                          const PackedImage& packed, IWICImagingFactory* factory,
                          std::span<const std::uint8_t> exif, const SourceSnapshot& snapshot,
                          ExpectedGainMap gainMap = {}, std::uint64_t videoLength = 0);

}  // namespace vellumora
