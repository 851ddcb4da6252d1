#include "common/detached_thread.h"

#include <windows.h>
#include <process.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace vellumora {

void StartDetachedThread(unsigned(__stdcall* entry)(void*), void* argument) {
  // _beginthreadex rather than CreateThread: the thread uses the C runtime.
  const std::uintptr_t thread = _beginthreadex(nullptr, 0, entry, argument, 0, nullptr);
  if (thread == 0) throw std::system_error(errno, std::generic_category(), "_beginthreadex");
  CloseHandle(reinterpret_cast<HANDLE>(thread));  // nobody joins it: the handle is not needed
}

}  // namespace vellumora
