#include "convert/memory_budget.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace vellumora {

namespace {

constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();

std::uint64_t Times(std::uint64_t a, std::uint64_t b) { return a != 0 && b > kAll / a ? kAll : a * b; }
std::uint64_t Plus(std::uint64_t a, std::uint64_t b) { return b > kAll - a ? kAll : a + b; }

}  // namespace

std::uint64_t ConversionMemoryNeed(std::uint32_t width, std::uint32_t height, std::uint32_t bitsPerSample,
                                   bool hasAlpha, bool isPng, std::uint64_t sourceBytes) {
  const std::uint64_t pixels = Times(width, height);
  const std::uint64_t sampleBytes = bitsPerSample > 8 ? 2 : 1;
  const std::uint64_t channels = hasAlpha ? 4 : 3;
  // Decoding: the coded planes (taken as 4:4:4, the widest), the 16-bit interleaved picture
  // libheif makes before it reduces more than 8 bits, and the 8-bit plane.
  const std::uint64_t decode = Times(pixels, channels * sampleBytes + (sampleBytes > 1 ? channels * 2 : 0) + channels);
  // The end: the packed pixels beside the verification decode; a PNG's encoded stream can grow
  // to about the size of the pixels (noisy photographs compress little).
  const std::uint64_t finish = Times(pixels, channels * (isPng ? 3 : 2));
  constexpr std::uint64_t kLibraryState = 16ull * 1024 * 1024;
  return Plus(Plus(std::max(decode, finish), sourceBytes), kLibraryState);
}

MemoryReservation::MemoryReservation(MemoryReservation&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

MemoryReservation& MemoryReservation::operator=(MemoryReservation&& other) noexcept {
  if (this != &other) {
    if (budget_) budget_->Release(bytes_);
    budget_ = std::exchange(other.budget_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

MemoryReservation::~MemoryReservation() {
  if (budget_) budget_->Release(bytes_);
}

MemoryReservation MemoryBudget::Reserve(std::uint64_t bytes) {
  {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = nextTicket_++;
    changed_.wait(lock, [&] {
      return ticket == serving_ && (reserved_ == 0 || bytes <= total_ - std::min(total_, reserved_));
    });
    ++serving_;
    reserved_ = Plus(reserved_, bytes);
  }
  changed_.notify_all();  // the next in line may fit too
  return MemoryReservation(this, bytes);
}

std::uint64_t MemoryBudget::Reserved() const {
  const std::lock_guard lock(mutex_);
  return reserved_;
}

std::uint64_t MemoryBudget::Waiting() const {
  const std::lock_guard lock(mutex_);
  return nextTicket_ - serving_;
}

void MemoryBudget::Release(std::uint64_t bytes) {
  {
    const std::lock_guard lock(mutex_);
    reserved_ -= std::min(reserved_, bytes);
  }
  changed_.notify_all();
}

}  // namespace vellumora
