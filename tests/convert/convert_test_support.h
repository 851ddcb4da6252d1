// Shared helpers of the pipeline tests: scratch folders, the test photographs, WIC decoding
// of written files, and file inspection.
#pragma once
#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/com_apartment.h"
#include "common/guid_text.h"
#include "common/text.h"
#include "convert/formats/bytes.h"
#include "convert/image_encoder.h"

namespace vellumora::testing {

namespace fs = std::filesystem;

// A Unix path handed down by the build (fixtures, samples), as Wine's Z: drive sees it.
inline fs::path FromBuildPath(const char* utf8) {
  std::wstring path = ToUtf16(utf8);
  if (!path.empty() && path.front() == L'/') {
    for (wchar_t& c : path)
      if (c == L'/') c = L'\\';
    path = L"Z:" + path;
  }
  return fs::path(path);
}

inline fs::path FixturesDir() { return FromBuildPath(VELLUMORA_FIXTURES_DIR); }
inline fs::path SamplesDir() { return FromBuildPath(VELLUMORA_SAMPLES_DIR); }

// A test photograph of the fixture set (a UTF-8 name); the test is skipped when the set was
// not made (the CTest fixture "photos" makes it).
#define REQUIRE_FIXTURE(var, name)                                                             \
  const ::std::filesystem::path var = ::vellumora::testing::FixturesDir() / ::vellumora::ToUtf16(name); \
  if (!::std::filesystem::exists(var)) GTEST_SKIP() << "test photograph missing: " << (name)

// A real sample photograph; skipped when the samples are not on this machine.
#define REQUIRE_SAMPLE(var, relative)                                                          \
  const ::std::filesystem::path var = ::vellumora::testing::SamplesDir() / ::vellumora::ToUtf16(relative); \
  if (!::std::filesystem::exists(var)) GTEST_SKIP() << "sample missing: " << (relative)

inline bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A fresh folder under the temporary folder, removed with its contents afterwards.
class ScratchDir {
 public:
  ScratchDir() : path_(fs::temp_directory_path() / (L"vc-test-" + NewGuidText())) { fs::create_directories(path_); }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::wstring& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Every pipeline test runs in a single-threaded COM apartment, as the program's threads do.
class ComTest : public ::testing::Test {
 protected:
  ComApartment apartment_;
};

inline Bytes ReadAll(const fs::path& path) {
  Bytes bytes;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER size{};
  GetFileSizeEx(h, &size);
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(h);
  bytes.resize(read);
  return bytes;
}

inline void WriteAll(const fs::path& path, const Bytes& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path.string();
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_EQ(written, bytes.size());
}

// Names in a folder, sorted; for "nothing else was left behind" checks.
inline std::vector<std::wstring> Listing(const fs::path& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().wstring());
  std::sort(names.begin(), names.end());
  return names;
}

inline bool HasTemporaryFile(const fs::path& folder) {
  for (const auto& name : Listing(folder))
    if (name.rfind(L".vellumora-", 0) == 0) return true;
  return false;
}

struct FileTimes {
  FILETIME creation{}, access{}, write{};
};
inline FileTimes TimesOf(const fs::path& path) {
  FileTimes t;
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    GetFileTime(h, &t.creation, &t.access, &t.write);
    CloseHandle(h);
  }
  return t;
}
inline unsigned long long Ticks(const FILETIME& t) {
  return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline FILETIME FromTicks(unsigned long long ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}
// Sets access and write times (null leaves one as it is).
inline bool SetTimes(const fs::path& path, const FILETIME* access, const FILETIME* write) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetFileTime(h, nullptr, access, write) != FALSE;
  CloseHandle(h);
  return ok;
}

// A file decoded by WIC into 24bppBGR or 32bppBGRA rows without gaps.
struct DecodedFile {
  UINT width = 0, height = 0;
  UINT bytesPerPixel = 0;
  Bytes pixels;
  const std::uint8_t* At(UINT x, UINT y) const { return pixels.data() + (static_cast<size_t>(y) * width + x) * bytesPerPixel; }
};
inline DecodedFile DecodeWithWic(const fs::path& path, bool withAlpha) {
  using Microsoft::WRL::ComPtr;
  DecodedFile out;
  ComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)))) return out;
  ComPtr<IWICBitmapDecoder> decoder;
  if (FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, &decoder)))
    return out;
  ComPtr<IWICBitmapFrameDecode> frame;
  if (FAILED(decoder->GetFrame(0, &frame))) return out;
  ComPtr<IWICFormatConverter> converter;
  factory->CreateFormatConverter(&converter);
  const GUID format = withAlpha ? GUID_WICPixelFormat32bppBGRA : GUID_WICPixelFormat24bppBGR;
  if (FAILED(converter->Initialize(frame.Get(), format, WICBitmapDitherTypeNone, nullptr, 0.0, WICBitmapPaletteTypeCustom)))
    return out;
  UINT w = 0, h = 0;
  converter->GetSize(&w, &h);
  const UINT bpp = withAlpha ? 4 : 3;
  Bytes pixels(static_cast<size_t>(w) * h * bpp);
  if (FAILED(converter->CopyPixels(nullptr, w * bpp, static_cast<UINT>(pixels.size()), pixels.data()))) return out;
  out.width = w;
  out.height = h;
  out.bytesPerPixel = bpp;
  out.pixels = std::move(pixels);
  return out;
}

// A packed picture whose pixels live in the test's own buffer: the pipeline packs into
// libheif's image, tests into a vector. Moving it keeps the vector's block, so the span
// stays valid.
struct TestPicture {
  Bytes buffer;
  PackedImage packed;
};

// Packs a test's RGBA rows in place, as the pipeline does.
inline TestPicture PackTestPicture(Bytes rgba, int width, int height, int stride, bool isPng, bool keepAlpha) {
  TestPicture picture;
  picture.buffer = std::move(rgba);
  DecodedImage view;
  view.width = width;
  view.height = height;
  view.plane = picture.buffer.data();
  view.stride = stride;
  picture.packed = PackPixels(std::move(view), isPng, keepAlpha);
  return picture;
}

// A copy of a packed image with the pixels in a buffer of its own, to alter without touching
// the original.
inline TestPicture CopyPicture(const PackedImage& packed) {
  TestPicture copy;
  copy.buffer.assign(packed.pixels.begin(), packed.pixels.end());
  copy.packed.width = packed.width;
  copy.packed.height = packed.height;
  copy.packed.bytesPerPixel = packed.bytesPerPixel;
  copy.packed.hasAlpha = packed.hasAlpha;
  copy.packed.stride = packed.stride;
  copy.packed.pixelFormat = packed.pixelFormat;
  copy.packed.pixels = std::span<std::uint8_t>(copy.buffer.data(), copy.buffer.size());
  return copy;
}

inline Bytes PixelsOf(const PackedImage& packed) { return Bytes(packed.pixels.begin(), packed.pixels.end()); }

// The message of the exception a call raises, or "(no exception)".
template <typename F>
std::string FailureOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

}  // namespace vellumora::testing
