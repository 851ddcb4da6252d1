#pragma once
#include <memory>
#include <utility>

namespace vellumora {

// Starts `entry(argument)` on a new thread that nobody waits for. Raises std::system_error
// when the thread cannot be started; the caller still owns `argument` then.
void StartDetachedThread(unsigned(__stdcall* entry)(void*), void* argument);

// Runs `work` (any callable, move-only ones included) on a detached thread. If the thread
// cannot be started, the error propagates and `work` is destroyed without having run.
//
// A plain Windows thread rather than a detached std::thread: with MinGW's thread library,
// starting and ending many detached std::threads at once now and then handed a new thread a
// null start argument, and the process crashed (seen with ten simultaneous quick requests).
template <typename Work>
unsigned __stdcall RunDetachedWork(void* argument) {
  const std::unique_ptr<Work> work(static_cast<Work*>(argument));
  (*work)();
  return 0;
}

template <typename Work>
void StartDetachedThread(Work work) {
  auto payload = std::make_unique<Work>(std::move(work));
  StartDetachedThread(&RunDetachedWork<Work>, payload.get());
  payload.release();  // the thread owns it now
}

}  // namespace vellumora
