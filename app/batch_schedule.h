#pragma once
// How a silent batch spreads its files over threads: how many convert at once, the memory they
// share, and which files must wait for an earlier one so that the batch ends as it would have
// ended converting one file after another.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/settings.h"

namespace vellumora {

// The output names a stem can end up with are "stem" and "stem (n)"; two stems whose roots
// (every trailing " (n)" taken off) are equal can compete for one name, others never can.
std::wstring OutputNameRoot(std::wstring stem);

// For each file, the earlier files (indices) it must not start before they have finished: the
// latest earlier file whose output can take a name this one could take (same output folder and
// name root, case-folded), and the latest earlier one that is the same file under another name
// (volume and file index). Converted in that order, such files get the names and the failures
// (a source already recycled) that one at a time gives them.
std::vector<std::vector<std::size_t>> BatchPredecessors(const std::vector<std::wstring>& files,
                                                        const Settings& settings);

// How many files a batch converts at once: one per conversion slot (the logical processors), no
// more than there are files. VELLUMORA_BATCH_WORKERS, a positive number, lowers that bound (1:
// one file after another on the calling thread), for tests and benchmarks that compare the two.
std::size_t BatchWorkerCount(std::size_t files);

// The memory the conversions of one batch may reserve together: three quarters of what the
// system can still give (the smaller of the free physical memory and the free commit), measured
// when the batch starts.
std::uint64_t BatchMemoryBudget();

}  // namespace vellumora
