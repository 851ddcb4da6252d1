#include "convert/metadata.h"

#include <gtest/gtest.h>

#include "convert_test_support.h"
#include "convert/heif_decoder.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;

// A test photograph opened with libheif, to which blocks are added in memory: the limits are
// exercised through libheif's own answers without writing 64 MiB files.
class MetadataTest : public ::testing::Test {
 protected:
  void Open(const char* name) {
    const fs::path fixture = FixturesDir() / ToUtf16(name);
    ASSERT_TRUE(fs::exists(fixture)) << name;
    heif_.primary.reset();  // the handle before its context, both before their bytes
    heif_.context.reset();
    bytes_ = ReadAll(fixture);
    heif_ = OpenHeif(bytes_);
  }
  struct Block {
    Bytes data;
    const char* type;
    const char* contentType;
  };
  // Adds blocks to the primary image, writes the file to memory and opens the result: the
  // reading side sees the blocks exactly as it would in a file.
  void Add(const std::vector<Block>& blocks) {
    for (const Block& block : blocks)
      ASSERT_EQ(heif_context_add_generic_metadata(heif_.context.get(), heif_.primary.get(), block.data.data(),
                                                  static_cast<int>(block.data.size()), block.type, block.contentType)
                    .code,
                heif_error_Ok);
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, size_t size, void* userdata) {
      auto* out = static_cast<Bytes*>(userdata);
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      out->insert(out->end(), bytes, bytes + size);
      return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
    };
    Bytes written;
    ASSERT_EQ(heif_context_write(heif_.context.get(), &writer, &written).code, heif_error_Ok);
    // The old context reads the old bytes: release it before they go.
    heif_.primary.reset();
    heif_.context.reset();
    bytes_ = std::move(written);
    heif_ = OpenHeif(bytes_);
  }
  std::string Failure() { return FailureOf([&] { ExtractMetadata(heif_.primary.get()); }); }

  Bytes bytes_;
  OpenedHeif heif_;
};

TEST_F(MetadataTest, NoMetadataGivesAnEmptyRecord) {
  Open("rgb-64x48.heic");
  const ExtractedMetadata metadata = ExtractMetadata(heif_.primary.get());
  EXPECT_TRUE(metadata.exif.empty());
  EXPECT_TRUE(metadata.xmp.empty());
  EXPECT_TRUE(metadata.icc.empty());
}

TEST_F(MetadataTest, XmpIsRecognisedByContentTypeAndStripped) {
  Open("rgb-64x48.heic");
  const std::string packet = R"(<x:xmpmeta tiff:Orientation="3" a="b"/>)";
  const Bytes bytes(packet.begin(), packet.end());
  Add({{bytes, "mime", "text/plain"}, {bytes, "mime", "application/rdf+xml"}, {bytes, "mime", "application/rdf+xml"}});
  const ExtractedMetadata metadata = ExtractMetadata(heif_.primary.get());
  const std::string kept(metadata.xmp.begin(), metadata.xmp.end());
  EXPECT_EQ(kept, R"(<x:xmpmeta  a="b"/>)");
}

TEST_F(MetadataTest, AColourProfileThatIsNotRgbIsRefused) {
  // The output is RGB: a grey profile (a monochrome photograph's) would make it invalid.
  Open("icc-small.heic");
  const Bytes rgb = {'m', 'n', 't', 'r', 'R', 'G', 'B', ' ', 'X', 'Y', 'Z', ' '};
  const auto at = std::search(bytes_.begin(), bytes_.end(), rgb.begin(), rgb.end());
  ASSERT_NE(at, bytes_.end());
  std::copy_n("GRAY", 4, at + 4);
  heif_.primary.reset();
  heif_.context.reset();
  heif_ = OpenHeif(bytes_);
  EXPECT_EQ(Failure(), "ICC 色彩描述檔不是 RGB 格式，已保留原檔");
}

TEST_F(MetadataTest, AnOversizedBlockOfAnotherKindIsNeverRead) {
  Open("rgb-64x48.heic");
  Add({{Bytes(kMaxMetadataBlockSize + 1, ' '), "mime", "text/plain"}});
  EXPECT_EQ(Failure(), "(no exception)");
}

TEST_F(MetadataTest, AnXmpBlockOfTheLimitIsTakenAndOneByteMoreFails) {
  Open("rgb-64x48.heic");
  Add({{Bytes(kMaxMetadataBlockSize, ' '), "mime", "application/rdf+xml"}});
  EXPECT_EQ(ExtractMetadata(heif_.primary.get()).xmp.size(), kMaxMetadataBlockSize);
  Open("rgb-64x48.heic");
  Add({{Bytes(kMaxMetadataBlockSize + 1, ' '), "mime", "application/rdf+xml"}});
  EXPECT_EQ(Failure(), "中繼資料過大");
}

TEST_F(MetadataTest, ASecondExifBlockIsSizeCheckedThenDiscarded) {
  Open("rgb-64x48.heic");
  const Bytes first = {0, 0, 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
  const Bytes second = {0, 0, 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0};
  Add({{first, "Exif", nullptr}, {second, "Exif", nullptr}});
  EXPECT_EQ(ExtractMetadata(heif_.primary.get()).exif,
            (Bytes{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}));
  Open("rgb-64x48.heic");
  Add({{first, "Exif", nullptr}, {Bytes(kMaxMetadataBlockSize + 1, 0), "Exif", nullptr}});
  EXPECT_EQ(Failure(), "中繼資料過大");
}

TEST_F(MetadataTest, AMalformedFirstExifFailsEvenWhenAGoodOneFollows) {
  Open("rgb-64x48.heic");
  Add({{Bytes{0, 0, 0, 0, 'I'}, "Exif", nullptr}, {Bytes{0, 0, 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}, "Exif", nullptr}});
  EXPECT_EQ(Failure(), "EXIF 資料損壞，已保留原檔");
}

}  // namespace
}  // namespace vellumora
