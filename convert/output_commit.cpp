#include "convert/output_commit.h"

#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/check_hr.h"
#include "common/extended_path.h"
#include "common/file_bytes.h"
#include "common/guid_text.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "convert/formats/gain_map_jpeg.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/motion_photo.h"
#include "convert/formats/png_container.h"
#include "convert/stage_timing.h"

namespace vellumora {

using Microsoft::WRL::ComPtr;

namespace {

bool IsPngRequest(const ConversionRequest& request) { return request.options.format == OutputFormat::Png; }

// The temporary file of one commit: deleted when the commit ends unless it was renamed.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::wstring path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) DeleteFileW(ExtendedLengthPath(path_).c_str());
  }
  const std::wstring& path() const { return path_; }
  void Renamed() { path_.clear(); }

 private:
  std::wstring path_;
};

void CopySourceTimes(const std::wstring& path, const SourceSnapshot& snapshot) {
  UniqueFileHandle file(
      CreateFileW(ExtendedLengthPath(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  // No creation time: the output keeps the time it was made.
  if (!file || !SetFileTime(file.get(), nullptr, &snapshot.ftLastAccessTime, &snapshot.ftLastWriteTime))
    throw std::runtime_error("無法保留檔案時間");
}

// Where a folder path's root ends: after "\\?\C:\" or after "\\?\UNC\server\share\".
std::size_t RootLength(const std::wstring& path) {
  constexpr std::wstring_view kUnc = L"\\\\?\\UNC\\";
  if (!path.starts_with(kUnc)) return path.size() >= 7 && path[5] == L':' ? 7 : 0;
  const std::size_t server = path.find(L'\\', kUnc.size());
  const std::size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
  return share == std::wstring::npos ? path.size() : share + 1;
}

// Creates the output folder and every missing parent (an existing folder is fine), through the
// extended-length path, so that deep folders and names ending in a dot or a space are made as
// named and nowhere else. A file in the way, or any other failure, is the step's failure; its
// message names the folder and carries the system's code.
void CreateOutputFolder(const std::filesystem::path& folder) {
  const auto fail = [&folder](DWORD error) {
    CheckHr(HRESULT_FROM_WIN32(error), ("無法建立輸出資料夾：" + ToUtf8(folder.wstring())).c_str());
  };
  std::wstring path = ExtendedLengthPath(folder.wstring());
  const std::size_t root = RootLength(path);
  while (path.size() > root && path.back() == L'\\') path.pop_back();
  std::vector<std::wstring> missing;
  while (path.size() > root) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) fail(ERROR_DIRECTORY);
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) fail(error);
    missing.push_back(path);
    const std::size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut < root) break;
    path.resize(cut);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Another worker may make the same folder at the same moment.
    if (CreateDirectoryW(it->c_str(), nullptr)) continue;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) fail(error);
  }
}

std::wstring RenameToFreeName(const std::wstring& temporary, const std::filesystem::path& folder,
                              const std::wstring& stem, bool isPng) {
  for (unsigned long long n = 0;; ++n) {
    const std::wstring candidate = (folder / OutputCandidateName(stem, n, isPng)).wstring();
    // Never MOVEFILE_REPLACE_EXISTING: the rename itself claims the name, so an existing file
    // (or another worker's output) is never overwritten.
    if (MoveFileExW(ExtendedLengthPath(temporary).c_str(), ExtendedLengthPath(candidate).c_str(), MOVEFILE_WRITE_THROUGH))
      return candidate;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) throw std::runtime_error("無法建立輸出檔案");
  }
}

// Decodes the gain-map image from memory through WIC: the expected size, every row.
void VerifyGainMapDecode(IWICImagingFactory* factory, std::span<const std::uint8_t> image, ExpectedGainMap expected) {
  constexpr char kFailed[] = "輸出增益圖驗證失敗";
  ComPtr<IWICStream> stream;
  CheckHr(factory->CreateStream(&stream), kFailed);
  CheckHr(stream->InitializeFromMemory(const_cast<BYTE*>(image.data()), static_cast<DWORD>(image.size())), kFailed);
  ComPtr<IWICBitmapDecoder> decoder;
  CheckHr(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand, &decoder), kFailed);
  ComPtr<IWICBitmapFrameDecode> frame;
  CheckHr(decoder->GetFrame(0, &frame), kFailed);
  UINT width = 0, height = 0;
  CheckHr(frame->GetSize(&width, &height), kFailed);
  if (width != expected.width || height != expected.height) throw std::runtime_error(kFailed);
  ComPtr<IWICFormatConverter> converter;
  CheckHr(factory->CreateFormatConverter(&converter), kFailed);
  CheckHr(converter->Initialize(frame.Get(), GUID_WICPixelFormat8bppGray, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom),
          kFailed);
  Bytes pixels(static_cast<std::size_t>(width) * height, 0);
  CheckHr(converter->CopyPixels(nullptr, width, static_cast<UINT>(pixels.size()), pixels.data()), kFailed);
}

}  // namespace

