#pragma once
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace vellumora {

// Creates or truncates the file and writes every byte, then flushes it to the disk and closes it.
// Raises "無法寫入檔案" when it cannot be opened and "寫入檔案失敗（請檢查磁碟空間）" when the
// write, flush or close fails. A partly written file is left for the caller to remove.
void WriteFileBytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Every byte of the file; raises "無法讀取檔案" when it cannot be opened or read.
std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);

}  // namespace vellumora
