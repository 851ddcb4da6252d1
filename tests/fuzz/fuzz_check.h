#pragma once

// Shared checks of the fuzz targets: a broken expectation aborts, so libFuzzer reports it as a crash.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <string_view>

namespace vellumora::fuzz {

inline void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

// Only the listed user-facing messages may leave a function; anything else is a finding.
inline void RequireMessage(const std::exception& e, std::initializer_list<std::string_view> allowed) {
  for (std::string_view message : allowed) {
    if (message == e.what()) {
      return;
    }
  }
  std::fprintf(stderr, "unexpected exception: %s\n", e.what());
  std::abort();
}

}  // namespace vellumora::fuzz
