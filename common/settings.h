#pragma once
#include <string>

namespace vellumora {

// The user's persisted options. The same record is the option set of a conversion request,
// a scan job and a list row (where it is called RowOptions).
struct Settings {
  bool auto_ = false;          // convert rows as soon as they are added
  bool recursive = false;      // folder scans include subfolders
  bool recycle = false;        // move each verified source to the Recycle Bin
  bool silent_quick = false;   // context-menu quick conversions run without a window
  int quality = 95;            // JPG quality, 1..100 after loading
  int destination = 0;         // 0: beside the source; 1: into `folder`
  std::wstring format = L"JPG";  // "JPG" or "PNG" after loading
  std::wstring folder;         // output folder when destination is 1

  bool operator==(const Settings&) const = default;
};

using RowOptions = Settings;

}  // namespace vellumora
