#include "app/quick_conversion.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "app/conversion_slots.h"
#include "app/input_collection.h"
#include "app/single_instance.h"
#include "common/environment.h"
#include "common/file_bytes.h"
#include "common/guid_text.h"
#include "common/text.h"
#include "convert/conversion.h"
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

}  // namespace

std::string JsonString(std::wstring_view text) { return JsonStringUtf8(ToUtf8(text)); }

int RunQuickConversion(const CommandLine& commandLine, const Settings& settings) {
  std::wstring note;
  const std::vector<std::wstring> files = CollectInputs(commandLine.paths, settings.recursive, note);
  bool failed = false;

  std::string report = "{\"format\":" + JsonString(settings.format) + ",\"results\":[";
  bool first = true;
  // Runs started together by Explorer (one per selected photograph) take turns, a file at a time.
  ConversionSlots slots(InstanceName(), files.empty() ? 0 : ConversionSlotCount());
  for (const std::wstring& file : files) {
    ConversionOutcome outcome;
    {
      const ConversionSlot slot = slots.Acquire();
      outcome = ConvertFile(ConversionRequest{file, settings});
    }
    if (!first) report += ',';
    first = false;
    report += "{\"source\":" + JsonString(file);
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
