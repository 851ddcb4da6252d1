#include "convert/memory_stream.h"

#include <gtest/gtest.h>

#include "convert_test_support.h"

namespace vellumora {
namespace {

using Microsoft::WRL::ComPtr;

LARGE_INTEGER Offset(long long value) {
  LARGE_INTEGER offset;
  offset.QuadPart = value;
  return offset;
}

unsigned long long Size(IStream* stream) {
  STATSTG stat{};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
  return stat.cbSize.QuadPart;
}

// What an encoder does: many small writes, seeks back to patch a length, seeks past the end.
TEST(MemoryStream, WritesSeeksAndReadsLikeAFile) {
  ComPtr<MemoryStream> stream;
  ASSERT_EQ(MemoryStream::Create(stream), S_OK);
  Bytes expected;
  for (int i = 0; i < 5000; ++i) {  // enough to grow the buffer many times
    const std::uint8_t piece[3] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8), 7};
    ULONG written = 0;
    ASSERT_EQ(stream->Write(piece, 3, &written), S_OK);
    ASSERT_EQ(written, 3u);
    expected.insert(expected.end(), piece, piece + 3);
  }
  // Overwrite across the current end: two bytes replaced, two appended.
  ULARGE_INTEGER position{};
  ASSERT_EQ(stream->Seek(Offset(-2), STREAM_SEEK_END, &position), S_OK);
  EXPECT_EQ(position.QuadPart, expected.size() - 2);
  const std::uint8_t tail[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  ASSERT_EQ(stream->Write(tail, 4, nullptr), S_OK);
  expected.resize(expected.size() - 2);
  expected.insert(expected.end(), tail, tail + 4);
  // Patch the start, then write beyond the end: the gap reads as zeros.
  ASSERT_EQ(stream->Seek(Offset(0), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->Write("\x11\x22", 2, nullptr), S_OK);
  expected[0] = 0x11;
  expected[1] = 0x22;
  ASSERT_EQ(stream->Seek(Offset(static_cast<long long>(expected.size()) + 5), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->Write("\x33", 1, nullptr), S_OK);
  expected.insert(expected.end(), 5, 0);
  expected.push_back(0x33);
  EXPECT_EQ(Size(stream.Get()), expected.size());

  // Reading back: the whole, then nothing at the end (S_OK with no bytes, like other memory streams).
  ASSERT_EQ(stream->Seek(Offset(0), STREAM_SEEK_SET, nullptr), S_OK);
  Bytes read(expected.size() + 10, 0xEE);
  ULONG count = 0;
  ASSERT_EQ(stream->Read(read.data(), static_cast<ULONG>(read.size()), &count), S_OK);
  ASSERT_EQ(count, expected.size());
  read.resize(count);
  EXPECT_EQ(read, expected);
  EXPECT_EQ(stream->Read(read.data(), 1, &count), S_OK);
  EXPECT_EQ(count, 0u);

  EXPECT_EQ(stream->TakeBytes(), expected);
  EXPECT_EQ(Size(stream.Get()), 0u);
}

TEST(MemoryStream, RefusesBadSeeksResizesAndCountsReferences) {
  ComPtr<MemoryStream> stream;
  ASSERT_EQ(MemoryStream::Create(stream), S_OK);
  ASSERT_EQ(stream->Write("abcdef", 6, nullptr), S_OK);
  ULARGE_INTEGER position{};
  ASSERT_EQ(stream->Seek(Offset(-2), STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 4u);
  EXPECT_EQ(stream->Seek(Offset(-5), STREAM_SEEK_CUR, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Offset(INT64_MIN), STREAM_SEEK_END, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Offset(INT64_MAX), STREAM_SEEK_CUR, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Offset(0), 7, nullptr), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(stream->Seek(Offset(0), STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 4u) << "a refused seek leaves the position";

  ULARGE_INTEGER size{};
  size.QuadPart = 3;
  ASSERT_EQ(stream->SetSize(size), S_OK);
  size.QuadPart = 5;
  ASSERT_EQ(stream->SetSize(size), S_OK);
  EXPECT_EQ(stream->TakeBytes(), (Bytes{'a', 'b', 'c', 0, 0}));

  ComPtr<ISequentialStream> sequential;
  EXPECT_EQ(stream.As(&sequential), S_OK);
  ComPtr<IStorage> storage;
  EXPECT_EQ(stream.As(&storage), E_NOINTERFACE);
  sequential.Reset();
  IStream* raw = stream.Detach();
  EXPECT_EQ(raw->AddRef(), 2u);
  EXPECT_EQ(raw->Release(), 1u);
  EXPECT_EQ(raw->Release(), 0u) << "the creator's reference is the only one left";
}

}  // namespace
}  // namespace vellumora
