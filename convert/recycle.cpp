#include "convert/recycle.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <stdexcept>

#include "common/check_hr.h"

namespace vellumora {

using Microsoft::WRL::ComPtr;

ComPtr<RecycleSink> RecycleSink::Create() {
  // Takes over the reference the object starts with. Not ComPtr::Attach: MinGW's version of
  // it adds a reference, and the sink would never be freed.
  ComPtr<RecycleSink> sink;
  *sink.GetAddressOf() = new RecycleSink();
  return sink;
}

HRESULT RecycleSink::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFileOperationProgressSink)) {
    *object = static_cast<IFileOperationProgressSink*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG RecycleSink::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

ULONG RecycleSink::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT RecycleSink::PreDeleteItem(DWORD flags, IShellItem*) {
  // Without this flag the Shell is about to delete the file outright (no Recycle Bin there):
  // abort instead, the source stays where it is.
  return (flags & TSF_DELETE_RECYCLE_IF_POSSIBLE) != 0 ? S_OK : E_ABORT;
}

HRESULT RecycleSink::PostDeleteItem(DWORD, IShellItem*, HRESULT result, IShellItem* newlyCreated) {
  recycled_ = newlyCreated != nullptr && SUCCEEDED(result);
  return S_OK;
}

RecycleReport ShellRecycleBin::MoveToRecycleBin(const std::wstring& path) {
  ComPtr<IFileOperation> operation;
  CheckHr(CoCreateInstance(CLSID_FileOperation, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&operation)),
          "無法開啟資源回收筒");
  CheckHr(operation->SetOperationFlags(kRecycleOperationFlags), "設定回收操作失敗");
  ComPtr<IShellItem> item;
  CheckHr(SHCreateItemFromParsingName(path.c_str(), nullptr, IID_PPV_ARGS(&item)), "無法讀取原檔");

  const ComPtr<RecycleSink> sink = RecycleSink::Create();
  CheckHr(operation->DeleteItem(item.Get(), sink.Get()), "無法回收原檔");
  CheckHr(operation->PerformOperations(), "此位置無法安全回收，已保留原檔");
  BOOL aborted = FALSE;
  CheckHr(operation->GetAnyOperationsAborted(&aborted), "無法驗證回收操作");

  RecycleReport report;
  report.anyAborted = aborted != FALSE;
  report.recycled = sink->recycled();
  return report;
}

void RecycleSource(const std::wstring& path, ConversionOutcome& outcome, RecycleBin& bin) {
  const RecycleReport report = bin.MoveToRecycleBin(path);
  if (report.anyAborted || !report.recycled)
    throw std::runtime_error("Windows 未確認移至資源回收筒，請檢查原檔");
  outcome.recycled = true;
}

}  // namespace vellumora
