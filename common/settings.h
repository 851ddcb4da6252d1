#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace vellumora {

// The output's file format. Outside the program it is its text, "JPG" or "PNG": in the stored
// settings, on the command line (--quick), in forwarded command lines and in the report.
enum class OutputFormat { Jpg, Png };

// Where the outputs go. Stored as the number 0 (beside the source) or 1 (into `folder`).
enum class Destination { BesideSource, Folder };

inline const wchar_t* OutputFormatText(OutputFormat format) { return format == OutputFormat::Png ? L"PNG" : L"JPG"; }

// The format named exactly "JPG" or "PNG" (letter case counts); nothing for any other text.
inline std::optional<OutputFormat> OutputFormatFromText(std::wstring_view text) {
  if (text == L"JPG") return OutputFormat::Jpg;
  if (text == L"PNG") return OutputFormat::Png;
  return std::nullopt;
}

// The user's persisted options. The same record is the option set of a conversion request,
// a scan job and a list row (where it is called RowOptions).
struct Settings {
  bool auto_ = false;          // convert rows as soon as they are added
  bool recursive = false;      // folder scans include subfolders
  bool recycle = false;        // move each verified source to the Recycle Bin
  bool silent_quick = false;   // context-menu quick conversions run without a window
  int quality = 95;            // JPG quality, 1..100 after loading
  Destination destination = Destination::BesideSource;
  OutputFormat format = OutputFormat::Jpg;
  std::wstring folder;         // output folder when destination is Folder

  bool operator==(const Settings&) const = default;
};

using RowOptions = Settings;

}  // namespace vellumora
