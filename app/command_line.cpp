#include "app/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "common/unique_handle.h"

namespace vellumora {

namespace {
struct LocalMemoryTraits {
  using Handle = LPWSTR*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { LocalFree(h); }
};
}  // namespace

CommandLine ParseCommandLine(std::wstring_view commandLine) {
  CommandLine result;
  const std::wstring text(commandLine);  // the splitter needs a terminated string
  int count = 0;
  const UniqueOwner<LocalMemoryTraits> args(CommandLineToArgvW(text.c_str(), &count));
  if (!args) return result;
  for (int i = 1; i < count; ++i) {  // argument 0 is the program
    const std::wstring_view arg = args.get()[i];
    if (arg == L"--silent") {
      result.silent = true;
    } else if (arg == L"--quick" && i + 1 < count) {
      result.quickFormat = args.get()[++i];
    } else {
      result.paths.emplace_back(arg);
    }
  }
  return result;
}

bool IsSilentQuickRun(const CommandLine& commandLine, bool silentQuickSetting) {
  return !commandLine.quickFormat.empty() && (commandLine.silent || silentQuickSetting);
}

}  // namespace vellumora
