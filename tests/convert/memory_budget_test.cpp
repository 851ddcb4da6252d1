// The memory a silent batch's conversions share: what a picture needs, and who gets it when.
// Plain C++: built natively as well as for Windows.
#include "convert/memory_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vellumora {
namespace {

TEST(MemoryBudget, ANeedBeyondSixtyFourBitsIsAllTheMemoryNeverASmallNumber) {
  constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(ConversionMemoryNeed(0xFFFFFFFF, 0xFFFFFFFF, 16, true, true, 0), kAll);
  EXPECT_EQ(ConversionMemoryNeed(4032, 3024, 8, false, false, kAll), kAll);
}

TEST(MemoryBudget, RequestsAreServedInTheOrderTheyCame) {
  MemoryBudget budget(100);
  std::optional<MemoryReservation> first = budget.Reserve(40);
  std::mutex lock;
  std::vector<int> served;
  const auto request = [&](std::uint64_t bytes, int name) {
    return std::thread([&budget, &lock, &served, bytes, name] {
      const MemoryReservation reservation = budget.Reserve(bytes);
      const std::lock_guard guard(lock);
      served.push_back(name);
    });
  };
  const auto waiting = [&](std::uint64_t count) {
    for (int i = 0; i < 2000 && budget.Waiting() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return budget.Waiting();
  };
  // More than the whole budget: it waits until nothing else is reserved. A later request that
  // would fit beside the first waits behind it instead of keeping it waiting.
  std::thread large = request(150, 1);
  EXPECT_EQ(waiting(1), 1u);
  std::thread small = request(40, 2);
  EXPECT_EQ(waiting(2), 2u);
  first.reset();
  large.join();
  small.join();
  EXPECT_EQ(served, (std::vector<int>{1, 2}));
  EXPECT_EQ(budget.Reserved(), 0u);
}

}  // namespace
}  // namespace vellumora
