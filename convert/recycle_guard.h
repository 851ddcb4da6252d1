#pragma once
#include <windows.h>

#include <string>

#include "convert/source_file.h"

namespace vellumora {

// Keeps the source's bytes safe while the Shell moves it to the Recycle Bin. The Shell may
// delete a file for good where it cannot recycle it (a file larger than the bin's limit)
// without telling the progress sink so; a second name of the file in the same folder keeps
// the bytes, and the source can be put back from it. The second name is a hard link where the
// volume takes one; where it does not (FAT32, exFAT, cloud placeholders) it is a verified copy
// with the source's bytes, times and attributes.
//
// Refused up front, with the source untouched: a drive that is not fixed (removable, network,
// optical, RAM disk: no Recycle Bin that keeps the file there), a source that another program
// holds open without letting it be deleted (the Shell could not move it either), and a place
// where neither a link nor a verified copy can be made. The proof of a link is the link itself
// (created, and naming the snapshot's file), not the volume's declared capabilities: those are
// not reported everywhere.
//
// Every removal of the second name is checked: a read-only file's name is removed with the
// attribute lifted for the moment and put back on the file, and a name another program holds
// is tried again for a while, and so is putting the source back under its name. A second name
// that cannot go, or that is left as the photograph's only name (its name taken by another file,
// or the rename failing), is reported with its file name, never left behind without a word.
class RecycleGuard {
 public:
  // Raises "此位置無法安全回收，已保留原檔" where the source cannot be kept,
  // "原檔正被其他程式使用，無法回收，已保留原檔" when another program holds it, and
  // "原檔在轉換期間已被修改，已保留原檔" when the source is no longer the snapshot's file.
  RecycleGuard(const std::wstring& source, const SourceSnapshot& snapshot);
  // Settles as Restore does when neither call below was made (a failure on the way).
  ~RecycleGuard();
  RecycleGuard(const RecycleGuard&) = delete;
  RecycleGuard& operator=(const RecycleGuard&) = delete;

  // The Shell proved the source is in the Recycle Bin: only the second name goes. Returns the
  // message for the user when it stays behind, else an empty text.
  std::string RecycleConfirmed();
  // No proof: the source is put back under its name if it is gone, and the second name goes.
  // Returns the message for the user when a second name is left, else an empty text.
  std::string Restore();

 private:
  std::string LeftBehind() const;
  std::string OnlyNameLeft() const;
  std::string NotPutBack() const;
  std::wstring source_;
  std::wstring keep_;  // empty once settled
  SourceSnapshot snapshot_{};
  bool copy_ = false;
};

}  // namespace vellumora
