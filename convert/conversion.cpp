#include "convert/conversion.h"

#include <exception>
#include <stdexcept>

#include "common/text.h"

namespace vellumora {

ConversionOutcome ConvertFile(const ConversionRequest& request) {
  ConversionOutcome outcome;
  try {
    const std::wstring& format = request.options.format;
    if (format != L"JPG" && format != L"PNG") throw std::runtime_error("不支援的輸出格式");
    if (request.options.destination != 0 && request.options.folder.empty())
      throw std::runtime_error("請先指定輸出資料夾；原始檔案保持不變");
    // The decoding and encoding steps are not wired in yet: say so rather than pretend.
    throw std::runtime_error("轉換失敗，已保留原檔");
  } catch (const std::exception& e) {
    outcome = {};
    outcome.error = ToUtf16(e.what());
  } catch (...) {
    outcome = {};
    outcome.error = L"轉換失敗，已保留原檔";
  }
  return outcome;
}

}  // namespace vellumora
