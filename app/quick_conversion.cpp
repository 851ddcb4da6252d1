#include "app/quick_conversion.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "app/batch_schedule.h"
#include "app/conversion_slots.h"
#include "app/input_collection.h"
#include "app/single_instance.h"
#include "common/com_apartment.h"
#include "common/environment.h"
#include "common/file_bytes.h"
#include "common/file_identity.h"
#include "common/guid_text.h"
#include "common/text.h"
#include "convert/conversion.h"
#include "convert/memory_budget.h"
#include "convert/output_commit.h"
#include "convert/recycle.h"
#include "convert/formats/json_string.h"

namespace vellumora {

namespace {

// Writes the report as LOCALAPPDATA\VellumoraConvert\logs\silent-{GUID}.json. Returns false
// (leaving no report behind) when the folder, the name or the file cannot be made.
bool WriteReport(const std::string& report) {
  std::filesystem::path file;
  try {
    const std::filesystem::path folder =
        std::filesystem::path(EnvironmentValue(L"LOCALAPPDATA")) / L"VellumoraConvert" / L"logs";
    std::filesystem::create_directories(folder);
    file = folder / (L"silent-" + NewGuidText() + L".json");
    WriteFileBytes(file, std::span(reinterpret_cast<const std::uint8_t*>(report.data()), report.size()));
    return true;
  } catch (...) {
    // A truncated report would read as a different run: remove whatever part was written.
    if (!file.empty()) DeleteFileW(file.c_str());
    return false;
  }
}

// What the schedule compares of each file: the folded output folder and name root, and the
// source's identity.
std::vector<BatchFileKeys> BatchKeysOf(const std::vector<std::wstring>& files, const Settings& settings) {
  std::vector<BatchFileKeys> keys;
  keys.reserve(files.size());
  for (const std::wstring& file : files) {
    std::wstring folder;
    try {
      folder = OutputFolder(ConversionRequest{file, settings}).wstring();
    } catch (...) {
      // No folder to compare: the conversion will fail before it names anything.
    }
    BatchFileKeys key;
    const std::wstring root = OutputNameRoot(std::filesystem::path(file).stem().wstring());
    key.outputNames = FileSystemFold((std::filesystem::path(folder) / root).wstring());
    if (const auto identity = IdentityOfFile(file))
      key.sourceFile = std::to_wstring(identity->volume) + L":" + std::to_wstring(identity->index);
    keys.push_back(std::move(key));
  }
  return keys;
}

// The batch's memory budget from what the system can still give now. Unknown: as much as one
// 12-megapixel conversion at a time needs, the batch then runs about as one file after another.
std::uint64_t FreeMemoryBudget() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return 256ull * 1024 * 1024;
  return BatchMemoryBudget(status.ullAvailPhys, status.ullAvailPageFile);
}

// The files of one batch and how far each has come; shared by its workers under `mutex`.
struct BatchState {
  enum class Step { Waiting, Converting, Done };
  std::vector<Step> steps;
  std::vector<std::vector<std::size_t>> before;  // BatchPredecessors
  std::vector<ConversionOutcome> outcomes;
  std::mutex mutex;
  std::condition_variable finished;  // a file is done
};

// The first waiting file whose predecessors are all done, marked as converting; none when every
// file has been taken. Waits while files are left but each waits for one still converting.
std::optional<std::size_t> TakeNextFile(BatchState& batch) {
  std::unique_lock lock(batch.mutex);
  for (;;) {
    bool left = false;
    for (std::size_t i = 0; i < batch.steps.size(); ++i) {
      if (batch.steps[i] != BatchState::Step::Waiting) continue;
      left = true;
      const auto& before = batch.before[i];
      if (std::all_of(before.begin(), before.end(),
                      [&](std::size_t j) { return batch.steps[j] == BatchState::Step::Done; })) {
        batch.steps[i] = BatchState::Step::Converting;
        return i;
      }
    }
    if (!left) return std::nullopt;
    batch.finished.wait(lock);
  }
}

// One worker: takes files until none is left, converting each while it holds one of the user's
// conversion slots, taken once the file's memory is reserved. Never throws (a worker thread
// must not).
void ConvertFiles(BatchState& batch, const std::vector<std::wstring>& files, const Settings& settings,
                  ConversionSlots& slots, MemoryBudget& memory) noexcept {
  for (;;) {
    std::optional<std::size_t> next;
    ConversionOutcome outcome;
    try {
      next = TakeNextFile(batch);
      if (!next) return;
      ShellRecycleBin bin;
      ConversionSlot slot;
      outcome = ConvertFile(ConversionRequest{files[*next], settings}, bin,
                            SharedConversion{memory, [&] { slot = slots.Acquire(); }});
    } catch (...) {
      if (!next) return;  // the batch's own lock failed: the other workers finish the files
      outcome = {};
      outcome.error = L"轉換失敗，已保留原檔";
    }
    {
      const std::lock_guard lock(batch.mutex);
      batch.outcomes[*next] = std::move(outcome);
      batch.steps[*next] = BatchState::Step::Done;
    }
    batch.finished.notify_all();
  }
}

// Converts every file, as many at once as the workers allow, and returns the outcomes in the
// order of the files. Runs started together by Explorer (one per selected photograph) and the
// workers of this one take turns through the user's conversion slots; the batch's conversions
// share one memory budget, so a very large photograph does not run beside more than fits.
std::vector<ConversionOutcome> ConvertAll(const std::vector<std::wstring>& files, const Settings& settings) {
  BatchState batch;
  batch.steps.assign(files.size(), BatchState::Step::Waiting);
  batch.outcomes.resize(files.size());
  batch.before = BatchPredecessors(BatchKeysOf(files, settings));
  ConversionSlots slots(InstanceName(), files.empty() ? 0 : ConversionSlotCount());
  MemoryBudget memory(FreeMemoryBudget());

  // This thread is one of the workers (its COM apartment is the entry's); each other worker
  // enters an apartment of its own. Joined std::threads: only detached ones are a problem.
  std::vector<std::thread> others;
  const std::size_t workers =
      BatchWorkerCount(ConversionSlotCount(), files.size(), EnvironmentValue(L"VELLUMORA_BATCH_WORKERS"));
  for (std::size_t w = 1; w < workers; ++w) {
    try {
      others.emplace_back([&] {
        const ComApartment apartment;
        ConvertFiles(batch, files, settings, slots, memory);
      });
    } catch (...) {
      break;  // fewer threads: the files are converted all the same
    }
  }
  ConvertFiles(batch, files, settings, slots, memory);
  for (std::thread& thread : others) thread.join();
  return std::move(batch.outcomes);
}

}  // namespace

