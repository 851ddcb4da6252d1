#include "convert/source_file.h"

#include <stdexcept>

#include "common/extended_path.h"

namespace vellumora {

bool IsReadableSourceSize(unsigned long long size) { return size >= 1 && size <= kMaxSourceSize; }

SourceFile ReadSource(const std::wstring& path) {
  SourceFile source;
  source.handle.reset(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!source.handle) throw std::runtime_error("無法讀取原檔（可能已移動或正在被其他程式修改）");

  if (!GetFileInformationByHandle(source.handle.get(), &source.snapshot))
    throw std::runtime_error("無法讀取原檔資訊");

  const unsigned long long size =
      (static_cast<unsigned long long>(source.snapshot.nFileSizeHigh) << 32) | source.snapshot.nFileSizeLow;
  if (!IsReadableSourceSize(size)) throw std::runtime_error("原檔空白或超過 2 GB");

  source.bytes.assign(static_cast<std::size_t>(size), 0);
  DWORD read = 0;
  if (!ReadFile(source.handle.get(), source.bytes.data(), static_cast<DWORD>(size), &read, nullptr) ||
      read != size)
    throw std::runtime_error("讀取原檔不完整");
  return source;
}

void ReadSourceAt(const SourceFile& source, std::uint64_t offset, std::span<std::uint8_t> into) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (into.size() > kMaxSourceSize ||
      !ReadFile(source.handle.get(), into.data(), static_cast<DWORD>(into.size()), &read, &at) || read != into.size())
    throw std::runtime_error("讀取原檔不完整");
}

void ConfirmSourceUnchanged(const std::wstring& path, const SourceSnapshot& snapshot) {
  UniqueFileHandle again(
      CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!again) throw std::runtime_error("無法再次確認原檔");
  BY_HANDLE_FILE_INFORMATION now{};
  if (!GetFileInformationByHandle(again.get(), &now)) throw std::runtime_error("無法再次確認原檔");

  if (!MatchesSnapshot(now, snapshot)) throw std::runtime_error("原檔在轉換期間已被修改，已保留原檔");
}

bool MatchesSnapshot(const BY_HANDLE_FILE_INFORMATION& now, const SourceSnapshot& snapshot) {
  // Identity first (a file replaced under the same name has another index), then size, then
  // the last write time. Access time, attributes and the number of links do not count:
  // reading the file, or giving it a second name, is not a change.
  return IdentityOf(now) == IdentityOf(snapshot) && now.nFileSizeLow == snapshot.nFileSizeLow &&
         now.nFileSizeHigh == snapshot.nFileSizeHigh &&
         CompareFileTime(&now.ftLastWriteTime, &snapshot.ftLastWriteTime) == 0;
}

}  // namespace vellumora
