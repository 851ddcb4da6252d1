#include "convert/formats/xmp_orientation.h"

#include <gtest/gtest.h>

#include <random>
// libstdc++'s <regex> trips GCC's -Wmaybe-uninitialized inside std::function at -O2.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <string>

#include "formats_test_support.h"

namespace vellumora {
namespace {

std::string Strip(std::string_view text) {
  const Bytes out = StripXmpOrientation(test::B(text));
  return std::string(out.begin(), out.end());
}

// The two replacements the stripping stands for.
std::string StripWithRegex(const std::string& text) {
  static const std::regex attribute("tiff:Orientation=\"[1-8]\"", std::regex::ECMAScript);
  static const std::regex element("<tiff:Orientation>[1-8]</tiff:Orientation>", std::regex::ECMAScript);
  return std::regex_replace(std::regex_replace(text, attribute, ""), element, "");
}

TEST(StripXmpOrientation, RemovesAttributeAndElementForms) {
  EXPECT_EQ(Strip(R"(<rdf:Description tiff:Orientation="6" tiff:Make="X"/>)"),
            R"(<rdf:Description  tiff:Make="X"/>)");
  EXPECT_EQ(Strip("<a><tiff:Orientation>3</tiff:Orientation></a>"), "<a></a>");
  EXPECT_EQ(Strip(R"(tiff:Orientation="1"tiff:Orientation="8")"), "");
  EXPECT_EQ(Strip(""), "");
}

TEST(StripXmpOrientation, KeepsFormsThePatternsDoNotMatch) {
  for (const char* kept : {"tiff:Orientation='6'", "tiff:Orientation = \"6\"", "tiff:Orientation=\"9\"",
                           "tiff:Orientation=\"0\"", "tiff:Orientation=\"66\"", "exif:Orientation=\"6\"",
                           "Tiff:Orientation=\"6\"", "<tiff:Orientation> 3 </tiff:Orientation>",
                           "<tiff:Orientation>3</tiff:orientation>", "tiff:Orientation=\"6"}) {
    EXPECT_EQ(Strip(kept), kept);
  }
}

TEST(StripXmpOrientation, OnePassPerPatternInOrder) {
  // The attribute pass exposes an element, which the second pass removes.
  EXPECT_EQ(Strip(R"(<tiff:Orientation>tiff:Orientation="2"5</tiff:Orientation>)"), "");
  // Text that only forms an attribute once a match is cut out stays: no rescanning.
  EXPECT_EQ(Strip(R"(tiff:Orientatiotiff:Orientation="1"n="2")"), R"(tiff:Orientation="2")");
  // The element pass does not re-expose attributes to the first pass.
  EXPECT_EQ(Strip(R"(tiff:Orientation=<tiff:Orientation>4</tiff:Orientation>"3")"), R"(tiff:Orientation="3")");
}

TEST(StripXmpOrientation, KeepsZeroAndHighBytes) {
  const std::string text("\0\xE6\x96\xB9tiff:Orientation=\"6\"\xFF\0", 26);
  EXPECT_EQ(Strip(text), std::string("\0\xE6\x96\xB9\xFF\0", 6));
}

TEST(StripXmpOrientation, MatchesTheRegularExpressionsOnRandomText) {
  // Random sequences of pattern fragments, so that whole, broken and nested matches all occur.
  const char* fragments[] = {"tiff:Orientation=\"", "<tiff:Orientation>", "</tiff:Orientation>", "\"", "1",
                             "8",  "9", "tiff:", "Orientation", "<", ">", "=", " ", "t", "\0"};
  std::mt19937 rng(20240607);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int parts = static_cast<int>(rng() % 24);
    for (int i = 0; i < parts; ++i) {
      const auto& f = fragments[rng() % std::size(fragments)];
      text += f[0] == '\0' ? std::string(1, '\0') : std::string(f);
    }
    ASSERT_EQ(Strip(text), StripWithRegex(text)) << text;
  }
}

}  // namespace
}  // namespace vellumora

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