std::string JsonString(std::wstring_view text) { return JsonStringUtf8(ToUtf8(text)); }

int RunQuickConversion(const CommandLine& commandLine, const Settings& settings) {
  std::wstring note;
  const std::vector<std::wstring> files = CollectInputs(commandLine.paths, settings.recursive, note);
  const std::vector<ConversionOutcome> outcomes = ConvertAll(files, settings);
  bool failed = false;

  std::string report = "{\"format\":" + JsonString(OutputFormatText(settings.format)) + ",\"results\":[";
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ConversionOutcome& outcome = outcomes[i];
    if (i != 0) report += ',';
    report += "{\"source\":" + JsonString(files[i]);
    report += ",\"status\":" + JsonString(outcome.error.empty() ? L"完成" : L"失敗");
    if (!outcome.output.empty()) report += ",\"output\":" + JsonString(outcome.output);
    if (!outcome.error.empty()) {
      report += ",\"error\":" + JsonString(outcome.error);
      failed = true;
    }
    if (!outcome.warning.empty()) {
      // A source left in place although recycling was asked for fails the run too.
      report += ",\"warning\":" + JsonString(outcome.warning);
      failed = true;
    }
    if (settings.recycle) report += outcome.recycled ? ",\"recycled\":true" : ",\"recycled\":false";
    report += '}';
  }
  report += ']';
  if (!note.empty()) {
    report += ",\"error\":" + JsonString(note);
    failed = true;
  }
  report += failed ? ",\"exit_code\":1}" : ",\"exit_code\":0}";

  if (!WriteReport(report)) failed = true;
  return failed ? 1 : 0;
}

}  // namespace vellumora
