#pragma once
#include <cstdint>

namespace vellumora {

// Heap calls made by the code linked into a benchmark program. Counting works only in the
// variant linked with -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free (see
// bench/CMakeLists.txt); elsewhere `enabled` is false and the numbers are zero.
struct AllocCounts {
  bool enabled = false;
  uint64_t calls = 0;    // malloc, calloc and realloc calls, including operator new
  uint64_t frees = 0;    // free calls, including operator delete
  uint64_t bytes = 0;    // bytes requested in all calls
  uint64_t largest = 0;  // largest single request
  uint64_t small = 0;    // requests of at most 1 KiB
  uint64_t huge = 0;     // requests of more than 1 MiB
};

AllocCounts CurrentAllocCounts();

}  // namespace vellumora
