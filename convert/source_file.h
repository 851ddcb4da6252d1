#pragma once
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>

#include "common/file_identity.h"
#include "common/unique_handle.h"
#include "convert/formats/bytes.h"

namespace vellumora {

// The source's by-handle file information, taken right after opening it. The volume serial
// number and the file index identify the file; size and last write time tell whether it
// changed; the access and write times are given to the output.
using SourceSnapshot = BY_HANDLE_FILE_INFORMATION;

// The largest source the pipeline reads: one byte less than 2 GiB, so one ReadFile covers it.
inline constexpr unsigned long long kMaxSourceSize = 0x7FFFFFFFull;

// The source as ReadSource leaves it: still open with read-only sharing, so that nobody can
// write, delete or rename it while it is converted, and read whole into memory.
struct SourceFile {
  UniqueFileHandle handle;
  SourceSnapshot snapshot{};
  Bytes bytes;
};

// Opens the source for reading with FILE_SHARE_READ only, takes the snapshot and reads the
// whole file in one request. Raises the user-facing message on failure.
SourceFile ReadSource(const std::wstring& path);

// Reads `into.size()` bytes from `offset` of the held source (a part that was not kept in
// memory). Raises "讀取原檔不完整" when they cannot all be read.
void ReadSourceAt(const SourceFile& source, std::uint64_t offset, std::span<std::uint8_t> into);

// Whether a size is one the pipeline reads: 1 to kMaxSourceSize bytes.
bool IsReadableSourceSize(unsigned long long size);

// Opens the source again and confirms it is the same file, with the same size and last
// write time, as in the snapshot. Raises "無法再次確認原檔" when it cannot be opened or
// queried and "原檔在轉換期間已被修改，已保留原檔" when it differs.
void ConfirmSourceUnchanged(const std::wstring& path, const SourceSnapshot& snapshot);

// Whether `now` describes the snapshot's file (its FileIdentity) with the same size and last
// write time.
bool MatchesSnapshot(const BY_HANDLE_FILE_INFORMATION& now, const SourceSnapshot& snapshot);

}  // namespace vellumora
