#pragma once
// Turns for the silent runs of one user: Explorer starts one process per selected photograph,
// and a hundred decoders at once would swap an ordinary laptop for minutes. A run holds one of
// a fixed number of slots while it converts a file. Each slot is a named mutex rather than one
// count of a semaphore, because Windows hands a mutex on (abandoned) when its owner dies,
// whereas a count taken by a killed process would be lost for good.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace vellumora {

// As many slots as logical processors, at least 1 and at most the 64 objects one wait can watch.
std::uint32_t ConversionSlotCount();

// A slot held by this thread; let go (ReleaseMutex) when it is destroyed. An empty slot holds nothing.
class ConversionSlot {
 public:
  ConversionSlot() = default;
  explicit ConversionSlot(HANDLE mutex) : mutex_(mutex) {}
  ConversionSlot(const ConversionSlot&) = delete;
  ConversionSlot& operator=(const ConversionSlot&) = delete;
  ConversionSlot(ConversionSlot&& other) noexcept;
  ConversionSlot& operator=(ConversionSlot&& other) noexcept;  // lets go of the slot held before
  ~ConversionSlot();

 private:
  void LetGo();
  HANDLE mutex_ = nullptr;  // owned by the slot set
};

// The slot mutexes of one user, "Local\<instance name>.Slot.<i>", opened (or created) once per run.
class ConversionSlots {
 public:
  ConversionSlots(const std::wstring& instanceName, std::uint32_t count);

  // Waits without polling until a slot is free and takes it. When the slots could not be made
  // or the wait fails, the run goes on without one (an empty slot): taking turns saves memory,
  // it must never stop a conversion.
  ConversionSlot Acquire();

 private:
  std::vector<UniqueHandle> mutexes_;
};

}  // namespace vellumora
