// The measuring side of StageTimer and the stage table. Only benchmark builds define
// VELLUMORA_STAGE_TIMING; in the product this file declares nothing beyond the header and
// StageTimer stays an empty object.
#include "convert/stage_timing.h"

#ifdef VELLUMORA_STAGE_TIMING
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

#include <windows.h>
#include <psapi.h>

namespace vellumora {
namespace {

long long NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One table for the whole process: conversions may run on worker threads.
struct StageTable {
  std::mutex lock;
  std::vector<StageTotal> rows;
};

StageTable& Table() {
  static StageTable table;
  return table;
}

double PeakWorkingSetMegabytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

void AddToTable(const char* name, long long nanoseconds) {
  const double peak = PeakWorkingSetMegabytes();
  StageTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (StageTotal& row : table.rows) {
    if (row.name == name) {
      row.milliseconds += static_cast<double>(nanoseconds) / 1e6;
      ++row.count;
      row.peakMegabytes = peak;
      return;
    }
  }
  table.rows.push_back(StageTotal{name, static_cast<double>(nanoseconds) / 1e6, 1, peak});
}

}  // namespace

StageTimer::StageTimer(const char* name) : name_(name), start_(NowNanoseconds()) {}

StageTimer::~StageTimer() { AddToTable(name_, NowNanoseconds() - start_); }

std::vector<StageTotal> TakeStageTotals() {
  StageTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return std::exchange(table.rows, {});
}

}  // namespace vellumora
#endif
