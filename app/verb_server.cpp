#include "app/verb_server.h"

#include <windows.h>
#include <objidl.h>
#include <ole2.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <memory>
#include <new>
#include <set>

#include "app/context_menu.h"
#include "common/check_hr.h"
#include "common/com_object.h"
#include "common/dropped_files.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace vellumora {
namespace {

using Microsoft::WRL::ComPtr;

constexpr ULONGLONG kIdleLimitMs = 30000;        // no object at all: nobody is coming
constexpr ULONGLONG kAfterDropLimitMs = 10000;   // the dropping side keeps its object: go on anyway

// What the objects of one server run share with its loop; owned jointly, so an object that a
// client holds beyond the loop never points at freed state.
struct ServerState {
  std::vector<VerbDrop> drops;
  std::set<IUnknown*> liveObjects;
  LONG locks = 0;
  std::vector<DWORD> cookies;
  ULONGLONG lastActivity = GetTickCount64();
  ULONGLONG firstDrop = 0;

  void Revoke() {
    for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
    cookies.clear();
  }
  bool Finished() const {
    const ULONGLONG now = GetTickCount64();
    if (!drops.empty()) return (liveObjects.empty() && locks <= 0) || now - firstDrop > kAfterDropLimitMs;
    return liveObjects.empty() && locks <= 0 && now - lastActivity > kIdleLimitMs;
  }
};

class VerbDropTarget final : public ComObject<IDropTarget> {
 public:
  VerbDropTarget(std::shared_ptr<ServerState> state, std::wstring verb)
      : state_(std::move(state)), verb_(std::move(verb)) {
    state_->liveObjects.insert(this);
  }
  ~VerbDropTarget() override {
    state_->liveObjects.erase(this);
    state_->lastActivity = GetTickCount64();
  }

  HRESULT STDMETHODCALLTYPE DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) override { return Copy(effect); }
  HRESULT STDMETHODCALLTYPE DragOver(DWORD, POINTL, DWORD* effect) override { return Copy(effect); }
  HRESULT STDMETHODCALLTYPE DragLeave() override { return S_OK; }

  // Explorer waits for this call: the paths are copied out and the work starts after the loop.
  HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override {
    try {
      VerbDrop drop{verb_, DroppedPaths(data)};
      state_->drops.push_back(std::move(drop));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    if (state_->firstDrop == 0) state_->firstDrop = GetTickCount64();
    // A selection made from now on is served by a process of its own.
    state_->Revoke();
    return Copy(effect);
  }

 private:
  static HRESULT Copy(DWORD* effect) {
    if (effect) *effect = DROPEFFECT_COPY;
    return S_OK;
  }

  std::shared_ptr<ServerState> state_;
  std::wstring verb_;
};

class VerbClassFactory final : public ComObject<IClassFactory> {
 public:
  VerbClassFactory(std::shared_ptr<ServerState> state, std::wstring verb)
      : state_(std::move(state)), verb_(std::move(verb)) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      return MakeComObject<VerbDropTarget>(state_, verb_)->QueryInterface(iid, result);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    state_->locks += lock ? 1 : -1;
    state_->lastActivity = GetTickCount64();
    return S_OK;
  }

 private:
  std::shared_ptr<ServerState> state_;
  std::wstring verb_;
};

}  // namespace

bool IsVerbServerStart(const CommandLine& commandLine) {
  if (!commandLine.quickFormat.empty() || commandLine.silent || commandLine.paths.size() != 1) return false;
  const std::wstring argument = FoldCase(commandLine.paths.front());
  return argument == L"-embedding" || argument == L"/embedding";
}

std::vector<std::wstring> DroppedPaths(IDataObject* data) {
  std::vector<std::wstring> paths;
  if (!data) return paths;
  FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  // Refusing the format is the data object's answer, not a failure: it holds no files.
  if (data->GetData(&format, &medium) != S_OK) return paths;
  const ScopeExit release([&] { ReleaseStgMedium(&medium); });
  if (medium.tymed != TYMED_HGLOBAL || !medium.hGlobal) return paths;
  return DroppedFilePaths(static_cast<HDROP>(medium.hGlobal));
}

std::vector<VerbDrop> ServeExplorerVerbs() {
  auto state = std::make_shared<ServerState>();
  const std::wstring exe = ThisExecutablePath();
  for (const wchar_t* verb : kContextMenuVerbs) {
    const ComPtr<VerbClassFactory> factory = MakeComObject<VerbClassFactory>(state, verb);
    DWORD cookie = 0;
    const HRESULT hr =
        CoRegisterClassObject(VerbClassId(verb, exe), factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie);
    if (FAILED(hr)) state->Revoke();
    CheckHr(hr, "無法接收檔案總管的選取項目");
    state->cookies.push_back(cookie);
  }

  // The loop wakes at least every quarter second to look at the limits.
  const UINT_PTR timer = SetTimer(nullptr, 0, 250, nullptr);
  MSG message{};
  while (!state->Finished() && GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (timer) KillTimer(nullptr, timer);
  state->Revoke();

  // Objects still held by a client are cut off, which makes COM release them now.
  const std::vector<IUnknown*> held(state->liveObjects.begin(), state->liveObjects.end());
  for (IUnknown* object : held) {
    object->AddRef();
    CoDisconnectObject(object, 0);
    object->Release();
  }
  return std::move(state->drops);
}

}  // namespace vellumora
