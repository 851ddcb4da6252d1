#include "convert/recycle.h"

#include <gtest/gtest.h>
#include <shobjidl.h>

#include <atomic>
#include <functional>
#include <thread>

#include "convert_test_support.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;
using Microsoft::WRL::ComPtr;

constexpr const wchar_t* kNotConfirmed = L"Windows 未確認移至資源回收筒，請檢查原檔";

// ---- The sink on its own.

class RecycleSinkTest : public ComTest {
 protected:
  void SetUp() override {
    const fs::path file = dir_ / L"item.heic";
    WriteAll(file, Bytes{1});
    ASSERT_HRESULT_SUCCEEDED(SHCreateItemFromParsingName(file.c_str(), nullptr, IID_PPV_ARGS(&item_)));
    sink_ = RecycleSink::Create();
  }
  ScratchDir dir_;
  ComPtr<IShellItem> item_;
  ComPtr<RecycleSink> sink_;
};

TEST_F(RecycleSinkTest, AnswersForItsTwoInterfacesOnlyAndCountsReferences) {
  void* unknown = nullptr;
  EXPECT_EQ(sink_->QueryInterface(IID_IUnknown, &unknown), S_OK);
  void* progress = nullptr;
  EXPECT_EQ(sink_->QueryInterface(IID_IFileOperationProgressSink, &progress), S_OK);
  EXPECT_EQ(unknown, progress);
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(sink_->QueryInterface(IID_IShellItem, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  // Three references now: the test's own and the two handed out above.
  EXPECT_EQ(sink_->AddRef(), 4u);
  EXPECT_EQ(sink_->Release(), 3u);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 2u);
  EXPECT_EQ(static_cast<IUnknown*>(progress)->Release(), 1u);
}

TEST_F(RecycleSinkTest, RefusesAPermanentDeleteAndRecordsOnlyAConfirmedRecycle) {
  EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, item_.Get()), S_OK);
  EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE | TSF_OVERWRITE_EXIST, item_.Get()), S_OK);
  EXPECT_EQ(sink_->PreDeleteItem(0, item_.Get()), E_ABORT);
  EXPECT_EQ(sink_->PreDeleteItem(TSF_OVERWRITE_EXIST, item_.Get()), E_ABORT);

  EXPECT_EQ(sink_->PostDeleteItem(0, item_.Get(), S_OK, nullptr), S_OK);
  EXPECT_FALSE(sink_->recycled()) << "deleted outright, no item in the Recycle Bin";
  sink_->PostDeleteItem(0, item_.Get(), E_FAIL, item_.Get());
  EXPECT_FALSE(sink_->recycled()) << "an item but a failure result";
  sink_->PostDeleteItem(0, item_.Get(), S_OK, item_.Get());
  EXPECT_TRUE(sink_->recycled());
}

// ---- The recycle phase of ConvertFile, through a bin that plays the Shell.

class FakeRecycleBin : public RecycleBin {
 public:
  std::function<RecycleReport(const std::wstring&)> answer;
  std::vector<std::wstring> calls;
  RecycleReport MoveToRecycleBin(const std::wstring& path) override {
    calls.push_back(path);
    return answer(path);
  }
};

class RecyclePhaseTest : public ComTest {
 protected:
  void SetUp() override {
    const fs::path fixture = FixturesDir() / L"rgb-64x48.heic";
    if (!fs::exists(fixture)) GTEST_SKIP() << "test photographs missing";
    source_ = dir_ / L"rgb-64x48.heic";
    fs::copy_file(fixture, source_);
    request_.source = source_.wstring();
    request_.options.format = L"JPG";
    request_.options.recycle = true;
  }

  // The output is committed and kept whatever the recycle phase says.
  void ExpectOutputKept(const ConversionOutcome& outcome) {
    EXPECT_EQ(outcome.error, L"");
    EXPECT_EQ(fs::path(outcome.output), dir_ / L"rgb-64x48.jpg");
    EXPECT_TRUE(fs::exists(outcome.output));
    EXPECT_FALSE(HasTemporaryFile(dir_.path()));
  }

  ScratchDir dir_;
  fs::path source_;
  ConversionRequest request_;
  FakeRecycleBin bin_;
};

TEST_F(RecyclePhaseTest, ConfirmedRecycleSetsRecycled) {
  bin_.answer = [](const std::wstring& path) {
    DeleteFileW(path.c_str());  // the Shell moved it away
    return RecycleReport{false, true};
  };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  ExpectOutputKept(outcome);
  EXPECT_TRUE(outcome.recycled);
  EXPECT_EQ(outcome.warning, L"");
  EXPECT_EQ(bin_.calls, std::vector<std::wstring>{source_.wstring()});
}

TEST_F(RecyclePhaseTest, AbortedOrUnconfirmedRecycleIsAWarningAndTheSourceStays) {
  for (const RecycleReport report : {RecycleReport{true, false}, RecycleReport{false, false}, RecycleReport{true, true}}) {
    bin_.answer = [&](const std::wstring&) { return report; };
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    ExpectOutputKept(outcome);
    EXPECT_FALSE(outcome.recycled);
    EXPECT_EQ(outcome.warning, kNotConfirmed);
    EXPECT_TRUE(fs::exists(source_));
    fs::remove(outcome.output);
  }
}

