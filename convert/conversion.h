#pragma once
#include <functional>
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

// What a conversion that runs beside others waits for, in this order. First the memory its
// picture needs, reserved in `memory` as soon as the HEIF header has given the size (before
// anything is decoded), waiting in line while the others hold too much, and held until its
// pixels are gone. Then `takeTurn`, which blocks until it is the conversion's turn among the
// user's runs and lets the caller hold that turn until ConvertFile returns. So a conversion that
// waits for memory never sits on a turn that another could use.
struct SharedConversion {
  MemoryBudget& memory;
  std::function<void()> takeTurn;
};

// The same, for a conversion that runs beside others.
ConversionOutcome ConvertFile(const ConversionRequest& request, RecycleBin& bin, const SharedConversion& shared);

}  // namespace vellumora
