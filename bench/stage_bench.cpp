// stage_bench: converts one photograph with ConvertFile several times, in a build whose
// pipeline has stage timing switched on, and prints where each conversion spent its time.
//
//   stage_bench [--repeat N] [--format JPG|PNG] [--quality Q] --out FOLDER FILE
//
// Each output is deleted after its run, so every run writes the same final name.
// Output: per run one line with every stage; then one RESULT line per stage with the median,
// and RESULT total / untimed (the time outside any stage, e.g. creating the WIC factory).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/com_apartment.h"
#include "common/text.h"
#include "convert/conversion.h"
#include "convert/stage_timing.h"

namespace vellumora {
namespace {

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

int Run(int argc, wchar_t** argv) {
  int repeat = 5;
  ConversionRequest request;
  request.options.format = OutputFormat::Jpg;
  request.options.quality = 75;
  request.options.destination = Destination::Folder;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--repeat" && i + 1 < argc) {
      repeat = std::max(1, _wtoi(argv[++i]));
    } else if (arg == L"--format" && i + 1 < argc) {
      request.options.format = OutputFormatFromText(argv[++i]).value_or(OutputFormat::Jpg);
    } else if (arg == L"--quality" && i + 1 < argc) {
      request.options.quality = _wtoi(argv[++i]);
    } else if (arg == L"--out" && i + 1 < argc) {
      request.options.folder = argv[++i];
    } else {
      request.source = arg;
    }
  }
  if (request.source.empty() || request.options.folder.empty()) {
    std::fprintf(stderr, "usage: stage_bench [--repeat N] [--format JPG|PNG] [--quality Q] --out FOLDER FILE\n");
    return 2;
  }
  ComApartment com;
  if (FAILED(com.result())) return 1;

  std::vector<std::string> order;  // stages in the order they first appeared
  std::map<std::string, std::vector<double>> perStage;
  std::vector<double> totals, untimed;
  for (int i = 0; i < repeat; ++i) {
    TakeStageTotals();
    const auto start = std::chrono::steady_clock::now();
    const ConversionOutcome outcome = ConvertFile(request);
    const double total = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::vector<StageTotal> stages = TakeStageTotals();
    if (!outcome.error.empty()) {
      std::fprintf(stderr, "conversion failed: %s\n", ToUtf8(outcome.error).c_str());
      return 1;
    }
    DeleteFileW(outcome.output.c_str());
    double timed = 0;
    std::printf("run %d: total %.1f ms |", i + 1, total);
    for (const StageTotal& stage : stages) {
      if (perStage.find(stage.name) == perStage.end()) order.push_back(stage.name);
      perStage[stage.name].push_back(stage.milliseconds);
      timed += stage.milliseconds;
      std::printf(" %s %.1f (peak %.0f MiB)", stage.name.c_str(), stage.milliseconds, stage.peakMegabytes);
    }
    std::printf("\n");
    std::fflush(stdout);
    totals.push_back(total);
    untimed.push_back(total - timed);
  }
  for (const std::string& name : order)
    std::printf("RESULT stage=%s ms=%.1f\n", name.c_str(), Median(perStage[name]));
  std::printf("RESULT stage=untimed ms=%.1f\n", Median(untimed));
  std::printf("RESULT stage=total ms=%.1f runs=%d format=%s\n", Median(totals), repeat,
              ToUtf8(OutputFormatText(request.options.format)).c_str());
  return 0;
}

}  // namespace
}  // namespace vellumora

int wmain(int argc, wchar_t** argv) { return vellumora::Run(argc, argv); }
