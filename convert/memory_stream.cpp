#include "convert/memory_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace vellumora {

namespace {

// Beyond this a stream refuses to grow. The encoders' output is checked against 4 GiB later,
// so anything this large is refused anyway; the cap keeps the size arithmetic far from overflow.
constexpr std::uint64_t kMaxStreamBytes = 0x4000000000000000ull;

}  // namespace

HRESULT MemoryStream::Create(Microsoft::WRL::ComPtr<MemoryStream>& stream) {
  stream.Reset();
  try {
    stream = MakeComObject<MemoryStream>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

Bytes MemoryStream::TakeBytes() {
  position_ = 0;
  return std::exchange(bytes_, Bytes());
}

bool MemoryStream::Reserve(std::uint64_t size) {
  if (size <= bytes_.capacity()) return true;
  if (size > kMaxStreamBytes) return false;
  try {
    bytes_.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(size, 2ull * bytes_.capacity())));
    return true;
  } catch (const std::bad_alloc&) {
  }
  try {  // doubling was too much; the exact size may still fit
    bytes_.reserve(static_cast<std::size_t>(size));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

HRESULT MemoryStream::Read(void* data, ULONG size, ULONG* read) {
  if (read != nullptr) *read = 0;
  if (data == nullptr && size != 0) return STG_E_INVALIDPOINTER;
  // Like other memory streams, a read at the end returns S_OK with fewer bytes.
  const std::uint64_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
  const ULONG count = static_cast<ULONG>(std::min<std::uint64_t>(size, available));
  if (count != 0) std::memcpy(data, bytes_.data() + position_, count);
  position_ += count;
  if (read != nullptr) *read = count;
  return S_OK;
}

HRESULT MemoryStream::Write(const void* data, ULONG size, ULONG* written) {
  if (written != nullptr) *written = 0;
  if (data == nullptr && size != 0) return STG_E_INVALIDPOINTER;
  if (size == 0) return S_OK;
  const std::uint64_t end = position_ + size;  // position_ is at most kMaxStreamBytes: no overflow
  if (!Reserve(end)) return STG_E_MEDIUMFULL;
  // A seek past the end leaves a gap that reads as zeros. Nothing below allocates: the
  // capacity is already there.
  if (position_ > bytes_.size()) bytes_.resize(static_cast<std::size_t>(position_), 0);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::size_t overwrite = static_cast<std::size_t>(std::min<std::uint64_t>(end, bytes_.size()) - position_);
  std::memcpy(bytes_.data() + position_, bytes, overwrite);
  bytes_.insert(bytes_.end(), bytes + overwrite, bytes + size);
  position_ = end;
  if (written != nullptr) *written = size;
  return S_OK;
}

HRESULT MemoryStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
  std::int64_t base = 0;
  switch (origin) {
    case STREAM_SEEK_SET: base = 0; break;
    case STREAM_SEEK_CUR: base = static_cast<std::int64_t>(position_); break;
    case STREAM_SEEK_END: base = static_cast<std::int64_t>(bytes_.size()); break;
    default: return STG_E_INVALIDFUNCTION;
  }
  // base is at most kMaxStreamBytes (2^62), so neither test can overflow.
  if (move.QuadPart < 0 ? base + move.QuadPart < 0
                        : static_cast<std::uint64_t>(move.QuadPart) > kMaxStreamBytes - static_cast<std::uint64_t>(base))
    return STG_E_INVALIDFUNCTION;
  position_ = static_cast<std::uint64_t>(base + move.QuadPart);
  if (position != nullptr) position->QuadPart = position_;
  return S_OK;
}

HRESULT MemoryStream::SetSize(ULARGE_INTEGER size) {
  if (!Reserve(size.QuadPart)) return STG_E_MEDIUMFULL;
  bytes_.resize(static_cast<std::size_t>(size.QuadPart), 0);
  return S_OK;
}

HRESULT MemoryStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) { return E_NOTIMPL; }

HRESULT MemoryStream::Commit(DWORD) { return S_OK; }  // nothing is buffered elsewhere

HRESULT MemoryStream::Revert() { return S_OK; }  // no transactions: there is nothing to undo

HRESULT MemoryStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }

HRESULT MemoryStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }

HRESULT MemoryStream::Stat(STATSTG* stat, DWORD) {
  if (stat == nullptr) return STG_E_INVALIDPOINTER;
  *stat = {};
  stat->type = STGTY_STREAM;
  stat->cbSize.QuadPart = bytes_.size();
  return S_OK;
}

HRESULT MemoryStream::Clone(IStream** clone) {
  if (clone != nullptr) *clone = nullptr;
  return E_NOTIMPL;
}

}  // namespace vellumora
