#pragma once
#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <utility>

namespace vellumora {

// IUnknown for the program's own COM objects: a counted reference (the object starts with one
// and deletes itself when the last goes) and QueryInterface for IUnknown, `Interface` and the
// interfaces it derives from that are named in `Bases` (IStream's ISequentialStream).
template <typename Interface, typename... Bases>
class ComObject : public Interface {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface)) ||
        (IsEqualIID(iid, __uuidof(Bases)) || ...)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;  // only through Release

 private:
  LONG references_ = 1;
};

// A new object whose one reference the returned pointer takes over. Not ComPtr::Attach: MinGW's
// version of it adds a reference of its own, and the object would never be freed. Raises
// std::bad_alloc, or whatever the constructor raises.
template <typename Object, typename... Arguments>
Microsoft::WRL::ComPtr<Object> MakeComObject(Arguments&&... arguments) {
  Microsoft::WRL::ComPtr<Object> object;
  *object.GetAddressOf() = new Object(std::forward<Arguments>(arguments)...);
  return object;
}

}  // namespace vellumora
