// Builds the JPG and the PNG container from fuzzer-chosen Exif, XMP and ICC data around a minimal
// encoded file, then takes both apart with an independent reader: every segment and chunk must hold
// exactly what went in, the encoder's bytes must follow unchanged, and FindJpegExif / FindPngExif
// must return the Exif block again. Sizes are drawn at the format limits now and then, else small and
// random; limits may only be reported with their messages, and only when they are really exceeded.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "convert/formats/exif_orientation.h"
#include "convert/formats/jpeg_container.h"
#include "convert/formats/png_container.h"
#include "fuzz_check.h"

namespace {

using vellumora::Bytes;
using vellumora::fuzz::Require;

// SOI, an APP0 header, a start of scan with two bytes of entropy data and EOI.
const Bytes kJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00,
                     0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00,
                     0x3F, 0x00, 0xD2, 0xCF, 0xFF, 0xD9};

// A valid 1x1 grey PNG: signature, IHDR, IDAT, IEND.
const Bytes kPng = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
                    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00,
                    0x00, 0x3A, 0x7E, 0x9B, 0x55, 0x00, 0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x78,
                    0x9C, 0x63, 0x68, 0x00, 0x00, 0x00, 0x82, 0x00, 0x81, 0x77, 0xCD, 0x72, 0xB6, 0x00,
                    0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

constexpr const char* kJpegTooLarge = "JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留";
constexpr const char* kIccTooLarge = "ICC 色彩描述檔超過 JPG 限制";

std::size_t PickSize(FuzzedDataProvider& fdp, std::initializer_list<std::size_t> near, std::size_t maxRandom) {
  // One draw in eight takes a size at a limit: those inputs are large and slow, the rest stay small.
  if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) {
    const auto index = fdp.ConsumeIntegralInRange<std::size_t>(0, near.size() - 1);
    return *(near.begin() + index);
  }
  return fdp.ConsumeIntegralInRange<std::size_t>(0, maxRandom);
}

Bytes Fill(std::size_t size, const Bytes& seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = seed.empty() ? static_cast<std::uint8_t>(i * 131 + (i >> 8)) : seed[i % seed.size()];
  }
  return out;
}

