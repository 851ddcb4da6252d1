#pragma once
#include <string>
#include <vector>

namespace vellumora {

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

// Returns the process-wide table in the order in which the stages first finished, and empties
// it. Only benchmark builds have it: it is defined by convert/stage_timing.cpp when
// VELLUMORA_STAGE_TIMING is defined.
std::vector<StageTotal> TakeStageTotals();

}  // namespace vellumora