TEST_F(RecyclePhaseTest, TheShellRefusingToRecycleThereIsAbortedByTheSink) {
  // Plays the Shell on a volume without a Recycle Bin: it announces a plain delete, the sink
  // refuses it, nothing is deleted, and the operation reports the abort.
  bin_.answer = [](const std::wstring& path) {
    ComPtr<IShellItem> item;
    SHCreateItemFromParsingName(path.c_str(), nullptr, IID_PPV_ARGS(&item));
    const ComPtr<RecycleSink> sink = RecycleSink::Create();
    RecycleReport report;
    if (sink->PreDeleteItem(0, item.Get()) == E_ABORT) {
      sink->PostDeleteItem(0, item.Get(), HRESULT_FROM_WIN32(ERROR_CANCELLED), nullptr);
      report.anyAborted = true;
    } else {
      DeleteFileW(path.c_str());
    }
    report.recycled = sink->recycled();
    return report;
  };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  ExpectOutputKept(outcome);
  EXPECT_EQ(outcome.warning, kNotConfirmed);
  EXPECT_TRUE(fs::exists(source_));
}

TEST_F(RecyclePhaseTest, AFailingShellStepBecomesTheWarning) {
  bin_.answer = [](const std::wstring&) -> RecycleReport {
    throw std::runtime_error("此位置無法安全回收，已保留原檔 (0x80270000)");
  };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  ExpectOutputKept(outcome);
  EXPECT_EQ(outcome.warning, L"此位置無法安全回收，已保留原檔 (0x80270000)");
  EXPECT_FALSE(outcome.recycled);
  EXPECT_TRUE(fs::exists(source_));
}

TEST_F(RecyclePhaseTest, NothingHappensWithoutTheRecycleSetting) {
  request_.options.recycle = false;
  bin_.answer = [](const std::wstring&) { return RecycleReport{false, true}; };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  ExpectOutputKept(outcome);
  EXPECT_TRUE(bin_.calls.empty());
  EXPECT_FALSE(outcome.recycled);
  EXPECT_EQ(outcome.warning, L"");
}

TEST_F(RecyclePhaseTest, AFailedConversionNeverRecycles) {
  WriteAll(source_, Bytes{'n', 'o', 't', ' ', 'h', 'e', 'i', 'f'});
  bin_.answer = [](const std::wstring&) { return RecycleReport{false, true}; };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  EXPECT_NE(outcome.error, L"");
  EXPECT_TRUE(bin_.calls.empty());
  EXPECT_EQ(outcome.warning, L"");
  EXPECT_TRUE(outcome.output.empty());
}

TEST_F(RecyclePhaseTest, ASourceTouchedDuringTheConversionIsNotRecycled) {
  // A second program changes the source's write time while the conversion holds it (the
  // read-only share mode keeps writers out, not attribute changes). The touch is made before
  // the output exists, so the re-check necessarily comes after it.
  std::atomic<bool> touched{false}, tooLate{false};
  const fs::path output = dir_ / L"rgb-64x48.jpg";
  std::thread other([&] {
    for (int i = 0; i < 20000 && !touched; ++i) {
      HANDLE writer = CreateFileW(source_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
      if (writer != INVALID_HANDLE_VALUE) {  // not held yet
        CloseHandle(writer);
        Sleep(0);
        continue;
      }
      if (GetLastError() != ERROR_SHARING_VIOLATION) continue;
      FILETIME now{};
      GetSystemTimeAsFileTime(&now);
      touched = SetTimes(source_, nullptr, &now);
      tooLate = fs::exists(output);
    }
  });
  bin_.answer = [](const std::wstring&) { return RecycleReport{false, true}; };
  request_.options.format = L"PNG";  // slower to encode and verify: a wider window
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  other.join();
  if (!touched || tooLate) GTEST_SKIP() << "the other program did not get its turn in time";
  EXPECT_EQ(outcome.error, L"");
  EXPECT_TRUE(fs::exists(outcome.output));
  EXPECT_EQ(outcome.warning, L"原檔在轉換期间已被修改，已保留原檔");
  EXPECT_FALSE(outcome.recycled);
  EXPECT_TRUE(bin_.calls.empty());
  EXPECT_TRUE(fs::exists(source_));
}

// ---- The real Shell. Wine's IFileOperation does not implement SetOperationFlags, so there the
// phase must end in that step's warning with the source in place.

TEST_F(RecyclePhaseTest, TheShellsRecycleBin) {
  const Bytes before = ReadAll(source_);
  const ConversionOutcome outcome = ConvertFile(request_);
  ExpectOutputKept(outcome);
  if (RunningUnderWine()) {
    EXPECT_EQ(outcome.warning, L"設定回收操作失敗 (0x80004001)");
    EXPECT_FALSE(outcome.recycled);
    EXPECT_EQ(ReadAll(source_), before);
  } else {
    EXPECT_EQ(outcome.warning, L"");
    EXPECT_TRUE(outcome.recycled);
    EXPECT_FALSE(fs::exists(source_));
  }
}

}  // namespace
}  // namespace vellumora
