#include "convert/recycle_guard.h"

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "common/extended_path.h"
#include "common/guid_text.h"

namespace vellumora {

namespace {

constexpr const char* kUnsafeLocation = "此位置無法安全回收，已保留原檔";

// Only a fixed drive has a Recycle Bin that keeps hard-linked files on the same volume; a
// removable drive, a network share, an optical drive or a RAM disk is refused. Only the volume
// counts here, so the plain path is enough.
bool OnFixedDrive(const std::wstring& path) {
  std::vector<wchar_t> volume(path.size() + MAX_PATH + 2, L'\0');
  if (!GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) return false;
  return GetDriveTypeW(volume.data()) == DRIVE_FIXED;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION other{};
  return ReadFileInformationShared(b, other) && a.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         a.nFileIndexHigh == other.nFileIndexHigh && a.nFileIndexLow == other.nFileIndexLow;
}

// The second name: in the source's own folder (a hard link cannot leave the volume), unique,
// and named like the program's other temporary files.
std::wstring KeepName(const std::wstring& source) {
  const std::filesystem::path folder = std::filesystem::path(source).parent_path();
  return (folder / (L".vellumora-" + NewGuidText() + L".keep")).wstring();
}

}  // namespace

RecycleGuard::RecycleGuard(const std::wstring& source, const SourceSnapshot& snapshot) : source_(source) {
  if (!OnFixedDrive(source)) throw std::runtime_error(kUnsafeLocation);
  std::wstring link = KeepName(source);
  // A file system without hard links (FAT, exFAT) fails here.
  if (!CreateHardLinkW(ExtendedLengthPath(link).c_str(), ExtendedLengthPath(source).c_str(), nullptr))
    throw std::runtime_error(kUnsafeLocation);
  link_ = std::move(link);

  // The link must name the very file that was converted: one swapped in after the last check
  // is not recycled.
  BY_HANDLE_FILE_INFORMATION kept{};
  if (!ReadFileInformationShared(link_, kept) || !MatchesSnapshot(kept, snapshot)) {
    Settle();
    throw std::runtime_error("原檔在轉換期間已被修改，已保留原檔");
  }
}

RecycleGuard::~RecycleGuard() { Settle(); }

void RecycleGuard::RecycleConfirmed() {
  if (link_.empty()) return;
  DeleteFileW(ExtendedLengthPath(link_).c_str());
  link_.clear();
}

void RecycleGuard::Settle() noexcept {
  if (link_.empty()) return;
  BY_HANDLE_FILE_INFORMATION atSource{};
  if (ReadFileInformationShared(source_, atSource)) {
    // The name is there. The link goes only when the name is still the same file; otherwise
    // the link is the photograph's only remaining name and stays. (This is asked first, not
    // left to the rename below: a no-replace rename onto another name of the same file does
    // nothing and succeeds where the platform follows the POSIX rule.)
    if (SameFile(atSource, link_)) DeleteFileW(ExtendedLengthPath(link_).c_str());
  } else {
    // The source is gone without proof that it is in the Recycle Bin: the link takes its
    // name back. The rename never replaces, so a file that took the name meanwhile is left
    // alone, and so is the link.
    MoveFileExW(ExtendedLengthPath(link_).c_str(), ExtendedLengthPath(source_).c_str(), MOVEFILE_WRITE_THROUGH);
  }
  link_.clear();
}

}  // namespace vellumora
