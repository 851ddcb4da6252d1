#pragma once
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "common/settings.h"

namespace vellumora {

// The JSON string literal (quotes included) of a UTF-16 text, as UTF-8 bytes.
std::string JsonString(std::wstring_view text);

// The silent batch: converts the collected files, several at once (this thread and workers of
// its own, each file while holding one of the user's conversion slots, so runs started together
// take turns), writes the JSON report, its results in the order of the files, under
// %LOCALAPPDATA%\VellumoraConvert\logs and returns the exit code (0 or 1). The calling thread
// must be a single-threaded COM apartment.
int RunQuickConversion(const CommandLine& commandLine, const Settings& settings);

}  // namespace vellumora
