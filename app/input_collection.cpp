#include "app/input_collection.h"

#include <windows.h>

#include <exception>
#include <filesystem>
#include <unordered_set>

#include "common/check_hr.h"
#include "common/extended_path.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace vellumora {

namespace fs = std::filesystem;

namespace {

// The attributes of a path (links not followed), or INVALID_FILE_ATTRIBUTES with the error.
// Every path goes to the file system in its extended-length form: deep folders and names that
// end in a dot or a space are found as named.
DWORD AttributesOf(const std::wstring& path) { return GetFileAttributesW(ExtendedLengthPath(path).c_str()); }

bool IsFolder(DWORD attributes) { return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY); }

// The path with every short (8.3) name replaced by the long one; the path itself when nothing
// changes or the system cannot say.
std::wstring LongName(const std::wstring& path) {
  // The extended form first: it reaches deep paths and names that end in a dot. Wine leaves a
  // path in that form as it is, so the plain form is tried next.
  for (const std::wstring& form : {ExtendedLengthPath(path), path}) {
    const DWORD size = GetLongPathNameW(form.c_str(), nullptr, 0);
    if (size == 0) continue;
    std::wstring buffer(size, L'\0');
    const DWORD length = GetLongPathNameW(form.c_str(), buffer.data(), size);
    if (length == 0 || length >= size) continue;
    buffer.resize(length);
    if (buffer != form) return WithoutExtendedPrefix(buffer);
  }
  return path;
}

// A user-given path made absolute (a relative one against the current folder) and lexically
// normal. A path that is already fully qualified is not handed to the system's clean-up, which
// would drop a trailing dot or space from its last name. A short (8.3) name, as some programs
// pass for deep paths, becomes the long name, so that the output is named after the photograph.
std::wstring AbsoluteNormal(const std::wstring& input) {
  fs::path path(input);
  if (!(path.has_root_name() && path.has_root_directory())) path = fs::absolute(path);
  const std::wstring normal = path.lexically_normal().wstring();
  return normal.find(L'~') == std::wstring::npos ? normal : LongName(normal);
}

class Collector {
 public:
  explicit Collector(std::vector<std::wstring>& files) : files_(files) {}

  // Keeps a regular file with a photograph's extension, absolute, normalised and only once
  // (compared case-insensitively). `attributes` are the entry's as the walk found them.
  void Offer(const std::wstring& absolute, DWORD attributes) {
    if (!IsSupportedPhoto(absolute)) return;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
      return;
    if (accepted_.insert(FoldCase(absolute)).second) files_.push_back(absolute);
  }

  // Offers every entry of the folder in enumeration order; with `recursive`, a subfolder's
  // entries follow right after the subfolder itself. Folders that cannot be opened for lack
  // of permission are skipped (the folder given itself is not: the note says so); directory links (junctions, symbolic links) are offered but
  // never entered, so a link cycle cannot make the walk endless. Any other failure to open or
  // read a folder ends the walk with an error (files accepted so far stay).
  void Walk(const std::wstring& folder, bool recursive) {
    struct Level {
      std::wstring folder;
      UniqueFindHandle find;
    };
    std::vector<Level> stack;
    WIN32_FIND_DATAW entry{};
    auto open = [&](const std::wstring& path) {
      const std::wstring pattern = ExtendedLengthPath(path + (path.ends_with(L'\\') ? L"*" : L"\\*"));
      UniqueFindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                             nullptr, FIND_FIRST_EX_LARGE_FETCH));
      if (!find) {
        const DWORD error = GetLastError();
        // An empty drive root has no entry at all; a subfolder closed to us is skipped.
        if (error == ERROR_FILE_NOT_FOUND || (error == ERROR_ACCESS_DENIED && !stack.empty())) return false;
        CheckHr(HRESULT_FROM_WIN32(error), "無法讀取資料夾");
      }
      stack.push_back(Level{path, std::move(find)});
      return true;
    };
    bool have = open(folder);
    while (!stack.empty()) {
      if (!have) {
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES) CheckHr(HRESULT_FROM_WIN32(error), "無法讀取資料夾");
        stack.pop_back();
        have = !stack.empty() && FindNextFileW(stack.back().find.get(), &entry);
        continue;
      }
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") {
        have = FindNextFileW(stack.back().find.get(), &entry);
        continue;
      }
      const std::wstring& parent = stack.back().folder;
      const std::wstring path = parent + (parent.ends_with(L'\\') ? L"" : L"\\") + name;
      const DWORD attributes = entry.dwFileAttributes;
      Offer(path, attributes);
      const bool enter = recursive && (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
      // Entered: this subfolder's entries come next; its parent goes on once they are done.
      if (!(enter && open(path))) have = FindNextFileW(stack.back().find.get(), &entry);
    }
  }

 private:
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
      const std::wstring path = AbsoluteNormal(input);
      const DWORD attributes = AttributesOf(path);
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME &&
            error != ERROR_BAD_NETPATH && error != ERROR_BAD_NET_NAME)
          CheckHr(HRESULT_FROM_WIN32(error), "無法讀取來源");
        missing = true;
      } else if (IsFolder(attributes)) {
        collector.Walk(path, recursive);
      } else {
        collector.Offer(path, attributes);
      }
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