std::filesystem::path OutputFolder(const ConversionRequest& request) {
  if (request.options.destination != Destination::BesideSource) return std::filesystem::path(request.options.folder);
  // A fully qualified source is taken as it is: making it absolute would clean the name up and
  // drop a trailing dot from a folder's name.
  const std::filesystem::path source(request.source);
  return (source.has_root_name() && source.has_root_directory() ? source : std::filesystem::absolute(source))
      .parent_path();
}

std::wstring OutputCandidateName(const std::wstring& stem, unsigned long long n, bool isPng) {
  std::wstring name = stem;
  if (n != 0) name += L" (" + std::to_wstring(n) + L")";
  name += isPng ? L".png" : L".jpg";
  return name;
}

void VerifyOutputDecode(IWICImagingFactory* factory, const std::wstring& path, const PackedImage& packed,
                        bool isPng) {
  ComPtr<IWICBitmapDecoder> decoder;
  CheckHr(factory->CreateDecoderFromFilename(ExtendedLengthPath(path).c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                             &decoder),
          "輸出無法重新解碼");
  ComPtr<IWICBitmapFrameDecode> frame;
  CheckHr(decoder->GetFrame(0, &frame), "輸出影格不完整");
  UINT width = 0, height = 0;
  CheckHr(frame->GetSize(&width, &height), "輸出尺寸不正確");
  if (width != packed.width || height != packed.height) throw std::runtime_error("輸出尺寸驗證失敗");

  ComPtr<IWICFormatConverter> converter;
  CheckHr(factory->CreateFormatConverter(&converter), "驗證解碼器失敗");
  CheckHr(converter->Initialize(frame.Get(), packed.pixelFormat, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom),
          "驗證像素格式失敗");

  // One row at a time keeps the check's memory at one row whatever the image size.
  Bytes row(packed.stride, 0);
  for (UINT y = 0; y < packed.height; ++y) {
    const WICRect rect{0, static_cast<INT>(y), static_cast<INT>(packed.width), 1};
    CheckHr(converter->CopyPixels(&rect, packed.stride, packed.stride, row.data()), "輸出像素解碼驗證失敗");
    if (isPng && std::memcmp(row.data(), packed.pixels.data() + static_cast<std::size_t>(y) * packed.stride,
                             packed.stride) != 0)
      throw std::runtime_error("PNG 像素驗證失敗");
  }
}

std::wstring CommitOutput(const ConversionRequest& request, Bytes&& output,
                          const PackedImage& packed, IWICImagingFactory* factory,
                          std::span<const std::uint8_t> exif, const SourceSnapshot& snapshot,
                          ExpectedGainMap gainMap, std::uint64_t videoLength) {
  const bool isPng = IsPngRequest(request);
  const std::filesystem::path folder = OutputFolder(request);
  CreateOutputFolder(folder);

  Bytes gainMapImage;
  TemporaryFile temporary((folder / (L".vellumora-" + NewGuidText() + L".tmp")).wstring());
  {
    StageTimer timer("write");
    WriteFileBytes(temporary.path(), output);
  }
  {
    StageTimer timer("readback");
    const Bytes written = ReadFileBytes(temporary.path());
    if (!std::equal(written.begin(), written.end(), output.begin(), output.end()))
      throw std::runtime_error("輸出寫入驗證失敗");
    const Bytes found = isPng ? FindPngExif(written) : FindJpegExif(written);
    if (!std::equal(found.begin(), found.end(), exif.begin(), exif.end()))
      throw std::runtime_error("EXIF 保留驗證失敗，已保留原檔");
    // The parts after the primary image as a reader finds them: the video from the end of the
    // file, then the gain map at the end of what precedes it.
    if (videoLength > output.size()) throw std::runtime_error("輸出動態相片驗證失敗");
    const std::span<const std::uint8_t> images =
        videoLength == 0 ? std::span<const std::uint8_t>(written)
                         : CheckMotionPhotoJpeg(written, std::span<const std::uint8_t>(output).last(videoLength), gainMap.width != 0);
    // The gain map is small; its copy outlives the file's bytes for its own decode.
    if (gainMap.width != 0) {
      const auto image = FindGainMapImage(images);
      gainMapImage.assign(image.begin(), image.end());
    }
  }
  Bytes().swap(output);  // the file on disk is now the only copy that matters
  {
    StageTimer timer("verify-decode");
    VerifyOutputDecode(factory, temporary.path(), packed, isPng);
    if (gainMap.width != 0) VerifyGainMapDecode(factory, gainMapImage, gainMap);
  }
  StageTimer timer("times-rename");
  CopySourceTimes(temporary.path(), snapshot);
  const std::wstring final =
      RenameToFreeName(temporary.path(), folder, std::filesystem::path(request.source).stem().wstring(), isPng);
  temporary.Renamed();
  return final;
}

}  // namespace vellumora
