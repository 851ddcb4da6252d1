// Counts heap calls by wrapping the C allocator at link time (GNU ld's --wrap, available for
// both the MinGW and the native build). Only the benchmark's counting variants define
// VELLUMORA_ALLOC_COUNT; the timing variants get a stub so their heap calls stay untouched.
#include "bench/alloc_counter.h"

#ifdef VELLUMORA_ALLOC_COUNT
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> g_calls{0}, g_frees{0}, g_bytes{0}, g_largest{0}, g_small{0}, g_huge{0};

void Note(size_t size) {
  g_calls.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(size, std::memory_order_relaxed);
  if (size <= 1024) g_small.fetch_add(1, std::memory_order_relaxed);
  if (size > (1u << 20)) g_huge.fetch_add(1, std::memory_order_relaxed);
  uint64_t seen = g_largest.load(std::memory_order_relaxed);
  while (size > seen && !g_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);

void* __wrap_malloc(size_t size) {
  Note(size);
  return __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size) {
  Note(count * size);
  return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, size_t size) {
  Note(size);
  return __real_realloc(block, size);
}
void __wrap_free(void* block) {
  if (block) g_frees.fetch_add(1, std::memory_order_relaxed);
  __real_free(block);
}
}

// The native C++ runtime is a shared library whose operator new is out of the wrapper's
// reach, so route it through malloc here (which is what it does anyway).
void* operator new(size_t size) {
  if (void* p = malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace vellumora {
AllocCounts CurrentAllocCounts() {
  AllocCounts c;
  c.enabled = true;
  c.calls = g_calls.load();
  c.frees = g_frees.load();
  c.bytes = g_bytes.load();
  c.largest = g_largest.load();
  c.small = g_small.load();
  c.huge = g_huge.load();
  return c;
}
}  // namespace vellumora

#else

namespace vellumora {
AllocCounts CurrentAllocCounts() { return {}; }
}  // namespace vellumora

#endif
