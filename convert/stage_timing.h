#pragma once
#ifdef VELLUMORA_STAGE_TIMING
#include <string>
#include <vector>
#endif

namespace vellumora {

// Measures one step of a conversion. In benchmark builds (VELLUMORA_STAGE_TIMING defined)
// each finished stage is added to the process's stage table; in the product it costs nothing.
class StageTimer {
 public:
#ifdef VELLUMORA_STAGE_TIMING
  explicit StageTimer(const char* name);
  ~StageTimer();
#else
  explicit StageTimer(const char*) {}
#endif
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

#ifdef VELLUMORA_STAGE_TIMING
 private:
  const char* name_;
  long long start_;
#endif
};

#ifdef VELLUMORA_STAGE_TIMING
// Time spent in one named stage of the conversion pipeline, summed over every StageTimer of
// that name since the table was last taken.
struct StageTotal {
  std::string name;
  double milliseconds = 0;
  long long count = 0;
  // The process's peak working set when the stage last ended, in MiB: the first stage at
  // which it reaches its final value is where the conversion's memory peaks.
  double peakMegabytes = 0;
};

// Returns the process-wide table in the order in which the stages first finished, and empties it.
std::vector<StageTotal> TakeStageTotals();
#endif

}  // namespace vellumora
