#include "convert/formats/json_string.h"

#include <gtest/gtest.h>

namespace vellumora {
namespace {

TEST(JsonStringUtf8, EscapesControlBytesQuoteAndBackslashOnly) {
  EXPECT_EQ(JsonStringUtf8(""), "\"\"");
  EXPECT_EQ(JsonStringUtf8(std::string_view("\0\x01\n\t\x1f", 5)), R"("\u0000\u0001\u000a\u0009\u001f")");
  EXPECT_EQ(JsonStringUtf8(R"(C:\照片\"a".heic)"), R"("C:\\照片\\\"a\".heic")");
  EXPECT_EQ(JsonStringUtf8("\x7f /<>' 完成"), "\"\x7f /<>' 完成\"");
}

}  // namespace
}  // namespace vellumora
