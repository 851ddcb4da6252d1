// scan_bench: times CollectInputs over a folder tree (scripts/bench.sh makes one with 10,000
// files in nested folders), several times in a row.
//
//   scan_bench [--repeat N] [--flat] FOLDER
//
// Output: one line per run, then a RESULT line with the median in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/input_collection.h"

namespace vellumora {
namespace {

int Run(int argc, wchar_t** argv) {
  int repeat = 5;
  bool recursive = true;
  std::wstring folder;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--repeat" && i + 1 < argc) {
      repeat = std::max(1, _wtoi(argv[++i]));
    } else if (arg == L"--flat") {
      recursive = false;
    } else {
      folder = arg;
    }
  }
  if (folder.empty()) {
    std::fprintf(stderr, "usage: scan_bench [--repeat N] [--flat] FOLDER\n");
    return 2;
  }
  std::vector<double> times;
  for (int i = 0; i < repeat; ++i) {
    std::wstring note;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::wstring> files = CollectInputs({folder}, recursive, note);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    times.push_back(ms);
    std::printf("run %d: %.1f ms, %zu photographs, note %zu characters\n", i + 1, ms, files.size(), note.size());
    std::fflush(stdout);
  }
  std::sort(times.begin(), times.end());
  std::printf("RESULT scan_ms=%.1f runs=%d recursive=%d\n", times[times.size() / 2], repeat, recursive ? 1 : 0);
  return 0;
}

}  // namespace
}  // namespace vellumora

int wmain(int argc, wchar_t** argv) { return vellumora::Run(argc, argv); }
