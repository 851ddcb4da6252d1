#include "app/batch_schedule.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>

#include "app/conversion_slots.h"
#include "common/environment.h"
#include "common/extended_path.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "convert/output_commit.h"

namespace vellumora {

namespace {

// "volume:index" of the file a path names, when it can be asked.
std::optional<std::wstring> FileIdentity(const std::wstring& path) {
  const UniqueFileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return std::to_wstring(info.dwVolumeSerialNumber) + L":" +
         std::to_wstring((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
}

}  // namespace

std::wstring OutputNameRoot(std::wstring stem) {
  for (;;) {
    if (stem.size() < 4 || stem.back() != L')') return stem;
    std::size_t open = stem.size() - 2;
    while (open > 0 && stem[open] >= L'0' && stem[open] <= L'9') --open;
    if (open == stem.size() - 2 || stem[open] != L'(' || open == 0 || stem[open - 1] != L' ') return stem;
    stem.resize(open - 1);
  }
}

std::vector<std::vector<std::size_t>> BatchPredecessors(const std::vector<std::wstring>& files,
                                                        const Settings& settings) {
  std::vector<std::vector<std::size_t>> before(files.size());
  std::map<std::wstring, std::size_t> latest;  // key -> the latest file with it so far
  const auto follow = [&](const std::wstring& key, std::size_t i) {
    const auto [it, first] = latest.try_emplace(key, i);
    if (first) return;
    if (std::find(before[i].begin(), before[i].end(), it->second) == before[i].end()) before[i].push_back(it->second);
    it->second = i;
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ConversionRequest request{files[i], settings};
    std::wstring folder;
    try {
      folder = OutputFolder(request).wstring();
    } catch (...) {
      // No folder to compare: the conversion will fail before it names anything.
    }
    const std::wstring root = OutputNameRoot(std::filesystem::path(files[i]).stem().wstring());
    follow(L"name|" + FoldCase((std::filesystem::path(folder) / root).wstring()), i);
    if (const auto identity = FileIdentity(files[i])) follow(L"file|" + *identity, i);
  }
  return before;
}

std::size_t BatchWorkerCount(std::size_t files) {
  std::size_t workers = ConversionSlotCount();
  const std::wstring limit = EnvironmentValue(L"VELLUMORA_BATCH_WORKERS");
  if (!limit.empty() && limit.size() <= 4 && std::all_of(limit.begin(), limit.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
    const std::size_t asked = std::stoul(limit);
    if (asked >= 1) workers = std::min(workers, asked);
  }
  return std::max<std::size_t>(1, std::min(workers, files));
}

std::uint64_t BatchMemoryBudget() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  // Unknown: as much as one 12-megapixel conversion at a time needs, the batch then runs about
  // as before.
  if (!GlobalMemoryStatusEx(&status)) return 256ull * 1024 * 1024;
  return std::min(status.ullAvailPhys, status.ullAvailPageFile) / 4 * 3;
}

}  // namespace vellumora
