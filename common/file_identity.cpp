#include "common/file_identity.h"

#include "common/extended_path.h"
#include "common/unique_handle.h"

namespace vellumora {

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool ReadFileInformationShared(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
  info = {};
  const UniqueFileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  return file && GetFileInformationByHandle(file.get(), &info) != FALSE;
}

std::optional<FileIdentity> IdentityOfFile(const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!ReadFileInformationShared(path, info)) return std::nullopt;
  return IdentityOf(info);
}

}  // namespace vellumora
