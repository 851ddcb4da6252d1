#pragma once
// How a silent batch spreads its files over threads: how many convert at once, the memory they
// share, and which files must wait for an earlier one so that the batch ends as it would have
// ended converting one file after another. Plain C++ on plain data: no Windows API, so the
// rules are tested natively too (the batch gathers the keys, the slots and the memory figures).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vellumora {

// The output names a stem can end up with are "stem" and "stem (n)"; two stems whose roots
// (every trailing " (n)" taken off) are equal can compete for one name, others never can.
std::wstring OutputNameRoot(std::wstring stem);

// What the schedule compares of one file: the names its output can take (the output folder
// joined with the name root, folded as the file system folds letter case), and which file the
// source is (volume and file index; empty when it cannot be asked).
struct BatchFileKeys {
  std::wstring outputNames;
  std::wstring sourceFile;
};

// For each file, the earlier files (indices) it must not start before they have finished: the
// latest earlier file whose output can take a name this one could take (equal output names), and
// the latest earlier one that is the same file under another name (equal source files). Converted
// in that order, such files get the names and the failures (a source already recycled) that one
// at a time gives them.
std::vector<std::vector<std::size_t>> BatchPredecessors(const std::vector<BatchFileKeys>& files);

// How many files a batch converts at once: one per conversion slot, no more than there are
// files, and no more than `limitText` (VELLUMORA_BATCH_WORKERS) when that is a positive number
// (1: one file after another on the calling thread), for tests and benchmarks that compare the two.
std::size_t BatchWorkerCount(std::size_t slots, std::size_t files, std::wstring_view limitText);

// The memory the conversions of one batch may reserve together: three quarters of what the
// system can still give, the smaller of the free physical memory and the free commit.
std::uint64_t BatchMemoryBudget(std::uint64_t freePhysical, std::uint64_t freeCommit);

}  // namespace vellumora
