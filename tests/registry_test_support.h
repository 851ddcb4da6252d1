#pragma once
// Shared by the tests that touch the context-menu keys of the Wine prefix's real registry.

#include <windows.h>

#include <string>

#include "common/unique_handle.h"

namespace vellumora::test {

inline bool KeyExists(const std::wstring& path) {
  UniqueRegKey key;
  return RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Test cases run as separate processes in one prefix: this named mutex lets one of them at a
// time work on the context-menu keys. Held from construction to destruction.
class ContextMenuRegistryLock {
 public:
  ContextMenuRegistryLock() : lock_(CreateMutexW(nullptr, FALSE, L"Local\\Vellumora.Tests.ContextMenuRegistry")) {
    if (!lock_) return;
    const DWORD waited = WaitForSingleObject(lock_.get(), 120000);
    owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~ContextMenuRegistryLock() {
    if (owned_) ReleaseMutex(lock_.get());
  }
  ContextMenuRegistryLock(const ContextMenuRegistryLock&) = delete;
  ContextMenuRegistryLock& operator=(const ContextMenuRegistryLock&) = delete;
  bool owned() const { return owned_; }

 private:
  UniqueHandle lock_;
  bool owned_ = false;
};

}  // namespace vellumora::test
