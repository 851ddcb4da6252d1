#include "common/detached_thread.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace vellumora {
namespace {

// Many short detached threads started at once, as a burst of quick requests starts scans:
// every one must run exactly once with its own (move-only) payload.
TEST(DetachedThread, EveryThreadOfABurstRunsOnceWithItsOwnWork) {
  constexpr int kThreads = 400;
  std::atomic<int> ran{0};
  std::atomic<long long> sum{0};
  for (int i = 0; i < kThreads; ++i) {
    auto payload = std::make_unique<int>(i);
    StartDetachedThread([payload = std::move(payload), &ran, &sum] {
      sum += *payload;
      ++ran;  // the last touch of this test's state: the waiting below may end right after it
    });
  }
  for (int waited = 0; ran.load() < kThreads && waited < 60000; waited += 10) Sleep(10);
  EXPECT_EQ(ran.load(), kThreads);
  EXPECT_EQ(sum.load(), static_cast<long long>(kThreads) * (kThreads - 1) / 2);
}

}  // namespace
}  // namespace vellumora
