#include "app/background_jobs.h"

#include <exception>

#include "app/input_collection.h"
#include "common/com_apartment.h"
#include "common/detached_thread.h"
#include "common/text.h"
#include "convert/conversion.h"

namespace vellumora {

namespace {

// Hands a result to the window; the window owns it once the post succeeded, otherwise it is
// freed here and lost.
template <typename Result>
void PostResult(HWND window, UINT message, std::unique_ptr<Result> result) {
  if (PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(result.get()))) result.release();
}

}  // namespace

ScanJob MakeScanJob(const Settings& live, std::vector<std::wstring> paths, std::optional<OutputFormat> quickFormat) {
  ScanJob job;
  job.paths = std::move(paths);
  job.options = live;
  job.quick = quickFormat.has_value();
  if (job.quick) {
    // A quick start converts beside the sources at the program's default quality and never recycles.
    job.options.format = *quickFormat;
    job.options.recycle = false;
    job.options.quality = 95;
    job.options.destination = Destination::BesideSource;
  }
  return job;
}

void RunScanWorker(std::unique_ptr<ScanJob> job) {
  try {
    job->files = CollectInputs(job->paths, job->options.recursive, job->note);
  } catch (const std::exception& e) {
    job->note = ToUtf16(e.what());
    job->files.clear();
  }
  auto result = std::make_unique<ScanResult>();
  result->paths = std::move(job->files);
  result->options = std::move(job->options);
  result->quick = job->quick;
  result->note = std::move(job->note);
  PostResult(job->window, WM_APP_SCAN_DONE, std::move(result));
}

void RunConversionWorker(std::unique_ptr<ConversionJob> job) {
  auto result = std::make_unique<ConversionResult>();
  result->index = job->index;
  {
    ComApartment apartment;
    try {
      result->outcome = ConvertFile(ConversionRequest{job->source, job->options});
    } catch (const std::exception& e) {
      // ConvertFile reports its own failures; this only keeps a row from staying "converting"
      // for ever if something slips through (an allocation failure, for instance).
      result->outcome = ConversionOutcome{};
      result->outcome.error = ToUtf16(e.what());
    }
  }
  PostResult(job->window, WM_APP_CONVERT_DONE, std::move(result));
}

void StartScanJob(ScanJob job) {
  StartDetachedThread([job = std::make_unique<ScanJob>(std::move(job))]() mutable { RunScanWorker(std::move(job)); });
}

void StartConversionJob(ConversionJob job) {
  StartDetachedThread([job = std::make_unique<ConversionJob>(std::move(job))]() mutable {
    RunConversionWorker(std::move(job));
  });
}

}  // namespace vellumora
