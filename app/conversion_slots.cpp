#include "app/conversion_slots.h"

#include <string>
#include <utility>

#include "common/environment.h"

namespace vellumora {

namespace {

// Tests watch the turns through VELLUMORA_SLOT_LOG, a folder in which every converting thread
// keeps a file of its own (<pid>.<thread id>.log: no two writers append to one file, and a batch
// converts on several threads) with a line when it has taken a slot and another before it lets
// the slot go ("enter|leave <QPC>"). Both lines are written while the slot is held, so the
// intervals they show never overlap more than the slots allow.
// Without the variable nothing is written; nothing depends on the files.
void NoteSlotEvent(const char* event) {
  const std::wstring folder = EnvironmentValue(L"VELLUMORA_SLOT_LOG");
  if (folder.empty()) return;
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const std::string line = std::string(event) + ' ' + std::to_string(now.QuadPart) + '\n';
  const std::wstring path = folder + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"." +
                           std::to_wstring(GetCurrentThreadId()) + L".log";
  const UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Per user (the instance name) and per session.
std::wstring ConversionSlotName(const std::wstring& instanceName, std::uint32_t index) {
  return L"Local\\" + instanceName + L".Slot." + std::to_wstring(index);
}

}  // namespace

std::uint32_t ConversionSlotCount() {
  const DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (processors < 1) return 1;
  return processors > MAXIMUM_WAIT_OBJECTS ? MAXIMUM_WAIT_OBJECTS : processors;
}

ConversionSlot::ConversionSlot(ConversionSlot&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}

ConversionSlot& ConversionSlot::operator=(ConversionSlot&& other) noexcept {
  if (this != &other) {
    LetGo();
    mutex_ = std::exchange(other.mutex_, nullptr);
  }
  return *this;
}

ConversionSlot::~ConversionSlot() { LetGo(); }

void ConversionSlot::LetGo() {
  if (!mutex_) return;
  NoteSlotEvent("leave");
  ReleaseMutex(std::exchange(mutex_, nullptr));
}

ConversionSlots::ConversionSlots(const std::wstring& instanceName, std::uint32_t count) {
  if (count > MAXIMUM_WAIT_OBJECTS) count = MAXIMUM_WAIT_OBJECTS;
  for (std::uint32_t i = 0; i < count; ++i) {
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, ConversionSlotName(instanceName, i).c_str()));
    if (!mutex) {
      mutexes_.clear();  // no turns rather than fewer slots than the other runs count on
      return;
    }
    mutexes_.push_back(std::move(mutex));
  }
}

ConversionSlot ConversionSlots::Acquire() {
  if (mutexes_.empty()) return {};
  std::vector<HANDLE> handles;
  for (const UniqueHandle& mutex : mutexes_) handles.push_back(mutex.get());
  const DWORD count = static_cast<DWORD>(handles.size());
  const DWORD result = WaitForMultipleObjects(count, handles.data(), FALSE, INFINITE);
  // A slot whose last owner died comes back abandoned: it is ours all the same, and the dead
  // run's file was never renamed into place (its temporary name is all it could have left).
  DWORD index = count;
  if (result < WAIT_OBJECT_0 + count) index = result - WAIT_OBJECT_0;
  else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) index = result - WAIT_ABANDONED_0;
  if (index == count) return {};
  NoteSlotEvent("enter");
  return ConversionSlot(handles[index]);
}

}  // namespace vellumora
