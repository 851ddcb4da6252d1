#pragma once
#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <cstdint>

#include "common/com_object.h"
#include "convert/formats/bytes.h"

namespace vellumora {

// The in-memory stream the encoders write into. Its buffer grows by doubling, so a PNG
// written in a few thousand small pieces costs a few reallocations instead of one per write
// (a stream on an HGLOBAL resizes its block to the exact new size on every write), and the
// finished file is handed over without a copy. One thread uses it at a time, as WIC does.
class MemoryStream final : public ComObject<IStream, ISequentialStream> {
 public:
  // Raises nothing: an allocation failure comes back as E_OUTOFMEMORY.
  static HRESULT Create(Microsoft::WRL::ComPtr<MemoryStream>& stream);

  // The stream's contents; the stream is empty afterwards.
  Bytes TakeBytes();

  HRESULT STDMETHODCALLTYPE Read(void* data, ULONG size, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG size, ULONG* written) override;

  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override;

 private:
  template <typename Object, typename... Arguments>
  friend Microsoft::WRL::ComPtr<Object> MakeComObject(Arguments&&... arguments);
  MemoryStream() = default;

  // Makes room for `size` bytes, at least doubling the capacity; false when memory runs out.
  bool Reserve(std::uint64_t size);

  Bytes bytes_;
  std::uint64_t position_ = 0;
};

}  // namespace vellumora
