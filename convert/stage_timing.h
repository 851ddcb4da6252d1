#pragma once

namespace vellumora {

// Measures one step of a conversion. In benchmark builds (VELLUMORA_STAGE_TIMING defined)
// each finished stage is reported to the stage-timing sink; in the product it costs nothing.
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

}  // namespace vellumora
