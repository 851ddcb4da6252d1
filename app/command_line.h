#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vellumora {

struct CommandLine {
  std::vector<std::wstring> paths;  // every argument that is not an option or an option's value
  std::wstring quickFormat;         // value of --quick, as typed (OutputFormatFromText reads it); empty when absent
  bool silent = false;              // --silent present
};

// Splits a whole process command line (program path first) and reads its options.
CommandLine ParseCommandLine(std::wstring_view commandLine);

// A start that asked for a quick format and for silence (on the command line or through the
// silent_quick setting) runs without any window and never shows a message box, whether or
// not the format itself is valid.
bool IsSilentQuickRun(const CommandLine& commandLine, bool silentQuickSetting);

}  // namespace vellumora
