#include "app/input_collection.h"

#include <windows.h>

#include <exception>
#include <filesystem>
#include <system_error>
#include <unordered_set>

#include "common/text.h"

namespace vellumora {

namespace fs = std::filesystem;

namespace {

class Collector {
 public:
  explicit Collector(std::vector<std::wstring>& files) : files_(files) {}

  // Step 4: keeps a regular file with a photograph's extension, absolute, normalised and
  // only once (compared case-insensitively).
  void Offer(const fs::path& candidate) {
    if (!IsSupportedPhoto(candidate.wstring())) return;
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(candidate, ec))) return;
    std::wstring normal = fs::absolute(candidate).lexically_normal().wstring();
    if (accepted_.insert(FoldCase(normal)).second) files_.push_back(std::move(normal));
  }

  // Offers every entry of the folder in enumeration order; with `recursive`, a subfolder's
  // entries follow right after the subfolder itself. Folders that cannot be opened for lack
  // of permission are skipped; directory links (junctions, symbolic links) are offered but
  // never entered, so a link cycle cannot make the walk endless.
  void Walk(const fs::path& folder, bool recursive) {
    constexpr auto options = fs::directory_options::skip_permission_denied;
    std::vector<fs::directory_iterator> stack;
    stack.emplace_back(folder, options);
    while (!stack.empty()) {
      fs::directory_iterator& it = stack.back();
      if (it == fs::directory_iterator()) {
        stack.pop_back();
        if (!stack.empty()) ++stack.back();  // the folder just finished was the parent's current entry
        continue;
      }
      const fs::path entry = it->path();
      Offer(entry);
      if (recursive && IsEnterableFolder(entry))
        stack.emplace_back(entry, options);  // `it` advances once this subfolder is done
      else
        ++it;
    }
  }

 private:
  static bool IsEnterableFolder(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  }

  std::vector<std::wstring>& files_;
  std::unordered_set<std::wstring> accepted_;
};

}  // namespace

bool IsSupportedPhoto(const std::wstring& path) {
  const std::wstring extension = FoldCase(fs::path(path).extension().wstring());
  return extension == L".heic" || extension == L".heif" || extension == L".hif";
}

std::vector<std::wstring> CollectInputs(const std::vector<std::wstring>& paths, bool recursive, std::wstring& note) {
  std::vector<std::wstring> files;
  Collector collector(files);
  for (const std::wstring& input : paths) {
    bool missing = false;
    try {
      const fs::path path(input);
      const fs::file_status status = fs::status(path);  // raises for anything but absence
      if (fs::is_directory(status))
        collector.Walk(path, recursive);
      else if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::none)
        missing = true;
      else
        collector.Offer(path);
    } catch (const std::exception& e) {
      // Files accepted before the failure stay; the rest of this input is given up.
      note += input + L"：" + ToUtf16(e.what()) + L"\n";
      continue;
    }
    if (missing) note += L"來源不存在：" + input + L"\n";
  }
  return files;
}

}  // namespace vellumora
