#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vellumora {

struct CommandLine {
  std::vector<std::wstring> paths;  // every argument that is not an option or an option's value
  std::wstring quickFormat;         // value of --quick; empty when absent
  bool silent = false;              // --silent present
};

// Splits a whole process command line (program path first) and reads its options.
CommandLine ParseCommandLine(std::wstring_view commandLine);

// True for the exact quick formats "JPG" and "PNG".
bool IsValidQuickFormat(std::wstring_view format);

}  // namespace vellumora
