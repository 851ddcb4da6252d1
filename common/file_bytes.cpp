#include "common/file_bytes.h"

#include <io.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "common/extended_path.h"

namespace vellumora {

namespace {
// _wfopen rather than iostreams: it takes the UTF-16 path as it is, and fclose reports the
// failure of the final flush, which is where a full disk shows up.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

void WriteFileBytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::FILE* f = _wfopen(ExtendedLengthPath(path.wstring()).c_str(), L"wb");
  if (!f) throw std::runtime_error("無法寫入檔案");
  const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  // Flushed to the disk, not only to the system's cache, before anyone renames the file into
  // place: after a power cut a renamed file must hold its bytes, not zeros.
  const bool flushed = written && std::fflush(f) == 0 && _commit(_fileno(f)) == 0;
  const bool closed = std::fclose(f) == 0;
  if (!written || !flushed || !closed) throw std::runtime_error("寫入檔案失敗（請檢查磁碟空間）");
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::unique_ptr<std::FILE, FileCloser> f(_wfopen(ExtendedLengthPath(path.wstring()).c_str(), L"rb"));
  if (!f) throw std::runtime_error("無法讀取檔案");
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[1 << 16];
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, f.get());
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (n < sizeof buffer) break;
  }
  if (std::ferror(f.get())) throw std::runtime_error("無法讀取檔案");
  return bytes;
}

}  // namespace vellumora
