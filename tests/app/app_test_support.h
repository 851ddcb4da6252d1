#pragma once
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/file_bytes.h"
#include "common/guid_text.h"

namespace vellumora::test {

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() : path_(std::filesystem::temp_directory_path() / (L"vc-app-" + NewGuidText())) {
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return (path_ / name).wstring(); }

 private:
  std::filesystem::path path_;
};

// Sets (or with nullopt removes) a process environment variable and restores it afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    if (n > 0 && n < 32768) old_ = std::wstring(buffer, n);
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

// Changes the current directory for one scope.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::filesystem::path& path) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~ScopedCurrentDirectory() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::filesystem::path old_;
};

// A path of the build host as the Windows program sees it: Wine shows the host's root as Z:.
inline std::wstring HostPath(const char* path) {
  std::wstring text(path, path + std::char_traits<char>::length(path));
  if (text.empty() || text.front() != L'/') return text;  // already a Windows path
  for (wchar_t& c : text)
    if (c == L'/') c = L'\\';
  return L"Z:" + text;
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

inline std::string ReadText(const std::filesystem::path& path) {
  const auto bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Every file directly in the folder (none when it does not exist).
inline std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    files.push_back(it->path());
  return files;
}

}  // namespace vellumora::test
