// The scan and conversion jobs: the quick overrides, and the worker procedures, each of which
// hands exactly one result record to its window.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/background_jobs.h"
#include "app_test_support.h"

namespace vellumora {
namespace {

using test::TempDir;

// A file that claims to be a photograph but is not one: its conversion fails quickly.
std::wstring FakePhoto(const TempDir& folder, const std::wstring& name) {
  test::WriteText(folder / name, "not a HEIF file");
  return folder / name;
}

// A message-only window to receive the workers' posts.
class Mailbox {
 public:
  Mailbox() : window_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
  ~Mailbox() { DestroyWindow(window_); }
  HWND hwnd() const { return window_; }

  // The record of the one message of that kind, owned by the caller from now on.
  template <typename Result>
  std::unique_ptr<Result> Take(UINT message) {
    MSG posted{};
    if (!PeekMessageW(&posted, window_, message, message, PM_REMOVE)) return nullptr;
    MSG another{};
    EXPECT_FALSE(PeekMessageW(&another, window_, message, message, PM_NOREMOVE)) << "posted twice";
    EXPECT_EQ(posted.wParam, 0u);
    return std::unique_ptr<Result>(reinterpret_cast<Result*>(posted.lParam));
  }

 private:
  HWND window_;
};

TEST(ScanJobs, QuickStartsConvertBesideTheSourcesAtQuality95WithoutRecycling) {
  const Settings live{.auto_ = true, .recursive = true, .recycle = true, .quality = 60,
                      .destination = Destination::Folder, .folder = L"D:\\out"};
  const ScanJob plain = MakeScanJob(live, {L"C:\\a.heic"}, std::nullopt);
  EXPECT_FALSE(plain.quick);
  EXPECT_EQ(plain.options, live);
  EXPECT_EQ(plain.paths, (std::vector<std::wstring>{L"C:\\a.heic"}));

  const ScanJob quick = MakeScanJob(live, {L"C:\\a.heic"}, OutputFormat::Png);
  EXPECT_TRUE(quick.quick);
  EXPECT_EQ(quick.options.format, OutputFormat::Png);
  EXPECT_FALSE(quick.options.recycle);
  EXPECT_EQ(quick.options.quality, 95);
  EXPECT_EQ(quick.options.destination, Destination::BesideSource);
  EXPECT_EQ(quick.options.folder, L"D:\\out");  // carried, unused beside the source
  EXPECT_TRUE(quick.options.recursive);
}

TEST(ScanWorker, PostsThePhotographsFoundWithTheJobsOptions) {
  Mailbox mailbox;
  TempDir folder;
  FakePhoto(folder, L"a.heic");
  FakePhoto(folder, L"b.jpg");
  std::filesystem::create_directories(folder.path() / L"sub");
  FakePhoto(folder, L"sub\\c.heif");

  Settings live;
  live.recycle = true;
  auto job = std::make_unique<ScanJob>(MakeScanJob(live, {folder.path().wstring()}, OutputFormat::Jpg));
  job->window = mailbox.hwnd();
  RunScanWorker(std::move(job));

  auto result = mailbox.Take<ScanResult>(WM_APP_SCAN_DONE);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->paths.size(), 1u);  // not recursive: the sub-folder is left out
  EXPECT_EQ(std::filesystem::path(result->paths[0]).filename().wstring(), L"a.heic");
  EXPECT_TRUE(result->quick);
  EXPECT_FALSE(result->options.recycle);
  EXPECT_EQ(result->options.format, OutputFormat::Jpg);
  EXPECT_TRUE(result->note.empty());

  Settings recursive;
  recursive.recursive = true;
  job = std::make_unique<ScanJob>(MakeScanJob(recursive, {folder.path().wstring()}, std::nullopt));
  job->window = mailbox.hwnd();
  RunScanWorker(std::move(job));
  result = mailbox.Take<ScanResult>(WM_APP_SCAN_DONE);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->paths.size(), 2u);
  EXPECT_FALSE(result->quick);
  EXPECT_TRUE(result->options.recursive);
}

TEST(ConversionWorker, PostsTheOutcomeUnderTheRowsIndex) {
  Mailbox mailbox;
  TempDir folder;
  auto job = std::make_unique<ConversionJob>();
  job->window = mailbox.hwnd();
  job->index = 41;
  job->source = FakePhoto(folder, L"broken.heic");
  RunConversionWorker(std::move(job));

  auto result = mailbox.Take<ConversionResult>(WM_APP_CONVERT_DONE);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->index, 41u);
  EXPECT_FALSE(result->outcome.error.empty());  // not a photograph
  EXPECT_TRUE(result->outcome.output.empty());
  EXPECT_FALSE(result->outcome.recycled);
  EXPECT_TRUE(std::filesystem::exists(folder / L"broken.heic"));  // the source stays
}

}  // namespace
}  // namespace vellumora
