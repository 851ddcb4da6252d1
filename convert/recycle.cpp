#include "convert/recycle.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <memory>
#include <stdexcept>

#include "common/check_hr.h"
#include "common/file_identity.h"
#include "convert/recycle_guard.h"

namespace vellumora {

using Microsoft::WRL::ComPtr;

namespace {

struct CoTaskMemDelete {
  void operator()(wchar_t* text) const { CoTaskMemFree(text); }
};

// Whether the Shell's item is still the snapshot's file. Any doubt (no item, no file system
// path, no file) counts as a difference.
bool IsSnapshotFile(IShellItem* item, const SourceSnapshot& expected) noexcept {
  if (item == nullptr) return false;
  try {
    wchar_t* name = nullptr;
    CheckHr(item->GetDisplayName(SIGDN_FILESYSPATH, &name), "無法讀取原檔");
    const std::unique_ptr<wchar_t, CoTaskMemDelete> owned(name);
    BY_HANDLE_FILE_INFORMATION now{};
    return ReadFileInformationShared(owned.get(), now) && MatchesSnapshot(now, expected);
  } catch (...) {
    return false;
  }
}

}  // namespace

HRESULT RecycleSink::PreDeleteItem(DWORD flags, IShellItem* item) {
  // Without this flag the Shell is about to delete the file outright (no Recycle Bin there):
  // abort instead, the source stays where it is.
  if ((flags & TSF_DELETE_RECYCLE_IF_POSSIBLE) == 0) return E_ABORT;
  // The last look before the delete: a file changed or swapped in since the conversion's
  // re-check is not the photograph that was converted.
  return IsSnapshotFile(item, expected_) ? S_OK : E_ABORT;
}

HRESULT RecycleSink::PostDeleteItem(DWORD, IShellItem*, HRESULT result, IShellItem* newlyCreated) {
  recycled_ = newlyCreated != nullptr && SUCCEEDED(result);
  return S_OK;
}

RecycleReport ShellRecycleBin::MoveToRecycleBin(const std::wstring& path, const SourceSnapshot& expected) {
  ComPtr<IFileOperation> operation;
  CheckHr(CoCreateInstance(CLSID_FileOperation, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&operation)),
          "無法開啟資源回收筒");
  CheckHr(operation->SetOperationFlags(kRecycleOperationFlags), "設定回收操作失敗");
  ComPtr<IShellItem> item;
  CheckHr(SHCreateItemFromParsingName(path.c_str(), nullptr, IID_PPV_ARGS(&item)), "無法讀取原檔");

  const ComPtr<RecycleSink> sink = MakeComObject<RecycleSink>(expected);
  CheckHr(operation->DeleteItem(item.Get(), sink.Get()), "無法回收原檔");
  CheckHr(operation->PerformOperations(), "此位置無法安全回收，已保留原檔");
  BOOL aborted = FALSE;
  CheckHr(operation->GetAnyOperationsAborted(&aborted), "無法驗證回收操作");

  RecycleReport report;
  report.anyAborted = aborted != FALSE;
  report.recycled = sink->recycled();
  return report;
}

void RecycleSource(const std::wstring& path, const SourceSnapshot& snapshot, ConversionOutcome& outcome,
                   RecycleBin& bin) {
  RecycleGuard guard(path, snapshot);
  RecycleReport report;
  try {
    report = bin.MoveToRecycleBin(path, snapshot);
  } catch (...) {
    // The bin's own message, unless a second name of the photograph stays behind: that one
    // the user must hear of.
    const std::string left = guard.Restore();
    if (!left.empty()) throw std::runtime_error(left);
    throw;
  }
  // Not proved: the guard puts the source back if the Shell deleted it anyway.
  if (report.anyAborted || !report.recycled) {
    const std::string left = guard.Restore();
    throw std::runtime_error(left.empty() ? std::string("Windows 未確認移至資源回收筒，請檢查原檔") : left);
  }
  // In the Recycle Bin; a second name that cannot be removed still leaves the photograph's
  // bytes in the folder, so the recycling does not count as done.
  const std::string left = guard.RecycleConfirmed();
  if (!left.empty()) throw std::runtime_error(left);
  outcome.recycled = true;
}

}  // namespace vellumora
