#include "convert/recycle.h"

#include <gtest/gtest.h>
#include <shobjidl.h>

#include <atomic>
#include <functional>
#include <new>
#include <thread>

#include "convert_test_support.h"

namespace vellumora {
namespace {

using namespace vellumora::testing;
using Microsoft::WRL::ComPtr;

constexpr const wchar_t* kNotConfirmed = L"Windows 未確認移至資源回收筒，請檢查原檔";
constexpr const wchar_t* kUnsafeLocation = L"此位置無法安全回收，已保留原檔";

BY_HANDLE_FILE_INFORMATION InformationOf(const fs::path& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    GetFileInformationByHandle(h, &info);
    CloseHandle(h);
  }
  return info;
}

unsigned long long FileIndexOf(const fs::path& path) {
  const BY_HANDLE_FILE_INFORMATION info = InformationOf(path);
  return (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// ---- The sink on its own.

class RecycleSinkTest : public ComTest {
 protected:
  void SetUp() override {
    file_ = dir_ / L"item.heic";
    WriteAll(file_, Bytes{1});
    ASSERT_HRESULT_SUCCEEDED(SHCreateItemFromParsingName(file_.c_str(), nullptr, IID_PPV_ARGS(&item_)));
    sink_ = MakeComObject<RecycleSink>(InformationOf(file_));
  }
  ScratchDir dir_;
  fs::path file_;
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
  // Three references now: the test's own (MakeComObject hands over the one it starts with) and
  // the two handed out above.
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

TEST_F(RecycleSinkTest, LetsOnlyTheSnapshotsFileGo) {
  {
    // The Shell holds the file for its delete: the last look must not stand in its way.
    const UniqueFileHandle shell(CreateFileW(file_.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(shell);
    EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, item_.Get()), S_OK);
  }
  EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, nullptr), E_ABORT);

  const FileTimes before = TimesOf(file_);
  const FILETIME later = FromTicks(Ticks(before.write) + 10'000'000);
  ASSERT_TRUE(SetTimes(file_, nullptr, &later));
  EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, item_.Get()), E_ABORT) << "written since";
  ASSERT_TRUE(SetTimes(file_, nullptr, &before.write));
  EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, item_.Get()), S_OK);

  // Another file of the same size and write time swapped in under the same name.
  const fs::path other = dir_ / L"other.heic";
  WriteAll(other, Bytes{1});
  ASSERT_TRUE(SetTimes(other, nullptr, &before.write));
  ASSERT_TRUE(MoveFileExW(other.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, item_.Get()), E_ABORT) << "swapped";

  ASSERT_TRUE(DeleteFileW(file_.c_str()));
  EXPECT_EQ(sink_->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, item_.Get()), E_ABORT) << "gone";
}

// ---- The recycle phase of ConvertFile, through a bin that plays the Shell.

class FakeRecycleBin : public RecycleBin {
 public:
  std::function<RecycleReport(const std::wstring&)> answer;
  std::vector<std::wstring> calls;
  std::vector<DWORD> linksAtCall;  // names of the file when the Shell was asked
  RecycleReport MoveToRecycleBin(const std::wstring& path, const SourceSnapshot& expected) override {
    calls.push_back(path);
    const BY_HANDLE_FILE_INFORMATION now = InformationOf(path);
    linksAtCall.push_back(MatchesSnapshot(now, expected) ? now.nNumberOfLinks : 0);
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
    request_.options.format = OutputFormat::Jpg;
    request_.options.recycle = true;
  }

  // The output is committed and kept whatever the recycle phase says; no temporary file and
  // no second name of the source is left behind.
  void ExpectOutputKept(const ConversionOutcome& outcome) {
    EXPECT_EQ(outcome.error, L"");
    EXPECT_EQ(fs::path(outcome.output), dir_ / L"rgb-64x48.jpg");
    EXPECT_TRUE(fs::exists(outcome.output));
    EXPECT_FALSE(HasTemporaryFile(dir_.path()));
  }

