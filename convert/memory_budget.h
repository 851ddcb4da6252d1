#pragma once
// Memory for the conversions of one batch that run at the same time. Each conversion asks for
// what its picture will need (estimated from the dimensions in the HEIF header, before a pixel is
// decoded) and waits while the others' reservations leave too little. Requests are served in the
// order they came: a later small one never passes an earlier large one, which would otherwise
// wait for ever while the small ones keep some memory reserved. One that needs more than the
// whole budget still runs, but only once nothing else holds memory: it is never refused.
// Plain C++: no Windows API, so the rules are tested natively too.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vellumora {

// What one conversion of a picture is expected to hold at its peak, in bytes: the larger of the
// decode (libheif's YCbCr planes, its 16-bit intermediate for more than 8 bits, the 8-bit plane
// the pipeline packs in place) and the end (the packed pixels, a PNG's encoded bytes, the
// verification decode), plus the source bytes and a fixed share for the libraries' own state.
// Deliberately on the high side; width and height are the larger of the coded and upright sizes.
// Saturates instead of wrapping: a declared size too large for 64 bits needs everything.
std::uint64_t ConversionMemoryNeed(std::uint32_t width, std::uint32_t height, std::uint32_t bitsPerSample,
                                   bool hasAlpha, bool isPng, std::uint64_t sourceBytes);

class MemoryBudget;

// Memory reserved in a budget, given back when destroyed. An empty reservation holds nothing.
class MemoryReservation {
 public:
  MemoryReservation() = default;
  MemoryReservation(MemoryBudget* budget, std::uint64_t bytes) : budget_(budget), bytes_(bytes) {}
  MemoryReservation(MemoryReservation&& other) noexcept;
  MemoryReservation& operator=(MemoryReservation&& other) noexcept;
  MemoryReservation(const MemoryReservation&) = delete;
  MemoryReservation& operator=(const MemoryReservation&) = delete;
  ~MemoryReservation();

 private:
  MemoryBudget* budget_ = nullptr;
  std::uint64_t bytes_ = 0;
};

class MemoryBudget {
 public:
  explicit MemoryBudget(std::uint64_t bytes) : total_(bytes) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Blocks until every earlier request has been served and `bytes` fit beside the memory
  // already reserved, or nothing is reserved.
  MemoryReservation Reserve(std::uint64_t bytes);

  // What is reserved now, and how many requests wait.
  std::uint64_t Reserved() const;
  std::uint64_t Waiting() const;

 private:
  friend class MemoryReservation;
  void Release(std::uint64_t bytes);

  const std::uint64_t total_;
  std::uint64_t reserved_ = 0;
  std::uint64_t nextTicket_ = 0;  // the place in line of the next request
  std::uint64_t serving_ = 0;     // the place in line of the request served next
  mutable std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace vellumora
