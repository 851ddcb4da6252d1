// Command-line access to the byte formats, so that outside tools can check what they produce.
//   container_tool normalize-exif <block> <out>
//   container_tool strip-xmp <packet> <out>
//   container_tool zlib <data> <out>
//   container_tool build-jpg|build-png <encoded> <exif> <xmp> <icc> <out>   ("-" = no such metadata)
//   container_tool find-exif-jpg|find-exif-png <file> <out>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "convert/formats/exif_orientation.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/png_container.h"
#include "convert/formats/xmp_orientation.h"

namespace {

using vellumora::Bytes;

Bytes ReadAll(const std::string& path) {
  if (path == "-") {
    return {};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (argc == 4 && command == "normalize-exif") {
      WriteAll(argv[3], vellumora::NormalizeExifOrientation(ReadAll(argv[2])));
    } else if (argc == 4 && command == "strip-xmp") {
      WriteAll(argv[3], vellumora::StripXmpOrientation(ReadAll(argv[2])));
    } else if (argc == 4 && command == "zlib") {
      WriteAll(argv[3], vellumora::StoredZlibStream(ReadAll(argv[2])));
    } else if (argc == 7 && (command == "build-jpg" || command == "build-png")) {
      const Bytes encoded = ReadAll(argv[2]), exif = ReadAll(argv[3]), xmp = ReadAll(argv[4]), icc = ReadAll(argv[5]);
      WriteAll(argv[6], command == "build-jpg" ? vellumora::BuildJpegOutput(encoded, exif, xmp, icc)
                                               : vellumora::BuildPngOutput(encoded, exif, xmp, icc));
    } else if (argc == 4 && (command == "find-exif-jpg" || command == "find-exif-png")) {
      const Bytes file = ReadAll(argv[2]);
      WriteAll(argv[3], command == "find-exif-jpg" ? vellumora::FindJpegExif(file) : vellumora::FindPngExif(file));
    } else {
      std::fprintf(stderr, "usage: see the comment at the top of container_tool.cpp\n");
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