  // The source is where it was, the same file with the same bytes, and alone with the output.
  void ExpectSourceKept(const Bytes& bytes, unsigned long long index) {
    EXPECT_EQ(ReadAll(source_), bytes);
    EXPECT_EQ(FileIndexOf(source_), index);
    EXPECT_EQ(InformationOf(source_).nNumberOfLinks, 1u);
    EXPECT_EQ(Listing(dir_.path()), (std::vector<std::wstring>{L"rgb-64x48.heic", L"rgb-64x48.jpg"}));
  }

  ScratchDir dir_;
  fs::path source_;
  ConversionRequest request_;
  FakeRecycleBin bin_;
};

TEST_F(RecyclePhaseTest, ConfirmedRecycleSetsRecycled) {
  // Plays the Shell on a local drive: the source's name moves into the bin, whose item is
  // then the photograph's only name.
  ScratchDir recycleBin;
  const fs::path item = recycleBin / L"$R0001.heic";
  const Bytes before = ReadAll(source_);
  bin_.answer = [&](const std::wstring& path) {
    MoveFileW(path.c_str(), item.c_str());
    return RecycleReport{false, true};
  };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  ExpectOutputKept(outcome);
  EXPECT_TRUE(outcome.recycled);
  EXPECT_EQ(outcome.warning, L"");
  EXPECT_EQ(bin_.calls, std::vector<std::wstring>{source_.wstring()}) << "the source is recycled, never the link";
  EXPECT_EQ(bin_.linksAtCall, std::vector<DWORD>{2}) << "a second name kept the photograph meanwhile";
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"rgb-64x48.jpg"});
  EXPECT_EQ(ReadAll(item), before);
  EXPECT_EQ(InformationOf(item).nNumberOfLinks, 1u);
}

