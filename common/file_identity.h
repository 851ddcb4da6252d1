#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vellumora {

// Which file a name leads to: the volume's serial number and the file's index on it. Two names
// of one file (hard links) give the same identity; a file replaced under the same name has
// another one.
struct FileIdentity {
  std::uint32_t volume = 0;
  std::uint64_t index = 0;

  bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info);

// Reads a file's by-handle information through a short-lived handle that shares everything,
// so that the look never stands in the way of another program (the Shell's delete) that
// holds the file. False when the file cannot be opened or queried.
bool ReadFileInformationShared(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info);

// The identity of the file a path names, asked as ReadFileInformationShared asks; nothing when
// it cannot be opened or queried.
std::optional<FileIdentity> IdentityOfFile(const std::wstring& path);

}  // namespace vellumora
