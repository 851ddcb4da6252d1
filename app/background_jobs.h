#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/settings.h"

namespace vellumora {

inline constexpr UINT WM_APP_SCAN_DONE = WM_APP + 1;
inline constexpr UINT WM_APP_CONVERT_DONE = WM_APP + 2;

struct ScanResult {
  std::vector<std::wstring> paths;  // the collected photographs
  Settings options;                 // the job's option snapshot (quick override applied)
  bool quick = false;
  std::wstring note;
};

struct ConversionJob {
  std::uint64_t index = 0;
  std::wstring source;
  Settings options;
};

struct ConversionResult {
  std::uint64_t index = 0;
  std::wstring output;
  std::wstring error;
  std::wstring warning;
  bool recycled = false;
};

// Scans the paths on a detached thread with a snapshot of the window's live settings and
// posts WM_APP_SCAN_DONE with a heap ScanResult. Does nothing for an empty list.
void StartScanJob(std::vector<std::wstring> paths, const std::wstring& quickFormat);

// Converts one row on a detached thread and posts WM_APP_CONVERT_DONE with a heap ConversionResult.
void StartConversionJob(ConversionJob job);

}  // namespace vellumora
