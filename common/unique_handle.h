#pragma once
#include <windows.h>

#include <utility>

namespace vellumora {

// Owns one Win32 object and releases it exactly once. Close is called only for a handle
// that is neither null nor the Traits' invalid value.
template <typename Traits>
class UniqueOwner {
 public:
  using Handle = typename Traits::Handle;
  UniqueOwner() = default;
  explicit UniqueOwner(Handle h) : h_(h) {}
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  UniqueOwner(UniqueOwner&& o) noexcept : h_(std::exchange(o.h_, Traits::Invalid())) {}
  UniqueOwner& operator=(UniqueOwner&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Traits::Invalid()));
    return *this;
  }
  ~UniqueOwner() { reset(); }

  Handle get() const { return h_; }
  bool valid() const { return h_ != Traits::Invalid() && h_ != Handle{}; }
  explicit operator bool() const { return valid(); }
  Handle release() { return std::exchange(h_, Traits::Invalid()); }
  void reset(Handle h = Traits::Invalid()) {
    if (valid()) Traits::Close(h_);
    h_ = h;
  }
  // For out-parameters: releases the current object and hands out the slot.
  Handle* put() {
    reset();
    return &h_;
  }

 private:
  Handle h_ = Traits::Invalid();
};

struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct KernelHandleTraits {  // mutexes, events, threads: null means none
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct FindHandleTraits {  // FindFirstFileExW's enumerations
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::FindClose(h); }
};
struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};
struct GdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DeleteObject(h); }
};

using UniqueFileHandle = UniqueOwner<FileHandleTraits>;
using UniqueHandle = UniqueOwner<KernelHandleTraits>;
using UniqueFindHandle = UniqueOwner<FindHandleTraits>;
using UniqueRegKey = UniqueOwner<RegKeyTraits>;
using UniqueGdiObject = UniqueOwner<GdiObjectTraits>;

// Runs a callable when the scope ends, on every path.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { f_(); }

 private:
  F f_;
};

}  // namespace vellumora
