// The real main window, hidden, driven by the messages that a user's actions and the
// workers produce.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "ui/file_list.h"
#include "ui/layout.h"
#include "ui/run_control.h"
#include "window_test_support.h"

namespace vellumora {
namespace {

using test::ControlEnabled;
using test::ControlRect;
using test::ControlText;
using test::ListItemCount;
using test::ListItemText;
using test::PumpUntil;
using test::PumpUntilIdle;
using test::TestWindow;
using test::UiTempFolder;

constexpr int kCreationOrder[] = {101, 102, 103, 104, 117, 118, 210, 105, 211, 106, 212, 213, 107,
                                  108, 109, 214, 111, 110, 112, 113, 114, 115, 116, 119, 215};

HFONT FontOf(int id) { return reinterpret_cast<HFONT>(SendMessageW(GetControl(id), WM_GETFONT, 0, 0)); }

TEST(MainWindow, CreatesEveryControlInTabOrderWithItsTextAndFont) {
  Settings settings;
  settings.recycle = true;
  settings.quality = 80;
  settings.format = OutputFormat::Png;
  settings.destination = Destination::Folder;
  settings.folder = L"D:\\相片輸出";
  TestWindow window(settings);
  ASSERT_TRUE(window.hwnd());

  // Sibling order is creation order, which IsDialogMessageW follows for Tab.
  std::vector<int> order;
  for (HWND child = GetWindow(window.hwnd(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    order.push_back(GetDlgCtrlID(child));
  EXPECT_EQ(order, std::vector<int>(std::begin(kCreationOrder), std::end(kCreationOrder)));
  EXPECT_EQ(AppState().controls.size(), 25u);

  EXPECT_EQ(ControlText(IDC_ADD_FILES), L"＋ 選擇檔案");
  EXPECT_EQ(ControlText(IDC_STATUS), L"選取清單項目可查看完整路徑；完成後雙擊可開啟輸出資料夾。");
  EXPECT_EQ(ControlText(IDC_GUARANTEE_NOTE), L"✓ 保留 EXIF、ICC 與 XMP\n✓ 驗證成功後才回收原檔");
  EXPECT_EQ(ControlText(IDC_FOLDER), L"D:\\相片輸出");
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"拖曳 HEIC／HEIF 照片或資料夾開始使用");
  EXPECT_EQ(ControlText(IDC_QUALITY_LABEL), L"JPG 品質  80");
  EXPECT_EQ(ControlText(IDC_START), L"開始轉換");
  EXPECT_EQ(SendMessageW(GetControl(IDC_RECYCLE), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(SendMessageW(GetControl(IDC_AUTO), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(SendMessageW(GetControl(IDC_FORMAT), CB_GETCURSEL, 0, 0), 1);

  // Nothing listed yet: nothing to start, stop or (uselessly) clear but clearing is allowed.
  EXPECT_FALSE(ControlEnabled(IDC_START));
  EXPECT_FALSE(ControlEnabled(IDC_STOP));
  EXPECT_TRUE(ControlEnabled(IDC_CLEAR));
  EXPECT_FALSE(ControlEnabled(IDC_QUALITY));  // PNG
  EXPECT_TRUE(ControlEnabled(IDC_FOLDER));
  EXPECT_TRUE(ControlEnabled(IDC_BROWSE_FOLDER));

  const auto& state = AppState();
  EXPECT_EQ(FontOf(IDC_STATUS), state.smallFont);
  EXPECT_EQ(FontOf(IDC_QUALITY_HINT), state.smallFont);
  EXPECT_EQ(FontOf(IDC_SUMMARY), state.smallFont);
  EXPECT_EQ(FontOf(IDC_LIST), state.bodyFont);

  const DWORD listStyle = static_cast<DWORD>(GetWindowLongPtrW(GetControl(IDC_LIST), GWL_STYLE));
  EXPECT_EQ(listStyle & LVS_TYPEMASK, static_cast<DWORD>(LVS_REPORT));
  EXPECT_TRUE(listStyle & LVS_SHOWSELALWAYS);
  const LRESULT extended = SendMessageW(GetControl(IDC_LIST), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  EXPECT_TRUE(extended & LVS_EX_FULLROWSELECT);
  EXPECT_TRUE(extended & LVS_EX_INFOTIP);
  EXPECT_TRUE(GetWindowLongPtrW(GetControl(IDC_LIST), GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
}

TEST(MainWindow, ShortWindowScrollsAsOnePageAndTheBottomButtonsStayReachable) {
  TestWindow window(Settings{}, 1100, 500);
  auto& state = AppState();
  RECT client{};
  GetClientRect(window.hwnd(), &client);
  ASSERT_EQ(client.bottom, 500);

  SCROLLINFO info{};
  info.cbSize = sizeof(info);
  info.fMask = SIF_ALL;
  GetScrollInfo(window.hwnd(), SB_VERT, &info);
  EXPECT_EQ(info.nMax, 699);
  EXPECT_EQ(info.nPage, 500u);
  EXPECT_EQ(state.scroll, 0);
  const RECT listBefore = ControlRect(IDC_LIST);
  EXPECT_EQ(listBefore.top, 222);

  SendMessageW(window.hwnd(), WM_VSCROLL, SB_BOTTOM, 0);
  EXPECT_EQ(state.scroll, 200);
  const RECT start = ControlRect(IDC_START);
  EXPECT_EQ(start.top, 594 - 200);
  EXPECT_LE(start.bottom, client.bottom);
  EXPECT_EQ(ControlRect(IDC_LIST).top, 22);

  SendMessageW(window.hwnd(), WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0);  // one notch up
  EXPECT_EQ(state.scroll, 140);
  SendMessageW(window.hwnd(), WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-480)), 0);  // clamped
  EXPECT_EQ(state.scroll, 200);
  SendMessageW(window.hwnd(), WM_VSCROLL, SB_LINEUP, 0);
  EXPECT_EQ(state.scroll, 164);
  SendMessageW(window.hwnd(), WM_VSCROLL, SB_TOP, 0);
  EXPECT_EQ(state.scroll, 0);

  // Minimising reports a zero size, which must not lay anything out.
  SendMessageW(window.hwnd(), WM_SIZE, SIZE_MINIMIZED, 0);
  EXPECT_EQ(ControlRect(IDC_LIST).top, 222);
}

TEST(MainWindow, TallWindowHasNoScrollRangeBeyondThePage) {
  TestWindow window(Settings{}, 1104, 761);
  SCROLLINFO info{};
  info.cbSize = sizeof(info);
  info.fMask = SIF_ALL;
  GetScrollInfo(window.hwnd(), SB_VERT, &info);
  EXPECT_EQ(info.nMax + 1, static_cast<int>(info.nPage));
  SendMessageW(window.hwnd(), WM_VSCROLL, SB_BOTTOM, 0);
  EXPECT_EQ(AppState().scroll, 0);
  RECT client{};
  GetClientRect(window.hwnd(), &client);
  const int W = client.right;
  EXPECT_EQ(ControlRect(IDC_LIST).right - ControlRect(IDC_LIST).left, W - 428);
  EXPECT_EQ(ControlRect(IDC_STOP).left, W - 124);
}

TEST(MainWindow, DpiChangeRescalesLayoutFontsAndMinimumSize) {
  TestWindow window(Settings{}, 1104, 761);
  RECT suggested{0, 0, 1700, 1250};
  SendMessageW(window.hwnd(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  const auto& state = AppState();
  EXPECT_EQ(state.dpi, 144);
  EXPECT_EQ(ControlRect(IDC_LIST).left, 63);
  EXPECT_EQ(ControlRect(IDC_LIST).top, 333);
  EXPECT_EQ(ControlRect(IDC_ABOUT).top, 27);
  // After a DPI change only the status box keeps the small font.
  EXPECT_EQ(FontOf(IDC_STATUS), state.smallFont);
  EXPECT_EQ(FontOf(IDC_QUALITY_HINT), state.bodyFont);
  EXPECT_EQ(FontOf(IDC_SUMMARY), state.bodyFont);

  MINMAXINFO limits{};
  SendMessageW(window.hwnd(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  EXPECT_EQ(limits.ptMinTrackSize.x, 1350);
  EXPECT_EQ(limits.ptMinTrackSize.y, 720);

  const int name = static_cast<int>(SendMessageW(GetControl(IDC_LIST), LVM_GETCOLUMNWIDTH, 0, 0));
  const int status = static_cast<int>(SendMessageW(GetControl(IDC_LIST), LVM_GETCOLUMNWIDTH, 1, 0));
  RECT client{};
  GetClientRect(window.hwnd(), &client);
  const ListColumnWidths expected = ListColumnWidthsFor(ContentSizeFor(client.right, client.bottom, 144), 144);
  EXPECT_EQ(name, expected.name);
  EXPECT_EQ(status, 129);
}

TEST(MainWindow, ScanResultsBecomeRowsOnceAndTheFooterCountsThem) {
  TestWindow window;
  test::PostScanResult({L"C:\\相片\\旅行\\IMG_1.HEIC", L"C:\\相片\\旅行\\IMG_2.heic"}, Settings{});
  test::PostScanResult({L"c:\\相片\\旅行\\img_1.heic"}, Settings{});  // the same file again
  ASSERT_TRUE(PumpUntilIdle());

  ASSERT_EQ(ListItemCount(), 2);
  EXPECT_EQ(ListItemText(0, 0), L"IMG_1.HEIC");
  EXPECT_EQ(ListItemText(0, 1), L"等待");
  EXPECT_EQ(ListItemText(1, 2), L"來源：旅行");
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"共 2 張  ·  完成 0  ·  等待 2  ·  失敗 0");
  EXPECT_TRUE(ControlEnabled(IDC_START));
  EXPECT_FALSE(ControlEnabled(IDC_STOP));
  EXPECT_EQ(AppState().pendingScans, 0);
  EXPECT_FALSE(AppState().converting);  // manual mode: nothing starts by itself

  test::PostScanResult({}, Settings{});
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(ControlText(IDC_STATUS), L"未找到 HEIC／HEIF／HIF 圖片；其他格式已自動略過。");
  test::PostScanResult({}, Settings{}, false, L"找不到路徑：X:\\gone");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(ControlText(IDC_STATUS), L"找不到路徑：X:\\gone");
}

// Answers to WM_NULL sent from a second thread every 10 ms: the longest wait for the window
// to answer, as a user dragging or clicking would feel it.
class ResponsivenessProbe {
 public:
  explicit ResponsivenessProbe(HWND window)
      : thread_([this, window] {
          while (!stop_.load()) {
            const auto start = std::chrono::steady_clock::now();
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
            const long long waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start).count();
            long long seen = longest_.load();
            while (waited > seen && !longest_.compare_exchange_weak(seen, waited)) {
            }
            Sleep(10);
          }
        }) {}
  ~ResponsivenessProbe() {
    stop_ = true;
    thread_.join();
  }
  // The longest wait since the last call, in milliseconds.
  long long TakeLongest() { return longest_.exchange(0); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long long> longest_{0};
  std::thread thread_;
};

// The process's committed private memory (Wine leaves PrivateUsage at 0; PagefileUsage is the same figure).
std::size_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PagefileUsage;
}

// A dropped folder of 5,000 photographs (none decodes, so each conversion fails at once):
// every row listed once with the right footer, the window answering while rows are added and
// while they convert. The times and the memory per row are printed, not asserted; they are
// measured figures, not rules.
TEST(MainWindow, FiveThousandDroppedPhotographsAreListedAndConvertedWhileTheWindowAnswers) {
  constexpr int kRows = 5000, kConverted = 300;
  TestWindow window;
  UiTempFolder folder;
  for (int i = 0; i < kRows; ++i) folder.MakeFakePhoto(L"IMG_" + std::to_wstring(10000 + i) + L".heic");
  auto& state = AppState();
  ResponsivenessProbe probe(window.hwnd());
  const std::size_t memoryBefore = PrivateBytes();

  const auto dropped = std::chrono::steady_clock::now();
  SendMessageW(window.hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(test::MakeDrop({folder.path().wstring()})), 0);
  ASSERT_TRUE(PumpUntil([&] { return state.rows.size() == kRows; }));
  const auto listed = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntilIdle());
  const long long addingWait = probe.TakeLongest();
  const std::size_t memoryAfter = PrivateBytes();
  EXPECT_EQ(ListItemCount(), kRows);
  EXPECT_EQ(ListItemText(kRows - 1, 0), L"IMG_14999.heic");
  EXPECT_EQ(ListItemText(kRows - 1, 1), L"等待");
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"共 5000 張  ·  完成 0  ·  等待 5000  ·  失敗 0");

  test::Click(IDC_START);
  ASSERT_TRUE(PumpUntil([&] { return state.rows[kConverted - 1].status == RowStatus::Failed; }, std::chrono::minutes(3)));
  test::Click(IDC_STOP);
  ASSERT_TRUE(PumpUntilIdle());
  const long long convertingWait = probe.TakeLongest();
  const auto failed = static_cast<std::size_t>(
      std::count_if(state.rows.begin(), state.rows.end(), [](const ListRow& row) { return row.status == RowStatus::Failed; }));
  EXPECT_GE(failed, static_cast<std::size_t>(kConverted));
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"共 5000 張  ·  完成 0  ·  等待 " + std::to_wstring(kRows - failed) +
                                          L"  ·  失敗 " + std::to_wstring(failed));
  EXPECT_EQ(ListItemText(static_cast<int>(failed) - 1, 1), L"失敗");

  std::printf("5000 rows: listed %lld ms after the drop; longest wait for the window %lld ms while adding, "
              "%lld ms while converting; %lld bytes per row\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(listed - dropped).count()),
              addingWait, convertingWait,
              static_cast<long long>((static_cast<long long>(memoryAfter) - static_cast<long long>(memoryBefore)) / kRows));
}

TEST(MainWindow, PendingScanShowsInFooterAndButtonsAndRefusesClose) {
  TestWindow window;
  test::PostScanResult({L"C:\\a.heic"}, Settings{});
  ASSERT_TRUE(PumpUntilIdle());
  auto& state = AppState();

  // A scan that has not reported yet.
  state.pendingScans = 1;
  RefreshCommandState();
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"正在掃描檔案…");
  EXPECT_FALSE(ControlEnabled(IDC_START));
  EXPECT_FALSE(ControlEnabled(IDC_CLEAR));
  EXPECT_TRUE(ControlEnabled(IDC_STOP));

  test::Click(IDC_CLEAR);  // refused while the scan runs
  EXPECT_EQ(ListItemCount(), 1);
  SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(window.hwnd()));
  EXPECT_EQ(ControlText(IDC_STATUS), L"請先停止後續工作，等待目前處理完成後再關閉。");

  state.pendingScans = 0;
  state.converting = true;
  SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(window.hwnd()));

  state.converting = false;
  RefreshCommandState();
  test::Click(IDC_CLEAR);
  EXPECT_EQ(ListItemCount(), 0);
  EXPECT_TRUE(state.rows.empty());
  EXPECT_EQ(ControlText(IDC_STATUS), L"可拖曳新照片或資料夾加入清單。");
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"拖曳 HEIC／HEIF 照片或資料夾開始使用");

  SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(window.hwnd()));
}

TEST(MainWindow, DropsOnTheWindowAndOnTheListAreScanned) {
  TestWindow window;
  UiTempFolder folder;
  const std::wstring a = folder.MakeFakePhoto(L"a.heic");
  const std::wstring b = folder.MakeFakePhoto(L"b.HIF");
  folder.MakeFakePhoto(L"notes.txt");

  SendMessageW(window.hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(test::MakeDrop({a, folder / L"notes.txt"})), 0);
  EXPECT_EQ(AppState().pendingScans, 1);
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"正在掃描檔案…");
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(ListItemCount(), 1);
  EXPECT_EQ(ListItemText(0, 0), L"a.heic");

  // The list accepts drops itself; dropping the same file again adds nothing.
  SendMessageW(GetControl(IDC_LIST), WM_DROPFILES, reinterpret_cast<WPARAM>(test::MakeDrop({a, b})), 0);
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(ListItemCount(), 2);
  EXPECT_EQ(ListItemText(1, 0), L"b.HIF");

  // A folder with nothing to convert.
  UiTempFolder empty;
  SendMessageW(window.hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(test::MakeDrop({empty.path().wstring()})), 0);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(ControlText(IDC_STATUS), L"未找到 HEIC／HEIF／HIF 圖片；其他格式已自動略過。");
}

TEST(MainWindow, StartConvertsQueuedRowsOneAfterAnotherAndReportsFailures) {
  TestWindow window;
  UiTempFolder folder;
  const std::wstring a = folder.MakeFakePhoto(L"a.heic");
  const std::wstring b = folder.MakeFakePhoto(L"b.heic");
  test::PostScanResult({a, b}, Settings{});
  ASSERT_TRUE(PumpUntilIdle());

  test::Click(IDC_START);
  auto& state = AppState();
  EXPECT_TRUE(state.converting);
  EXPECT_EQ(state.rows[0].status, RowStatus::Converting);
  EXPECT_EQ(state.rows[1].status, RowStatus::Waiting);
  EXPECT_EQ(ListItemText(0, 1), L"轉換中");
  EXPECT_FALSE(ControlEnabled(IDC_START));
  EXPECT_FALSE(ControlEnabled(IDC_CLEAR));
  EXPECT_TRUE(ControlEnabled(IDC_STOP));
  EXPECT_NE(ControlText(IDC_SUMMARY).find(L"轉換中…"), std::wstring::npos);

  ASSERT_TRUE(PumpUntilIdle());
  // Neither file is a photograph: both fail, each with the pipeline's message.
  ASSERT_EQ(state.rows.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(state.rows[i].status, RowStatus::Failed);
    EXPECT_FALSE(state.rows[i].message.empty());
    EXPECT_EQ(ListItemText(i, 1), L"失敗");
    EXPECT_EQ(ListItemText(i, 2), state.rows[i].message);
  }
  EXPECT_EQ(ControlText(IDC_STATUS), state.rows[1].message);
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"共 2 張  ·  完成 0  ·  等待 0  ·  失敗 2");
  EXPECT_TRUE(ControlEnabled(IDC_START));

