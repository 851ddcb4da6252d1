// encode_probe: times the Windows Imaging Component's JPG and PNG encoders on a decoded
// photograph, writing into two kinds of in-memory stream: a stream on an HGLOBAL
// (CreateStreamOnHGlobal) and the pipeline's own MemoryStream, whose buffer grows by doubling. It counts the encoder's Write calls, to tell the cost of compressing from the
// cost of growing the stream.
//
//   encode_probe [--repeat N] FILE
#include <windows.h>
#include <objidl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <libheif/heif.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert/memory_stream.h"

namespace vellumora {
namespace {

using Microsoft::WRL::ComPtr;

// Forwards to another stream and counts the Write calls.
class CountingStream final : public IStream {
 public:
  explicit CountingStream(IStream* inner) : inner_(inner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Read(void* d, ULONG n, ULONG* r) override { return inner_->Read(d, n, r); }
  HRESULT STDMETHODCALLTYPE Write(const void* d, ULONG n, ULONG* w) override {
    ++writes;
    return inner_->Write(d, n, w);
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER m, DWORD o, ULARGE_INTEGER* r) override { return inner_->Seek(m, o, r); }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER s) override { return inner_->SetSize(s); }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* t, ULARGE_INTEGER n, ULARGE_INTEGER* r, ULARGE_INTEGER* w) override {
    return inner_->CopyTo(t, n, r, w);
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD f) override { return inner_->Commit(f); }
  HRESULT STDMETHODCALLTYPE Revert() override { return inner_->Revert(); }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER a, ULARGE_INTEGER b, DWORD c) override { return inner_->LockRegion(a, b, c); }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER a, ULARGE_INTEGER b, DWORD c) override { return inner_->UnlockRegion(a, b, c); }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* s, DWORD f) override { return inner_->Stat(s, f); }
  HRESULT STDMETHODCALLTYPE Clone(IStream** c) override { return inner_->Clone(c); }

  unsigned long long writes = 0;

 private:
  ULONG refs_ = 1;
  ComPtr<IStream> inner_;
};

bool DecodeToBgr(const char* path, std::vector<uint8_t>& bgr, UINT& width, UINT& height) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  heif_context* context = heif_context_alloc();
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  heif_decoding_options* options = heif_decoding_options_alloc();
  options->convert_hdr_to_8bit = 1;
  bool ok = heif_context_read_from_memory_without_copy(context, bytes.data(), bytes.size(), nullptr).code == heif_error_Ok &&
            heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok &&
            heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, options).code == heif_error_Ok;
  if (ok) {
    width = static_cast<UINT>(heif_image_get_width(image, heif_channel_interleaved));
    height = static_cast<UINT>(heif_image_get_height(image, heif_channel_interleaved));
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    bgr.assign(static_cast<size_t>(width) * height * 3, 0);
    for (UINT y = 0; y < height; ++y) {
      const uint8_t* s = plane + static_cast<size_t>(y) * static_cast<size_t>(stride);
      uint8_t* d = bgr.data() + static_cast<size_t>(y) * width * 3;
      for (UINT x = 0; x < width; ++x, s += 4, d += 3) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
      }
    }
  }
  if (image) heif_image_release(image);
  heif_decoding_options_free(options);
  if (handle) heif_image_handle_release(handle);
  heif_context_free(context);
  return ok;
}

// Encodes into `stream`; returns milliseconds, or a negative number on failure.
double Encode(IWICImagingFactory* factory, IStream* stream, bool png, const std::vector<uint8_t>& bgr, UINT width,
              UINT height) {
  const auto start = std::chrono::steady_clock::now();
  ComPtr<IWICBitmapEncoder> encoder;
  if (FAILED(factory->CreateEncoder(png ? GUID_ContainerFormatPng : GUID_ContainerFormatJpeg, nullptr, &encoder)))
    return -1;
  if (FAILED(encoder->Initialize(stream, WICBitmapEncoderNoCache))) return -1;
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> options;
  if (FAILED(encoder->CreateNewFrame(&frame, &options))) return -1;
  if (FAILED(frame->Initialize(options.Get()))) return -1;
  if (FAILED(frame->SetSize(width, height))) return -1;
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  if (FAILED(frame->SetPixelFormat(&format))) return -1;
  if (FAILED(frame->WritePixels(height, width * 3, static_cast<UINT>(bgr.size()), const_cast<BYTE*>(bgr.data()))))
    return -1;
  if (FAILED(frame->Commit()) || FAILED(encoder->Commit())) return -1;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

unsigned long long StreamSize(IStream* stream) {
  STATSTG stat{};
  stream->Stat(&stat, STATFLAG_NONAME);
  return stat.cbSize.QuadPart;
}

int Run(int argc, char** argv) {
  int repeat = 3;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc)
      repeat = std::max(1, std::atoi(argv[++i]));
    else
      path = argv[i];
  }
  if (!path) {
    std::fprintf(stderr, "usage: encode_probe [--repeat N] FILE\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int status = 0;
  {
    std::vector<uint8_t> bgr;
    UINT width = 0, height = 0;
    if (!DecodeToBgr(path, bgr, width, height)) {
      std::fprintf(stderr, "cannot decode %s\n", path);
      return 1;
    }
    ComPtr<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))))
      return 1;
    for (const bool png : {false, true}) {
      for (const bool hglobal : {true, false}) {
        std::vector<double> times;
        unsigned long long writes = 0, size = 0;
        for (int i = 0; i < repeat; ++i) {
          double ms;
          ComPtr<IStream> inner;
          if (hglobal) {
            if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &inner))) return 1;
          } else {
            ComPtr<MemoryStream> own;
            if (FAILED(MemoryStream::Create(own))) return 1;
            inner = own;
          }
          // Takes over the reference the object starts with (MinGW's Attach would add one).
          ComPtr<CountingStream> counted;
          *counted.GetAddressOf() = new CountingStream(inner.Get());
          ms = Encode(factory.Get(), counted.Get(), png, bgr, width, height);
          writes = counted->writes;
          size = StreamSize(inner.Get());
          if (ms < 0) {
            std::fprintf(stderr, "encoding failed\n");
            status = 1;
            break;
          }
          times.push_back(ms);
        }
        if (times.empty()) continue;
        std::sort(times.begin(), times.end());
        std::printf("RESULT format=%s stream=%s encode_ms=%.1f writes=%llu bytes=%llu size=%ux%u runs=%d\n",
                    png ? "PNG" : "JPG", hglobal ? "hglobal" : "memorystream", times[times.size() / 2], writes, size,
                    width, height, repeat);
        std::fflush(stdout);
      }
    }
  }
  CoUninitialize();
  return status;
}

}  // namespace
}  // namespace vellumora

int main(int argc, char** argv) { return vellumora::Run(argc, argv); }
