#pragma once
#include <windows.h>

#include <string>

#include "convert/source_file.h"

namespace vellumora {

// Keeps the source's bytes safe while the Shell moves it to the Recycle Bin. The Shell may
// delete a file for good where it cannot recycle it (a file larger than the bin's limit)
// without telling the progress sink so; a second name of the file (a hard link in the same
// folder) keeps the bytes, and the source can be put back from it.
//
// Where no second name can be had the guard refuses up front and the source is not touched:
// a drive that is not fixed (removable, network, optical, RAM disk), or a file system without
// hard links. The proof is the link itself (created, and naming the snapshot's file), not the
// volume's declared capabilities: those are not reported everywhere.
//
// On every way out the link goes, except where it is the photograph's only remaining name.
class RecycleGuard {
 public:
  // Raises "此位置無法安全回收，已保留原檔" where the source cannot be kept, and
  // "原檔在轉換期間已被修改，已保留原檔" when the source is no longer the snapshot's file.
  RecycleGuard(const std::wstring& source, const SourceSnapshot& snapshot);
  // Settles: puts the source back under its name if it is gone, and removes the link.
  ~RecycleGuard();
  RecycleGuard(const RecycleGuard&) = delete;
  RecycleGuard& operator=(const RecycleGuard&) = delete;

  // The Shell proved the source is in the Recycle Bin: only the link goes.
  void RecycleConfirmed();

 private:
  void Settle() noexcept;
  std::wstring source_;
  std::wstring link_;  // empty once settled
};

}  // namespace vellumora