TEST_F(RecyclePhaseTest, AbortedOrUnconfirmedRecycleIsAWarningAndTheSourceStays) {
  // The Shell may also have deleted the file for good (larger than the bin's limit) without
  // a word: the source is put back from its second name, the very file with the same bytes.
  const Bytes bytes = ReadAll(source_);
  const unsigned long long index = FileIndexOf(source_);
  struct Case {
    RecycleReport report;
    bool deletedForGood;
  };
  for (const Case c : {Case{{true, false}, false}, Case{{false, false}, false}, Case{{true, true}, false},
                       Case{{false, false}, true}, Case{{true, false}, true}}) {
    SCOPED_TRACE(::testing::Message() << "aborted " << c.report.anyAborted << ", recycled " << c.report.recycled
                                    << ", deleted for good " << c.deletedForGood);
    bin_.answer = [&](const std::wstring& path) {
      if (c.deletedForGood) {
        EXPECT_TRUE(DeleteFileW(path.c_str()));
      }
      return c.report;
    };
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    ExpectOutputKept(outcome);
    EXPECT_FALSE(outcome.recycled);
    EXPECT_EQ(outcome.warning, kNotConfirmed);
    ExpectSourceKept(bytes, index);
    fs::remove(outcome.output);
  }
  EXPECT_EQ(bin_.linksAtCall, std::vector<DWORD>(5, 2));

  // Deleted for good while another program (a virus scanner) holds the second name: for a moment
  // (0), the source is put back all the same; held throughout (1), or with its name taken
  // meanwhile (2), the photograph stays under the second name and the warning says which and why.
  for (const int c : {0, 1, 2}) {
    SCOPED_TRACE(c);
    UniqueFileHandle holder;
    std::thread letGo;
    bin_.answer = [&](const std::wstring& path) {
      EXPECT_TRUE(DeleteFileW(path.c_str()));
      if (c == 2) WriteAll(path, Bytes{9});
      else holder.reset(CreateFileW((dir_ / Listing(dir_.path()).front()).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
      if (c == 0) letGo = std::thread([&] {
        Sleep(300);
        holder.reset();
      });
      return RecycleReport{false, false};
    };
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    if (letGo.joinable()) letGo.join();
    holder.reset();
    const std::wstring kept = Listing(dir_.path()).front();
    if (c == 0) {
      EXPECT_EQ(outcome.warning, kNotConfirmed);
      ExpectSourceKept(bytes, index);
    } else {
      EXPECT_EQ(outcome.warning, std::wstring(c == 2 ? L"原檔名稱已被其他檔案使用" : L"無法將照片放回原檔名") +
                                     L"，照片保留為「" + kept + L"」");
      ASSERT_TRUE(MoveFileExW((dir_ / kept).c_str(), source_.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    fs::remove(outcome.output);
  }
}

TEST_F(RecyclePhaseTest, AReadOnlyOrHeldSourceEndsWithOneNameWhateverTheShellSays) {
  // A read-only file refuses the removal of any of its names; a handle without delete sharing
  // refuses it too. Confirmed: the bin's item is the only name, still read-only. Not confirmed
  // or failed: the source alone, with its bytes, attributes and times.
  ScratchDir recycleBin;
  const Bytes bytes = ReadAll(source_);
  ASSERT_TRUE(SetFileAttributesW(source_.c_str(), FILE_ATTRIBUTE_READONLY));
  const FileTimes times = TimesOf(source_);
  for (int answer = 0; answer < 3; ++answer) {
    SCOPED_TRACE(answer);
    const fs::path item = recycleBin / (L"$R" + std::to_wstring(answer) + L".heic");
    bin_.answer = [&](const std::wstring& path) -> RecycleReport {
      if (answer == 2) throw std::runtime_error("無法回收原檔 (0x80004005)");
      return {answer == 1, answer == 0 && MoveFileW(path.c_str(), item.c_str())};
    };
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    ExpectOutputKept(outcome);
    EXPECT_EQ(outcome.recycled, answer == 0);
    EXPECT_EQ(outcome.warning, answer == 0 ? L"" : answer == 1 ? kNotConfirmed : L"無法回收原檔 (0x80004005)");
    if (answer == 0) {  // the bin's item alone, still read-only; it is put back for the next round
      EXPECT_EQ(Listing(dir_.path()), std::vector<std::wstring>{L"rgb-64x48.jpg"});
      EXPECT_EQ(InformationOf(item).nNumberOfLinks, 1u);
      ASSERT_TRUE(MoveFileW(item.c_str(), source_.c_str()));
    }
    EXPECT_EQ(Listing(dir_.path()), (std::vector<std::wstring>{L"rgb-64x48.heic", L"rgb-64x48.jpg"}));
    EXPECT_EQ(InformationOf(source_).nNumberOfLinks, 1u);
    EXPECT_EQ(ReadAll(source_), bytes);
    EXPECT_TRUE(GetFileAttributesW(source_.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Ticks(TimesOf(source_).write), Ticks(times.write));
    fs::remove(outcome.output);
  }
  SetFileAttributesW(source_.c_str(), FILE_ATTRIBUTE_NORMAL);

  // Held open by another program without delete sharing: refused before a second name exists.
  {
    const UniqueFileHandle other(
        CreateFileW(source_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    EXPECT_EQ(outcome.warning, L"原檔正被其他程式使用，無法回收，已保留原檔");
    EXPECT_EQ(Listing(dir_.path()), (std::vector<std::wstring>{L"rgb-64x48.heic", L"rgb-64x48.jpg"}));
    fs::remove(outcome.output);
  }
  // Held from the Shell's turn on, past the guard's retries: the warning names the kept name.
  HANDLE held = INVALID_HANDLE_VALUE;
  bin_.answer = [&](const std::wstring& path) -> RecycleReport {
    held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return {true, false};
  };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  CloseHandle(held);
  EXPECT_EQ(outcome.warning.rfind(L"原檔的備份「.vellumora-", 0), 0u) << ToUtf8(outcome.warning);
}

TEST_F(RecyclePhaseTest, TheShellRefusingToRecycleThereIsAbortedByTheSink) {
  // Plays the Shell on a volume without a Recycle Bin: it announces a plain delete, the sink
  // refuses it, nothing is deleted, and the operation reports the abort.
  bin_.answer = [](const std::wstring& path) {
    ComPtr<IShellItem> item;
    SHCreateItemFromParsingName(path.c_str(), nullptr, IID_PPV_ARGS(&item));
    const ComPtr<RecycleSink> sink = MakeComObject<RecycleSink>(InformationOf(path));
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
  // Also after the Shell deleted the file for good: the source is back all the same.
  const Bytes bytes = ReadAll(source_);
  const unsigned long long index = FileIndexOf(source_);
  for (const bool deletedForGood : {false, true}) {
    SCOPED_TRACE(deletedForGood ? "deleted for good" : "untouched");
    bin_.answer = [&](const std::wstring& path) -> RecycleReport {
      if (deletedForGood) DeleteFileW(path.c_str());
      throw std::runtime_error("此位置無法安全回收，已保留原檔 (0x80270000)");
    };
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    ExpectOutputKept(outcome);
    EXPECT_EQ(outcome.warning, L"此位置無法安全回收，已保留原檔 (0x80270000)");
    EXPECT_FALSE(outcome.recycled);
    ExpectSourceKept(bytes, index);
    fs::remove(outcome.output);
  }
  // Memory running out in the phase: the program's text, not the runtime's English one.
  bin_.answer = [](const std::wstring&) -> RecycleReport { throw std::bad_alloc(); };
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  EXPECT_EQ(outcome.warning, L"記憶體不足");
  ExpectSourceKept(bytes, index);
}

TEST_F(RecyclePhaseTest, APlaceWithoutASecondNameIsRefusedUpFront) {
  // Under Wine the test prefix has a removable drive R: and a network drive N: (both would
  // take a hard link, so only the drive's type refuses them), and the Linux /sys is a fixed
  // drive whose files take no hard link. On Windows these refusals are tried by hand.
  if (!RunningUnderWine()) GTEST_SKIP() << "needs the Wine test prefix's drives";
  bin_.answer = [](const std::wstring&) { return RecycleReport{false, true}; };
  const Bytes bytes = ReadAll(source_);
  for (const auto& [root, type] : {std::pair{L"R:\\", DRIVE_REMOVABLE}, std::pair{L"N:\\", DRIVE_REMOTE}}) {
    SCOPED_TRACE(ToUtf8(root));
    ASSERT_EQ(GetDriveTypeW(root), static_cast<UINT>(type)) << "the test prefix lacks this drive";
    const fs::path folder = fs::path(root) / (L"vc-test-" + NewGuidText());
    fs::create_directory(folder);
    ScopeExit removeFolder([&] {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    });
    const fs::path source = folder / L"rgb-64x48.heic";
    fs::copy_file(source_, source);
    request_.source = source.wstring();
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    EXPECT_EQ(outcome.error, L"");
    EXPECT_EQ(outcome.warning, kUnsafeLocation);
    EXPECT_FALSE(outcome.recycled);
    EXPECT_EQ(ReadAll(source), bytes);
    EXPECT_EQ(Listing(folder), (std::vector<std::wstring>{L"rgb-64x48.heic", L"rgb-64x48.jpg"}));
  }

  const fs::path noLinks = L"Z:\\sys\\kernel\\uevent_seqnum";
  ASSERT_EQ(GetDriveTypeW(L"Z:\\sys\\"), static_cast<UINT>(DRIVE_FIXED));
  ConversionOutcome outcome;
  try {
    RecycleSource(noLinks.wstring(), InformationOf(noLinks), outcome, bin_);
    ADD_FAILURE() << "recycled";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(ToUtf16(e.what()), kUnsafeLocation);
  }
  EXPECT_FALSE(outcome.recycled);
  EXPECT_FALSE(HasTemporaryFile(noLinks.parent_path()));
  EXPECT_TRUE(bin_.calls.empty());
}

TEST_F(RecyclePhaseTest, OnAFixedDriveWithoutHardLinksACopyKeepsThePhotograph) {
  // The test prefix's E: is an exFAT image mounted through FUSE: fixed, and it takes no hard
  // link, so a verified copy beside the source keeps the photograph while the Shell has it.
  // Confirmed: the bin's item alone. Not confirmed though deleted for good, or failed: the
  // source alone with its bytes. Never a copy left behind.
  if (GetDriveTypeW(L"E:\\") != DRIVE_FIXED) GTEST_SKIP() << "no exFAT drive E: (needs root, FUSE, a loop device)";
  const fs::path root = fs::path(L"E:\\") / (L"vc-test-" + NewGuidText()), photos = root / L"photos";
  fs::create_directories(root / L"bin");
  fs::create_directories(photos);
  ScopeExit removeRoot([&] {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  });
  const fs::path source = photos / L"rgb-64x48.heic";
  fs::copy_file(source_, source);
  ASSERT_FALSE(CreateHardLinkW((photos / L"link").c_str(), source.c_str(), nullptr)) << "E: takes hard links";
  request_.source = source.wstring();
  const Bytes bytes = ReadAll(source);
  for (int answer = 0; answer < 3; ++answer) {
    SCOPED_TRACE(answer);
    const fs::path item = root / L"bin" / (L"$R" + std::to_wstring(answer) + L".heic");
    bool copyKept = false;
    bin_.answer = [&](const std::wstring& path) -> RecycleReport {
      copyKept = HasTemporaryFile(photos);
      if (answer == 2) throw std::runtime_error("無法回收原檔 (0x80004005)");
      return {answer == 1, answer == 0 ? MoveFileW(path.c_str(), item.c_str()) != 0 : !DeleteFileW(path.c_str())};
    };
    const ConversionOutcome outcome = ConvertFile(request_, bin_);
    EXPECT_EQ(outcome.error, L"");
    EXPECT_TRUE(copyKept) << "no copy kept the photograph meanwhile";
    EXPECT_EQ(outcome.recycled, answer == 0);
    EXPECT_EQ(outcome.warning, answer == 0 ? L"" : answer == 1 ? kNotConfirmed : L"無法回收原檔 (0x80004005)");
    if (answer == 0) {
      EXPECT_EQ(Listing(photos), std::vector<std::wstring>{L"rgb-64x48.jpg"});
      ASSERT_TRUE(MoveFileW(item.c_str(), source.c_str()));
    }
    EXPECT_EQ(Listing(photos), (std::vector<std::wstring>{L"rgb-64x48.heic", L"rgb-64x48.jpg"}));
    EXPECT_EQ(ReadAll(source), bytes);
    fs::remove(outcome.output);
  }
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
  request_.options.format = OutputFormat::Png;  // slower to encode and verify: a wider window
  const ConversionOutcome outcome = ConvertFile(request_, bin_);
  other.join();
  if (!touched || tooLate) GTEST_SKIP() << "the other program did not get its turn in time";
  EXPECT_EQ(outcome.error, L"");
  EXPECT_TRUE(fs::exists(outcome.output));
  EXPECT_EQ(outcome.warning, L"原檔在轉換期間已被修改，已保留原檔");
  EXPECT_FALSE(outcome.recycled);
  EXPECT_TRUE(bin_.calls.empty());
  EXPECT_TRUE(fs::exists(source_));
}

// ---- The real Shell. Wine's IFileOperation does not implement SetOperationFlags, so there the
// phase must end in that step's warning with the source in place.

TEST_F(RecyclePhaseTest, TheShellsRecycleBin) {
  const Bytes before = ReadAll(source_);
  const unsigned long long index = FileIndexOf(source_);
  const ConversionOutcome outcome = ConvertFile(request_);
  ExpectOutputKept(outcome);
  if (RunningUnderWine()) {
    EXPECT_EQ(outcome.warning, L"設定回收操作失敗 (0x80004001)");
    EXPECT_FALSE(outcome.recycled);
    ExpectSourceKept(before, index);
  } else {
    EXPECT_EQ(outcome.warning, L"");
    EXPECT_TRUE(outcome.recycled);
    EXPECT_FALSE(fs::exists(source_));
  }
}

}  // namespace
}  // namespace vellumora
