// The worker procedures: each hands exactly one result record to its window.
#include <gtest/gtest.h>

#include <memory>

#include "app/background_jobs.h"
#include "window_test_support.h"

namespace vellumora {
namespace {

using test::UiTempFolder;

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

TEST(ScanWorker, PostsThePhotographsFoundWithTheJobsOptions) {
  Mailbox mailbox;
  UiTempFolder folder;
  const std::wstring photo = folder.MakeFakePhoto(L"a.heic");
  folder.MakeFakePhoto(L"b.jpg");
  std::filesystem::create_directories(folder.path() / L"sub");
  folder.MakeFakePhoto(L"sub\\c.heif");

  Settings live;
  live.recycle = true;
  auto job = std::make_unique<ScanJob>(MakeScanJob(live, {folder.path().wstring()}, L"JPG"));
  job->window = mailbox.hwnd();
  RunScanWorker(std::move(job));

  auto result = mailbox.Take<ScanResult>(WM_APP_SCAN_DONE);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->paths.size(), 1u);  // not recursive: the sub-folder is left out
  EXPECT_EQ(std::filesystem::path(result->paths[0]).filename().wstring(), L"a.heic");
  EXPECT_TRUE(result->quick);
  EXPECT_FALSE(result->options.recycle);
  EXPECT_EQ(result->options.format, L"JPG");
  EXPECT_TRUE(result->note.empty());

  Settings recursive;
  recursive.recursive = true;
  job = std::make_unique<ScanJob>(MakeScanJob(recursive, {folder.path().wstring()}, L""));
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
  UiTempFolder folder;
  auto job = std::make_unique<ConversionJob>();
  job->window = mailbox.hwnd();
  job->index = 41;
  job->source = folder.MakeFakePhoto(L"broken.heic");
  RunConversionWorker(std::move(job));

  auto result = mailbox.Take<ConversionResult>(WM_APP_CONVERT_DONE);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->index, 41u);
  EXPECT_FALSE(result->error.empty());  // not a photograph
  EXPECT_TRUE(result->output.empty());
  EXPECT_FALSE(result->recycled);
  EXPECT_TRUE(std::filesystem::exists(folder / L"broken.heic"));  // the source stays
}

}  // namespace
}  // namespace vellumora
