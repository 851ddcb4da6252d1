#include "convert/memory_budget.h"

#include <algorithm>
#include <utility>

namespace vellumora {

std::uint64_t ConversionMemoryNeed(std::uint32_t width, std::uint32_t height, std::uint32_t bitsPerSample,
                                   bool hasAlpha, bool isPng, std::uint64_t sourceBytes) {
  const std::uint64_t pixels = std::uint64_t{width} * height;
  const std::uint64_t sampleBytes = bitsPerSample > 8 ? 2 : 1;
  const std::uint64_t channels = hasAlpha ? 4 : 3;
  // Decoding: the coded planes (taken as 4:4:4, the widest), the 16-bit interleaved picture
  // libheif makes before it reduces more than 8 bits, and the 8-bit plane.
  const std::uint64_t decode = pixels * (channels * sampleBytes + (sampleBytes > 1 ? channels * 2 : 0) + channels);
  // The end: the packed pixels beside the verification decode; a PNG's encoded stream can grow
  // to about the size of the pixels (noisy photographs compress little).
  const std::uint64_t finish = pixels * channels * (isPng ? 3 : 2);
  constexpr std::uint64_t kLibraryState = 16ull * 1024 * 1024;
  return std::max(decode, finish) + sourceBytes + kLibraryState;
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
  std::unique_lock lock(mutex_);
  freed_.wait(lock, [&] { return reserved_ == 0 || bytes <= total_ - std::min(total_, reserved_); });
  reserved_ += bytes;
  return MemoryReservation(this, bytes);
}

void MemoryBudget::Release(std::uint64_t bytes) {
  {
    const std::lock_guard lock(mutex_);
    reserved_ -= bytes;
  }
  freed_.notify_all();
}

}  // namespace vellumora
