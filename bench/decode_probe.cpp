// decode_probe: decodes one HEIF file the way the conversion pipeline does and times the two
// halves (open and decode) separately, several times in a row. It builds for Windows (run
// under Wine or on Windows) and natively against the same libheif, so that the two can be
// compared on the same machine.
//
//   decode_probe [--repeat N] [--threads N] FILE
//
// --threads N calls heif_context_set_max_decoding_threads(N) on each context (libheif's tile
// threads; 0 decodes the tiles of a grid one after another on the calling thread). Without it
// the library default is kept, as in the product.
//
// Output: one line per run, then a RESULT line with medians, all in milliseconds.
#include <libheif/heif.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/alloc_counter.h"

namespace vellumora {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return static_cast<bool>(in) || in.eof();
}

struct RunTimes {
  double open = 0;
  double decode = 0;
  double release = 0;
  int width = 0;
  int height = 0;
  uint64_t checksum = 0;
};

// One pass exactly as the pipeline calls libheif: read from memory without copying, primary
// handle, default decoding options with convert_hdr_to_8bit, RGB interleaved RGBA.
bool DecodeOnce(const std::vector<uint8_t>& bytes, int threads, RunTimes& times) {
  const auto openStart = Clock::now();
  heif_context* context = heif_context_alloc();
  if (!context) return false;
  if (threads >= 0) heif_context_set_max_decoding_threads(context, threads);
  heif_error err = heif_context_read_from_memory_without_copy(context, bytes.data(), bytes.size(), nullptr);
  heif_image_handle* handle = nullptr;
  if (err.code == heif_error_Ok) err = heif_context_get_primary_image_handle(context, &handle);
  times.open = MillisecondsSince(openStart);
  if (err.code != heif_error_Ok) {
    std::fprintf(stderr, "open failed: %s\n", err.message ? err.message : "?");
    heif_context_free(context);
    return false;
  }

  const auto decodeStart = Clock::now();
  heif_decoding_options* options = heif_decoding_options_alloc();
  options->convert_hdr_to_8bit = 1;
  heif_image* image = nullptr;
  err = heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, options);
  times.decode = MillisecondsSince(decodeStart);
  bool ok = err.code == heif_error_Ok;
  if (!ok) {
    std::fprintf(stderr, "decode failed: %s\n", err.message ? err.message : "?");
  } else {
    times.width = heif_image_get_width(image, heif_channel_interleaved);
    times.height = heif_image_get_height(image, heif_channel_interleaved);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    // A cheap checksum over a sparse sample of the pixels: proves both builds decode alike
    // without costing noticeable time.
    uint64_t sum = 0;
    for (int y = 0; y < times.height; y += 7) {
      const uint8_t* row = plane + static_cast<size_t>(y) * static_cast<size_t>(stride);
      for (int x = 0; x < times.width * 4; x += 13) sum = sum * 31 + row[x];
    }
    times.checksum = sum;
  }

  const auto releaseStart = Clock::now();
  if (image) heif_image_release(image);
  heif_decoding_options_free(options);
  heif_image_handle_release(handle);
  heif_context_free(context);
  times.release = MillisecondsSince(releaseStart);
  return ok;
}

int Run(int argc, char** argv) {
  int repeat = 5;
  int threads = -1;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    } else {
      path = argv[i];
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: decode_probe [--repeat N] [--threads N] FILE\n");
    return 2;
  }
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }

  std::vector<double> opens, decodes, releases, totals;
  RunTimes times;
  for (int i = 0; i < repeat; ++i) {
    AllocCounts before = CurrentAllocCounts();
    if (!DecodeOnce(bytes, threads, times)) return 1;
    AllocCounts after = CurrentAllocCounts();
    opens.push_back(times.open);
    decodes.push_back(times.decode);
    releases.push_back(times.release);
    totals.push_back(times.open + times.decode + times.release);
    std::printf("run %d: open %.1f decode %.1f release %.1f ms  %dx%d checksum %016llx", i + 1, times.open,
                times.decode, times.release, times.width, times.height,
                static_cast<unsigned long long>(times.checksum));
    if (after.enabled) {
      std::printf("  allocations %llu (%llu of <=1 KiB, %llu of >1 MiB; %.1f MB), frees %llu, largest %.1f MB",
                  static_cast<unsigned long long>(after.calls - before.calls),
                  static_cast<unsigned long long>(after.small - before.small),
                  static_cast<unsigned long long>(after.huge - before.huge),
                  static_cast<double>(after.bytes - before.bytes) / 1e6,
                  static_cast<unsigned long long>(after.frees - before.frees),
                  static_cast<double>(after.largest) / 1e6);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  std::printf("RESULT open_ms=%.1f decode_ms=%.1f release_ms=%.1f total_ms=%.1f runs=%d threads=%d libheif=%s\n",
              Median(opens), Median(decodes), Median(releases), Median(totals), repeat, threads,
              heif_get_version());
  return 0;
}

}  // namespace
}  // namespace vellumora

int main(int argc, char** argv) { return vellumora::Run(argc, argv); }
