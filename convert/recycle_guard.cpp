#include "convert/recycle_guard.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "common/extended_path.h"
#include "common/file_identity.h"
#include "common/guid_text.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace vellumora {

namespace {

constexpr const char* kUnsafeLocation = "此位置無法安全回收，已保留原檔";
constexpr const char* kInUse = "原檔正被其他程式使用，無法回收，已保留原檔";
constexpr const char* kChanged = "原檔在轉換期間已被修改，已保留原檔";

// A name another program holds is removed or renamed again this often, this far apart: long
// enough for a virus scanner or an indexer that looks at the file, short enough for a batch.
constexpr int kDeleteAttempts = 20;
constexpr DWORD kDeleteRetryMs = 100;

// The attributes a copy takes over from the source (the others belong to the file system).
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kCopyChunk = 1u << 20;

// Only a fixed drive has a Recycle Bin that keeps the file on the same volume; a removable
// drive, a network share, an optical drive or a RAM disk is refused. Only the volume counts
// here, so the plain path is enough.
bool OnFixedDrive(const std::wstring& path) {
  std::vector<wchar_t> volume(path.size() + MAX_PATH + 2, L'\0');
  if (!GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) return false;
  return GetDriveTypeW(volume.data()) == DRIVE_FIXED;
}

// Another program has the file open without delete sharing: neither the Shell's move nor the
// removal of a second name could get at it.
bool HeldAgainstDelete(const std::wstring& path) {
  const UniqueFileHandle probe(CreateFileW(ExtendedLengthPath(path).c_str(), DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  return !probe && GetLastError() == ERROR_SHARING_VIOLATION;
}

// The second name: in the source's own folder (a hard link cannot leave the volume), unique,
// and named like the program's other temporary files.
std::wstring KeepName(const std::wstring& source) {
  const std::filesystem::path folder = std::filesystem::path(source).parent_path();
  return (folder / (L".vellumora-" + NewGuidText() + L".keep")).wstring();
}

bool ReadChunk(HANDLE file, std::vector<std::uint8_t>& buffer, DWORD& got) {
  got = 0;
  return ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) != FALSE;
}

// Runs `attempt` (ERROR_SUCCESS or the failure's code) again for a while as long as another
// program holds the name without delete sharing. Returns the last attempt's code.
template <typename Attempt>
DWORD TryWhileHeld(Attempt attempt) {
  for (int n = 1;; ++n) {
    const DWORD error = attempt();
    if (error != ERROR_SHARING_VIOLATION || n == kDeleteAttempts) return error;
    Sleep(kDeleteRetryMs);
  }
}

// One attempt at removing one name of a file. A read-only file refuses that (its attribute is
// shared by all its names), so the attribute is lifted for the removal and put back on the file
// through the same handle, for the name that remains. ERROR_SUCCESS when the name is gone.
DWORD RemoveNameOnce(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return GetLastError();
  const UniqueFileHandle file(CreateFileW(path.c_str(), DELETE | FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (readOnly) SetFileAttributesW(path.c_str(), attributes);
    return error;
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  const bool marked = SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
  const DWORD error = marked ? ERROR_SUCCESS : GetLastError();
  if (readOnly) {
    // Zero times leave the times as they are: only the attribute comes back.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes;
    SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
  }
  return error;  // a marked name goes when the handle closes
}

// Removes one name of a file, trying again while another program holds it. True when it is gone.
bool RemoveName(const std::wstring& name) {
  const std::wstring path = ExtendedLengthPath(name);
  return TryWhileHeld([&] { return RemoveNameOnce(path); }) == ERROR_SUCCESS;
}

// Copies the source into `keep` (a new name) and proves the copy: the source is read while no
// one may write it and must be the snapshot's file, the copy is read back and compared with it,
// and then it takes the snapshot's times and attributes, so that a copy put back in the
// source's place is the photograph as it was. False, with no copy left, when it cannot be made.
bool MakeVerifiedCopy(const std::wstring& source, const std::wstring& keep, const SourceSnapshot& snapshot) {
  const UniqueFileHandle in(CreateFileW(ExtendedLengthPath(source).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) return false;
  BY_HANDLE_FILE_INFORMATION now{};
  if (!GetFileInformationByHandle(in.get(), &now)) return false;
  if (!MatchesSnapshot(now, snapshot)) throw std::runtime_error(kChanged);

  const std::wstring keepPath = ExtendedLengthPath(keep);
  UniqueFileHandle out(CreateFileW(keepPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return false;
  bool proved = false;
  ScopeExit removeUnproved([&] {
    if (proved) return;
    out.reset();
    DeleteFileW(keepPath.c_str());
  });

  std::vector<std::uint8_t> a(kCopyChunk), b(kCopyChunk);
  const std::uint64_t size = (std::uint64_t{snapshot.nFileSizeHigh} << 32) | snapshot.nFileSizeLow;
  std::uint64_t copied = 0;
  for (DWORD got = 0;; copied += got) {
    if (!ReadChunk(in.get(), a, got)) return false;
    if (got == 0) break;
    DWORD written = 0;
    if (!WriteFile(out.get(), a.data(), got, &written, nullptr) || written != got) return false;
  }
  if (copied != size || !FlushFileBuffers(out.get())) return false;

  const LARGE_INTEGER start{};
  if (!SetFilePointerEx(in.get(), start, nullptr, FILE_BEGIN) || !SetFilePointerEx(out.get(), start, nullptr, FILE_BEGIN))
    return false;
  for (;;) {
    DWORD gotSource = 0, gotCopy = 0;
    if (!ReadChunk(in.get(), a, gotSource) || !ReadChunk(out.get(), b, gotCopy) || gotSource != gotCopy ||
        std::memcmp(a.data(), b.data(), gotSource) != 0)
      return false;
    if (gotSource == 0) break;
  }

  if (!SetFileTime(out.get(), &snapshot.ftCreationTime, &snapshot.ftLastAccessTime, &snapshot.ftLastWriteTime))
    return false;
  out.reset();
  const DWORD attributes = snapshot.dwFileAttributes & kCopiedAttributes;
  if (!SetFileAttributesW(keepPath.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) return false;
  proved = true;
  return true;
}

}  // namespace

RecycleGuard::RecycleGuard(const std::wstring& source, const SourceSnapshot& snapshot)
    : source_(source), snapshot_(snapshot) {
  if (!OnFixedDrive(source)) throw std::runtime_error(kUnsafeLocation);
  if (HeldAgainstDelete(source)) throw std::runtime_error(kInUse);
  std::wstring keep = KeepName(source);
  if (CreateHardLinkW(ExtendedLengthPath(keep).c_str(), ExtendedLengthPath(source).c_str(), nullptr)) {
    keep_ = std::move(keep);
    // The link must name the very file that was converted: one swapped in after the last
    // check is not recycled.
    BY_HANDLE_FILE_INFORMATION kept{};
    if (!ReadFileInformationShared(keep_, kept) || !MatchesSnapshot(kept, snapshot)) {
      const std::string left = Restore();
      throw std::runtime_error(left.empty() ? kChanged : left);
    }
    return;
  }
  // No hard link on this volume (FAT32, exFAT, a cloud placeholder): a verified copy keeps the
  // photograph instead.
  if (!MakeVerifiedCopy(source, keep, snapshot)) throw std::runtime_error(kUnsafeLocation);
  keep_ = std::move(keep);
  copy_ = true;
}

RecycleGuard::~RecycleGuard() {
  try {
    Restore();
  } catch (...) {
  }
}

std::string RecycleGuard::LeftBehind() const {
  return "原檔的備份「" + ToUtf8(std::filesystem::path(keep_).filename().wstring()) + "」無法移除，請自行刪除";
}

std::string RecycleGuard::OnlyNameLeft() const {
  return "原檔名稱已被其他檔案使用，照片保留為「" + ToUtf8(std::filesystem::path(keep_).filename().wstring()) + "」";
}

std::string RecycleGuard::NotPutBack() const {
  return "無法將照片放回原檔名，照片保留為「" + ToUtf8(std::filesystem::path(keep_).filename().wstring()) + "」";
}

std::string RecycleGuard::RecycleConfirmed() {
  if (keep_.empty()) return {};
  const std::string message = RemoveName(keep_) ? std::string() : LeftBehind();
  keep_.clear();
  return message;
}

std::string RecycleGuard::Restore() {
  if (keep_.empty()) return {};
  std::string message;
  BY_HANDLE_FILE_INFORMATION atSource{};
  if (ReadFileInformationShared(source_, atSource)) {
    // The name is there. The second name goes only when the name still holds the photograph
    // (the same file for a link, the snapshot's file for a copy); otherwise the second name is
    // the photograph's only remaining name and stays. (This is asked first, not left to the
    // rename below: a no-replace rename onto another name of the same file does nothing and
    // succeeds where the platform follows the POSIX rule.)
    const bool holdsPhotograph =
        copy_ ? MatchesSnapshot(atSource, snapshot_) : IdentityOfFile(keep_) == IdentityOf(atSource);
    if (!holdsPhotograph) {
      message = OnlyNameLeft();
    } else if (!RemoveName(keep_)) {
      message = LeftBehind();
    }
  } else {
    // The source is gone without proof that it is in the Recycle Bin: the second name takes
    // its name back. A program that looks at the new file (a virus scanner) may hold it for a
    // moment. The rename never replaces, so a file that took the name meanwhile is left alone,
    // and so is the second name.
    const std::wstring keep = ExtendedLengthPath(keep_), source = ExtendedLengthPath(source_);
    const DWORD error = TryWhileHeld([&] {
      return MoveFileExW(keep.c_str(), source.c_str(), MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS : GetLastError();
    });
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      message = OnlyNameLeft();
    } else if (error != ERROR_SUCCESS) {
      message = NotPutBack();
    }
  }
  keep_.clear();
  return message;
}

}  // namespace vellumora