  // Start again: failed rows wait again, without their message, until they run.
  state.settings.format = OutputFormat::Png;
  test::Click(IDC_START);
  EXPECT_EQ(state.rows[1].status, RowStatus::Waiting);
  EXPECT_EQ(ListItemText(1, 1), L"等待");
  EXPECT_EQ(ListItemText(1, 2), L"來源：" + folder.path().filename().wstring());
  EXPECT_EQ(state.rows[1].options.format, OutputFormat::Png);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(state.rows[1].status, RowStatus::Failed);
}

TEST(MainWindow, StopLetsTheRunningRowFinishAndStartsNoOther) {
  Settings settings;
  settings.auto_ = true;
  TestWindow window(settings);
  UiTempFolder folder;
  // The scan result is handled at once, without pumping: auto mode starts the first row, and
  // its result cannot arrive before stop is pressed.
  test::SendScanResult({folder.MakeFakePhoto(L"a.heic"), folder.MakeFakePhoto(L"b.heic"),
                        folder.MakeFakePhoto(L"c.heic")},
                       settings);
  auto& state = AppState();
  ASSERT_TRUE(state.converting);
  EXPECT_EQ(ControlText(IDC_START), L"全自動轉換已啟用");
  EXPECT_FALSE(ControlEnabled(IDC_START));

  test::Click(IDC_STOP);
  EXPECT_TRUE(state.stopRequested);
  EXPECT_FALSE(state.settings.auto_);
  EXPECT_EQ(SendMessageW(GetControl(IDC_AUTO), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(ControlText(IDC_STATUS), L"已停止後續工作，目前照片完成後即停止。");
  EXPECT_TRUE(state.converting);

  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(state.rows[0].status, RowStatus::Failed);
  EXPECT_EQ(state.rows[1].status, RowStatus::Waiting);
  EXPECT_EQ(state.rows[2].status, RowStatus::Waiting);
  EXPECT_TRUE(state.rows[1].queued);  // still queued, but nothing new starts
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"共 3 張  ·  完成 0  ·  等待 2  ·  失敗 1");
  EXPECT_EQ(ControlText(IDC_START), L"開始轉換");
  EXPECT_TRUE(ControlEnabled(IDC_START));
}

TEST(MainWindow, ForwardedQuickRequestConvertsAfterStopWithTheQuickOverrides) {
  Settings settings;
  settings.recycle = true;
  settings.quality = 50;
  settings.destination = Destination::Folder;
  settings.folder = L"D:\\elsewhere";
  TestWindow window(settings);
  UiTempFolder folder;
  const std::wstring a = folder.MakeFakePhoto(L"a.heic");
  test::Click(IDC_STOP);
  ASSERT_TRUE(AppState().stopRequested);

  const LRESULT taken =
      test::SendForwardedCommandLine(window.hwnd(), L"\"C:\\VellumoraConvert.exe\" --quick PNG \"" + a + L"\"");
  EXPECT_EQ(taken, TRUE);
  EXPECT_FALSE(AppState().stopRequested);
  EXPECT_TRUE(IsWindowVisible(window.hwnd()));  // restored and brought to the front
  ASSERT_TRUE(PumpUntilIdle());

  auto& state = AppState();
  ASSERT_EQ(state.rows.size(), 1u);
  const ListRow& row = state.rows[0];
  EXPECT_EQ(row.status, RowStatus::Failed);  // it ran, although stop had been pressed
  EXPECT_EQ(row.options.format, OutputFormat::Png);
  EXPECT_EQ(row.options.quality, 95);
  EXPECT_FALSE(row.options.recycle);
  EXPECT_EQ(row.options.destination, Destination::BesideSource);

  // A quick request for a file that failed adds it again and converts it.
  test::SendForwardedCommandLine(window.hwnd(), L"x.exe --quick PNG \"" + a + L"\"");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(state.rows.size(), 2u);
  EXPECT_EQ(state.rows[1].status, RowStatus::Failed);
}

TEST(MainWindow, MalformedForwardingIsRefusedAndChangesNothing) {
  TestWindow window;
  const std::wstring text = L"x.exe C:\\a.heic";
  const auto send = [&](ULONG_PTR id, DWORD bytes) {
    COPYDATASTRUCT data{id, bytes, const_cast<wchar_t*>(text.c_str())};
    return SendMessageW(window.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
  };
  const DWORD whole = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  EXPECT_EQ(send(2, whole), FALSE);          // not a forwarded command line
  EXPECT_EQ(send(1, whole - 1), FALSE);      // odd byte count
  EXPECT_EQ(send(1, whole - 2), FALSE);      // no terminating NUL
  EXPECT_EQ(send(1, 0), FALSE);
  EXPECT_EQ(AppState().pendingScans, 0);
  EXPECT_FALSE(IsWindowVisible(window.hwnd()));
  // Only the program path: the window just comes to the front.
  EXPECT_EQ(test::SendForwardedCommandLine(window.hwnd(), L"x.exe"), TRUE);
  EXPECT_EQ(AppState().pendingScans, 0);
  EXPECT_TRUE(IsWindowVisible(window.hwnd()));
}

TEST(MainWindow, PostedConversionResultsUpdateTheirRows) {
  TestWindow window;
  test::PostScanResult({L"C:\\p\\a.heic", L"C:\\p\\b.heic"}, Settings{});
  ASSERT_TRUE(PumpUntilIdle());
  auto& state = AppState();
  const auto post = [](std::uint64_t index, const std::wstring& output, const std::wstring& error,
                       const std::wstring& warning) {
    auto result = std::make_unique<ConversionResult>();
    result->index = index;
    result->outcome.output = output;
    result->outcome.error = error;
    result->outcome.warning = warning;
    AppState().converting = true;
    ASSERT_TRUE(PostMessageW(AppState().window, WM_APP_CONVERT_DONE, 0, reinterpret_cast<LPARAM>(result.get())));
    result.release();
  };
  state.rows[0].status = RowStatus::Converting;
  post(0, L"C:\\p\\a.jpg", L"", L"原檔在轉換期間已被修改，已保留原檔");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(ListItemText(0, 1), L"完成／保留");
  EXPECT_EQ(ListItemText(0, 2), L"原檔在轉換期間已被修改，已保留原檔");
  EXPECT_EQ(ControlText(IDC_STATUS), L"原檔在轉換期間已被修改，已保留原檔");

  state.rows[1].status = RowStatus::Converting;
  post(1, L"C:\\p\\b (1).jpg", L"", L"");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(ListItemText(1, 1), L"完成");
  EXPECT_EQ(ListItemText(1, 2), L"b (1).jpg");
  EXPECT_EQ(ControlText(IDC_SUMMARY), L"共 2 張  ·  完成 2  ·  等待 0  ·  失敗 0");

  post(7, L"", L"x", L"");  // not a row: only ends the run
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_FALSE(state.converting);
  EXPECT_EQ(state.rows.size(), 2u);
}

TEST(MainWindow, InfoTipAndSelectionShowTheFullPaths) {
  TestWindow window;
  test::PostScanResult({L"C:\\很長的資料夾名稱\\IMG_0001.heic", L"C:\\q\\b.heic"}, Settings{});
  ASSERT_TRUE(PumpUntilIdle());
  AppState().rows[1].output = L"C:\\q\\b.jpg";

  wchar_t buffer[64] = L"untouched";
  NMLVGETINFOTIPW tip{};
  tip.hdr.hwndFrom = GetControl(IDC_LIST);
  tip.hdr.idFrom = IDC_LIST;
  tip.hdr.code = LVN_GETINFOTIPW;
  tip.pszText = buffer;
  tip.cchTextMax = 64;
  tip.iItem = 0;
  EXPECT_EQ(SendMessageW(window.hwnd(), WM_NOTIFY, IDC_LIST, reinterpret_cast<LPARAM>(&tip)), 0);
  EXPECT_STREQ(buffer, L"C:\\很長的資料夾名稱\\IMG_0001.heic");
  tip.iItem = 1;
  tip.cchTextMax = 6;  // the tip is cut to the buffer
  EXPECT_EQ(SendMessageW(window.hwnd(), WM_NOTIFY, IDC_LIST, reinterpret_cast<LPARAM>(&tip)), 0);
  EXPECT_STREQ(buffer, L"C:\\q\\");
  wcscpy(buffer, L"untouched");
  tip.iItem = 2;  // no such row
  SendMessageW(window.hwnd(), WM_NOTIFY, IDC_LIST, reinterpret_cast<LPARAM>(&tip));
  EXPECT_STREQ(buffer, L"untouched");

  // Selecting rows makes the list report the change; the first selected row is described.
  LVITEMW select{};
  select.stateMask = LVIS_SELECTED;
  select.state = LVIS_SELECTED;
  SendMessageW(GetControl(IDC_LIST), LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&select));
  EXPECT_EQ(ControlText(IDC_STATUS), L"來源：C:\\q\\b.heic\r\n輸出：C:\\q\\b.jpg");
  SendMessageW(GetControl(IDC_LIST), LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&select));
  EXPECT_EQ(ControlText(IDC_STATUS), L"來源：C:\\很長的資料夾名稱\\IMG_0001.heic");

  // A double-click on a row without an output does nothing.
  const std::wstring before = ControlText(IDC_STATUS);
  NMITEMACTIVATE activate{};
  activate.hdr = tip.hdr;
  activate.hdr.code = NM_DBLCLK;
  activate.iItem = 0;
  EXPECT_EQ(SendMessageW(window.hwnd(), WM_NOTIFY, IDC_LIST, reinterpret_cast<LPARAM>(&activate)), 0);
  EXPECT_EQ(ControlText(IDC_STATUS), before);

  // Type-ahead: the list asks where typed letters lead (file names, any letter case, from the
  // start given, wrapping only when asked) and selects the answer.
  NMLVFINDITEMW find{};
  find.hdr = tip.hdr;
  find.hdr.code = LVN_ODFINDITEMW;
  const auto findFrom = [&](const wchar_t* typed, int start, UINT flags) {
    find.iStart = start;
    find.lvfi.flags = flags;
    find.lvfi.psz = typed;
    return SendMessageW(window.hwnd(), WM_NOTIFY, IDC_LIST, reinterpret_cast<LPARAM>(&find));
  };
  EXPECT_EQ(findFrom(L"B", 0, LVFI_PARTIAL | LVFI_WRAP), 1);
  EXPECT_EQ(findFrom(L"img_0", 1, LVFI_PARTIAL | LVFI_WRAP), 0);
  EXPECT_EQ(findFrom(L"img_0", 1, LVFI_PARTIAL), -1);
  EXPECT_EQ(findFrom(L"b.HEIC", 0, LVFI_STRING), 1);
  EXPECT_EQ(findFrom(L"b.he", 0, LVFI_STRING), -1);
  select.state = 0;
  SendMessageW(GetControl(IDC_LIST), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&select));
  SendMessageW(GetControl(IDC_LIST), WM_CHAR, L'b', 1);  // repeat count 1
  EXPECT_EQ(SendMessageW(GetControl(IDC_LIST), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 1);
}

TEST(MainWindow, AutoModeNeedsAFolderBeforeConvertingIntoIt) {
  Settings settings;
  settings.auto_ = true;
  settings.destination = Destination::Folder;  // into a folder that was never chosen
  TestWindow window(settings);
  UiTempFolder folder;
  test::PostScanResult({folder.MakeFakePhoto(L"a.heic")}, settings);
  Settings beside = settings;
  beside.destination = Destination::BesideSource;
  test::PostScanResult({folder.MakeFakePhoto(L"b.heic")}, beside);
  ASSERT_TRUE(PumpUntilIdle());
  auto& state = AppState();
  EXPECT_EQ(state.rows[0].status, RowStatus::Waiting);  // waits for its folder
  EXPECT_TRUE(state.rows[0].queued);
  EXPECT_EQ(state.rows[1].status, RowStatus::Failed);  // converted (and failed: not a photograph)
  EXPECT_EQ(ControlText(IDC_STATUS), kNeedFolderText);
}

}  // namespace
}  // namespace vellumora
