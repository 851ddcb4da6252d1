#include "app/batch_schedule.h"

#include <algorithm>
#include <map>

namespace vellumora {

std::wstring OutputNameRoot(std::wstring stem) {
  for (;;) {
    if (stem.size() < 4 || stem.back() != L')') return stem;
    std::size_t open = stem.size() - 2;
    while (open > 0 && stem[open] >= L'0' && stem[open] <= L'9') --open;
    if (open == stem.size() - 2 || stem[open] != L'(' || open == 0 || stem[open - 1] != L' ') return stem;
    stem.resize(open - 1);
  }
}

std::vector<std::vector<std::size_t>> BatchPredecessors(const std::vector<BatchFileKeys>& files) {
  std::vector<std::vector<std::size_t>> before(files.size());
  std::map<std::wstring, std::size_t> latest;  // key -> the latest file with it so far
  const auto follow = [&](const std::wstring& key, std::size_t i) {
    const auto [it, first] = latest.try_emplace(key, i);
    if (first) return;
    if (std::find(before[i].begin(), before[i].end(), it->second) == before[i].end()) before[i].push_back(it->second);
    it->second = i;
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    follow(L"name|" + files[i].outputNames, i);
    if (!files[i].sourceFile.empty()) follow(L"file|" + files[i].sourceFile, i);
  }
  return before;
}

std::size_t BatchWorkerCount(std::size_t slots, std::size_t files, std::wstring_view limitText) {
  std::size_t workers = slots;
  if (!limitText.empty() && limitText.size() <= 4 &&
      std::all_of(limitText.begin(), limitText.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
    std::size_t asked = 0;
    for (const wchar_t c : limitText) asked = asked * 10 + static_cast<std::size_t>(c - L'0');
    if (asked >= 1) workers = std::min(workers, asked);
  }
  return std::max<std::size_t>(1, std::min(workers, files));
}

std::uint64_t BatchMemoryBudget(std::uint64_t freePhysical, std::uint64_t freeCommit) {
  return std::min(freePhysical, freeCommit) / 4 * 3;
}

}  // namespace vellumora
