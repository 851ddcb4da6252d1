#pragma once
#include <windows.h>
#include <shellapi.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <string>

#include "common/com_object.h"
#include "convert/conversion.h"
#include "convert/source_file.h"

namespace vellumora {

// What the Shell said about moving one file to the Recycle Bin.
struct RecycleReport {
  bool anyAborted = false;  // some part of the operation was aborted
  bool recycled = false;    // an item was created in the Recycle Bin with a success result
};

// Moves one file to the Recycle Bin, never deleting it permanently, and only while it is still
// the snapshot's file. Raises the step's message when the operation cannot be set up or
// performed; otherwise reports what happened.
class RecycleBin {
 public:
  virtual ~RecycleBin() = default;
  virtual RecycleReport MoveToRecycleBin(const std::wstring& path, const SourceSnapshot& expected) = 0;
};

// The Shell's file operation engine (IFileOperation) with a RecycleSink.
class ShellRecycleBin final : public RecycleBin {
 public:
  RecycleReport MoveToRecycleBin(const std::wstring& path, const SourceSnapshot& expected) override;
};

// The flags of the Shell operation: silent, no confirmation, no error window, recycle on
// delete, fail early, with an undo record.
inline constexpr DWORD kRecycleOperationFlags =
    FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOFX_RECYCLEONDELETE | FOFX_EARLYFAILURE | FOFX_ADDUNDORECORD;

// Progress sink of the Shell's delete operation: refuses any deletion that would not go to the
// Recycle Bin or that would remove another file than the snapshot's, and records whether the
// Shell created the item there. Made by MakeComObject<RecycleSink>(expected): it lets only the
// file of `expected` go.
class RecycleSink final : public ComObject<IFileOperationProgressSink> {
 public:
  explicit RecycleSink(const SourceSnapshot& expected) : expected_(expected) {}

  bool recycled() const { return recycled_; }

  HRESULT STDMETHODCALLTYPE StartOperations() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE FinishOperations(HRESULT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PreRenameItem(DWORD, IShellItem*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostRenameItem(DWORD, IShellItem*, LPCWSTR, HRESULT, IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PreMoveItem(DWORD, IShellItem*, IShellItem*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostMoveItem(DWORD, IShellItem*, IShellItem*, LPCWSTR, HRESULT, IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PreCopyItem(DWORD, IShellItem*, IShellItem*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostCopyItem(DWORD, IShellItem*, IShellItem*, LPCWSTR, HRESULT, IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PreDeleteItem(DWORD flags, IShellItem* item) override;
  HRESULT STDMETHODCALLTYPE PostDeleteItem(DWORD flags, IShellItem* item, HRESULT result,
                                           IShellItem* newlyCreated) override;
  HRESULT STDMETHODCALLTYPE PreNewItem(DWORD, IShellItem*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostNewItem(DWORD, IShellItem*, LPCWSTR, LPCWSTR, DWORD, HRESULT, IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UpdateProgress(UINT, UINT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResetTimer() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PauseTimer() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResumeTimer() override { return S_OK; }

 private:
  SourceSnapshot expected_;
  bool recycled_ = false;
};

// Moves the source to the Recycle Bin through `bin` and sets outcome.recycled, with the source
// kept by a RecycleGuard meanwhile: when the move was not confirmed the source is back under
// its name. Raises the guard's refusal before the bin is asked, "Windows 未確認移至資源回收筒，
// 請檢查原檔" when the move was aborted or not confirmed, and lets the bin's own failures through;
// the guard's message instead whenever a second name of the photograph is left in the folder.
void RecycleSource(const std::wstring& path, const SourceSnapshot& snapshot, ConversionOutcome& outcome,
                   RecycleBin& bin);

}  // namespace vellumora
