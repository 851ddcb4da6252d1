#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/settings.h"
#include "convert/conversion.h"

namespace vellumora {

inline constexpr UINT WM_APP_SCAN_DONE = WM_APP + 1;
inline constexpr UINT WM_APP_CONVERT_DONE = WM_APP + 2;

// One scan: the paths to walk and the option snapshot its rows will take. Owned by its worker.
struct ScanJob {
  HWND window = nullptr;            // where the result is posted
  std::vector<std::wstring> paths;  // the dropped, picked or forwarded paths
  std::vector<std::wstring> files;  // the photographs found
  Settings options;                 // the live settings when the job was made, quick override applied
  bool quick = false;
  std::wstring note;
};

struct ScanResult {
  std::vector<std::wstring> paths;  // the collected photographs
  Settings options;                 // the job's option snapshot (quick override applied)
  bool quick = false;
  std::wstring note;
};

struct ConversionJob {
  HWND window = nullptr;  // where the result is posted
  std::uint64_t index = 0;
  std::wstring source;
  Settings options;
};

struct ConversionResult {
  std::uint64_t index = 0;  // the row's
  ConversionOutcome outcome;
};

// A scan job over `paths` with a copy of `live`; a quick format becomes the job's format and
// brings quality 95, no recycling and outputs beside their sources.
ScanJob MakeScanJob(const Settings& live, std::vector<std::wstring> paths, std::optional<OutputFormat> quickFormat);

// The thread procedures. Each posts its one result to the job's window; when the post fails
// the result is freed at once and lost.
void RunScanWorker(std::unique_ptr<ScanJob> job);
void RunConversionWorker(std::unique_ptr<ConversionJob> job);

// Scans the job's paths on a detached thread and posts WM_APP_SCAN_DONE with a heap ScanResult
// to the job's window. Raises std::system_error when no thread can be started.
void StartScanJob(ScanJob job);

// Converts one row on a detached thread and posts WM_APP_CONVERT_DONE with a heap ConversionResult.
void StartConversionJob(ConversionJob job);

}  // namespace vellumora
