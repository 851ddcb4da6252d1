#pragma once
#include <string>

#include "common/settings.h"

namespace vellumora {

// One file to convert, with the caller's own copy of the options. Of the options the
// pipeline reads format, destination, folder, quality and recycle.
struct ConversionRequest {
  std::wstring source;
  Settings options;
};

// What became of one file. Success exactly when `error` is empty; then `output` is set.
struct ConversionOutcome {
  std::wstring output;   // the committed, verified output file
  std::wstring error;    // why the conversion failed; the source was left untouched
  std::wstring warning;  // the output is committed but the recycle phase failed
  bool recycled = false; // the Shell confirmed the source is in the Recycle Bin
};

class RecycleBin;
class MemoryBudget;

// Converts one HEIF file into a verified JPG or PNG. Never throws; every failure is in the
// outcome. The calling thread must be a single-threaded COM apartment. With `recycle` on,
// the source goes to the Recycle Bin through the Shell once the output is committed.
ConversionOutcome ConvertFile(const ConversionRequest& request);

// The same, recycling through the given bin.
ConversionOutcome ConvertFile(const ConversionRequest& request, RecycleBin& bin);

// The same, for conversions that run beside others: once the HEIF header has given the picture's
// size, and before anything is decoded, the memory the conversion will need is reserved in
// `budget` (waiting while the others hold too much) and held until its pixels are gone.
ConversionOutcome ConvertFile(const ConversionRequest& request, RecycleBin& bin, MemoryBudget& budget);

}  // namespace vellumora