// CRC-32 and Adler-32 written independently of the library's versions (table built here from the
// polynomial; Adler sums reduced every 4,096 bytes, far below the overflow bound).
std::uint32_t SlowCrc32(const std::uint8_t* p, std::size_t n) {
  static const std::vector<std::uint32_t> table = [] {
    std::vector<std::uint32_t> t(256);
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

std::uint32_t SlowAdler32(const Bytes& d) {
  std::uint64_t a = 1, b = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    a += d[i];
    b += a;
    if (i % 4096 == 4095) {
      a %= 65521;
      b %= 65521;
    }
  }
  return static_cast<std::uint32_t>(((b % 65521) << 16) | (a % 65521));
}

std::uint32_t Be32(const Bytes& d, std::size_t at) {
  Require(at + 4 <= d.size(), "read past the end");
  return (std::uint32_t{d[at]} << 24) | (std::uint32_t{d[at + 1]} << 16) | (std::uint32_t{d[at + 2]} << 8) | d[at + 3];
}

bool HasPrefix(const Bytes& d, std::size_t at, std::size_t end, std::string_view prefix) {
  return end - at >= prefix.size() && std::equal(prefix.begin(), prefix.end(), d.begin() + static_cast<std::ptrdiff_t>(at));
}

void CheckJpeg(const Bytes& exif, const Bytes& xmp, const Bytes& icc) {
  Bytes out;
  try {
    out = vellumora::BuildJpegOutput(kJpeg, exif, xmp, icc);
  } catch (const std::runtime_error& e) {
    const bool segmentTooLarge = exif.size() > 65533 || xmp.size() > 65504;
    if (segmentTooLarge) {
      vellumora::fuzz::RequireMessage(e, {kJpegTooLarge});
    } else {
      vellumora::fuzz::RequireMessage(e, {kIccTooLarge});
      Require(icc.size() > 16707345, "ICC limit reported below the limit");
    }
    return;
  }
  Require(exif.size() <= 65533 && xmp.size() <= 65504 && icc.size() <= 16707345, "limit not enforced");

  Bytes gotExif, gotXmp, gotIcc;
  std::size_t p = 2;
  std::size_t expectedSeq = 1;
  Require(out[0] == 0xFF && out[1] == 0xD8, "no SOI");
  while (out.size() - p >= 4 && out[p] == 0xFF && (out[p + 1] == 0xE1 || out[p + 1] == 0xE2)) {
    const std::size_t length = (std::size_t{out[p + 2]} << 8) | out[p + 3];
    Require(length >= 2 && p + 2 + length <= out.size(), "segment runs past the end");
    const std::size_t body = p + 4;
    const std::size_t end = p + 2 + length;
    if (out[p + 1] == 0xE1 && HasPrefix(out, body, end, vellumora::kJpegXmpIdentifier)) {
      Require(gotXmp.empty() && gotIcc.empty(), "XMP segment out of order");
      gotXmp.assign(out.begin() + static_cast<std::ptrdiff_t>(body + 29), out.begin() + static_cast<std::ptrdiff_t>(end));
    } else if (out[p + 1] == 0xE1) {
      Require(gotExif.empty() && gotXmp.empty() && gotIcc.empty(), "Exif segment out of order");
      gotExif.assign(out.begin() + static_cast<std::ptrdiff_t>(body), out.begin() + static_cast<std::ptrdiff_t>(end));
    } else {
      Require(HasPrefix(out, body, end, vellumora::kJpegIccIdentifier) && end - body >= 15, "bad ICC segment");
      const std::size_t chunks = (icc.size() + 65518) / 65519;
      Require(out[body + 12] == expectedSeq && out[body + 13] == chunks, "bad ICC sequence");
      Require(expectedSeq == chunks || end - body == 65533, "short ICC chunk before the last");
      ++expectedSeq;
      gotIcc.insert(gotIcc.end(), out.begin() + static_cast<std::ptrdiff_t>(body + 14), out.begin() + static_cast<std::ptrdiff_t>(end));
    }
    p = end;
  }
  Require(gotExif == exif && gotXmp == xmp && gotIcc == icc, "JPG metadata differs");
  Require(out.size() - p == kJpeg.size() - 2 && std::equal(kJpeg.begin() + 2, kJpeg.end(), out.begin() + static_cast<std::ptrdiff_t>(p)),
          "encoder bytes changed");
  Require(vellumora::FindJpegExif(out) == exif, "FindJpegExif differs");
}

Bytes InflateStored(const Bytes& z) {
  Require(z.size() >= 2 + 5 + 4 && z[0] == 0x78 && z[1] == 0x01, "bad zlib header");
  Bytes out;
  std::size_t p = 2;
  for (;;) {
    Require(z.size() - p >= 5, "block header past the end");
    const std::uint8_t head = z[p];
    Require((head & 0xFE) == 0, "not a stored block");
    const std::size_t len = z[p + 1] | (std::size_t{z[p + 2]} << 8);
    const std::size_t nlen = z[p + 3] | (std::size_t{z[p + 4]} << 8);
    Require((len ^ 0xFFFF) == nlen, "NLEN mismatch");
    Require(z.size() - p - 5 >= len, "block past the end");
    out.insert(out.end(), z.begin() + static_cast<std::ptrdiff_t>(p + 5), z.begin() + static_cast<std::ptrdiff_t>(p + 5 + len));
    p += 5 + len;
    if (head == 1) break;
    Require(len == 65535, "short block before the last");
  }
  Require(z.size() - p == 4 && Be32(z, p) == SlowAdler32(out), "bad Adler-32 trailer");
  return out;
}

void CheckPng(const Bytes& exif, const Bytes& xmp, const Bytes& icc) {
  const Bytes out = vellumora::BuildPngOutput(kPng, exif, xmp, icc);
  Require(std::equal(kPng.begin(), kPng.begin() + 33, out.begin()), "signature or IHDR changed");
  Bytes gotExif, gotXmp, gotIcc;
  bool sawExif = false, sawIcc = false, sawXmp = false;
  std::size_t p = 33;
  for (;;) {
    const std::size_t length = Be32(out, p);
    Require(out.size() - p >= 12 + length, "chunk past the end");
    const std::string_view type(reinterpret_cast<const char*>(&out[p + 4]), 4);
    Require(Be32(out, p + 8 + length) == SlowCrc32(&out[p + 4], length + 4), "bad chunk CRC");
    const Bytes data(out.begin() + static_cast<std::ptrdiff_t>(p + 8), out.begin() + static_cast<std::ptrdiff_t>(p + 8 + length));
    if (type == "eXIf") {
      Require(!sawExif && !sawIcc && !sawXmp, "eXIf out of order");
      sawExif = true;
      gotExif.assign(vellumora::kExifMarker.begin(), vellumora::kExifMarker.end());
      gotExif.insert(gotExif.end(), data.begin(), data.end());
    } else if (type == "iCCP") {
      Require(!sawIcc && !sawXmp && HasPrefix(data, 0, data.size(), std::string_view("ICC\0\0", 5)), "bad iCCP");
      sawIcc = true;
      gotIcc = InflateStored(Bytes(data.begin() + 5, data.end()));
    } else if (type == "iTXt") {
      Require(!sawXmp && HasPrefix(data, 0, data.size(), std::string_view("XML:com.adobe.xmp\0\0\0\0\0", 22)), "bad iTXt");
      sawXmp = true;
      gotXmp.assign(data.begin() + 22, data.end());
    } else {
      break;
    }
    p += 12 + length;
  }
  Require(gotExif == exif && gotXmp == xmp && gotIcc == icc, "PNG metadata differs");
  Require(out.size() - p == kPng.size() - 33 && std::equal(kPng.begin() + 33, kPng.end(), out.begin() + static_cast<std::ptrdiff_t>(p)),
          "encoder chunks changed");
  Require(vellumora::FindPngExif(out) == exif, "FindPngExif differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const std::size_t exifSize = PickSize(fdp, {0, 6, 14, 65533, 65534}, 2048);
  const std::size_t xmpSize = PickSize(fdp, {0, 1, 65504, 65505}, 2048);
  const std::size_t iccSize = PickSize(fdp, {0, 1, 65519, 65520, 65535, 65536, 131038, 131039, 131070, 131071}, 4096);
  const Bytes exifSeed = fdp.ConsumeBytes<std::uint8_t>(fdp.ConsumeIntegralInRange<std::size_t>(0, 64));
  const Bytes xmpSeed = fdp.ConsumeBytes<std::uint8_t>(fdp.ConsumeIntegralInRange<std::size_t>(0, 64));
  const Bytes iccSeed = fdp.ConsumeRemainingBytes<std::uint8_t>();

  // A kept Exif block always starts with the marker; below six bytes there is none.
  Bytes exif;
  if (exifSize >= 6) {
    exif.assign(vellumora::kExifMarker.begin(), vellumora::kExifMarker.end());
    const Bytes rest = Fill(exifSize - 6, exifSeed);
    exif.insert(exif.end(), rest.begin(), rest.end());
  }
  const Bytes xmp = Fill(xmpSize, xmpSeed);
  const Bytes icc = Fill(iccSize, iccSeed);

  CheckJpeg(exif, xmp, icc);
  CheckPng(exif, xmp, icc);
  return 0;
}
