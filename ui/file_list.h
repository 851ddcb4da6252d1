#pragma once
// The file list: the report list view IDC_LIST and the rows behind it.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/background_jobs.h"
#include "ui/window_state.h"

namespace vellumora {

inline constexpr wchar_t kNoPhotosFoundText[] = L"未找到 HEIC／HEIF／HIF 圖片；其他格式已自動略過。";
inline constexpr wchar_t kListClearedText[] = L"可拖曳新照片或資料夾加入清單。";

// ---- Rules on plain rows (no window needed).

// Column 1: "等待", "轉換中", "完成", "完成／保留" or "失敗".
std::wstring RowStatusText(const ListRow& row);
// Column 2: the message, else the output's file name, else "來源：" + the source folder's name.
std::wstring RowDetailText(const ListRow& row);
// The info tip: the full output path when there is one, else the full source path.
std::wstring RowInfoTip(const ListRow& row);
// The status-box text for a selected row: source, then output and message when present.
std::wstring RowSelectionDetails(const ListRow& row);
// The folder that holds a path ("" when it has none).
std::wstring ParentFolder(const std::wstring& path);
// The last element of a path.
std::wstring FileNamePart(const std::wstring& path);

// Type-ahead: the first row from `start` on (past the last row back to the first when `wrap`)
// whose file name starts with `typed` (is `typed`, when not `partial`), letter case ignored as
// the file system ignores it; -1 when none. A start outside the rows searches from the first.
int FindRowByName(const std::vector<ListRow>& rows, std::wstring_view typed, int start, bool wrap, bool partial);

// Appends the rows of a scan result to `rows`, skipping duplicates: a quick result skips a
// path only while the same path (after towlower) waits or converts with the same format; any
// other result skips a path already listed in any state or repeated within the result.
// New rows are queued when the result is quick, else when `autoConvert` is on.
// Returns the indexes of the rows appended.
std::vector<std::size_t> AppendRowsFromScan(std::vector<ListRow>& rows, const ScanResult& result, bool autoConvert);

// What the status box says after a scan: its note, else the nothing-found text when the scan
// found no photograph; nothing when photographs were found.
std::optional<std::wstring> ScanStatusText(const ScanResult& result);

// ---- The list view.

// Extended styles, colours, columns, drop acceptance and the drop subclass (right after creation).
void SetUpFileList(HWND list);
// Redraws one item; the owner-data list reads its texts from the row (LVN_GETDISPINFOW).
void RefreshRow(std::size_t index);
// Redraws every visible item (after many rows changed at once).
void RefreshAllRows();
// Adds a scan's photographs as rows, lists them all at once and updates the status box.
void AppendScanResult(const ScanResult& result);
// IDC_CLEAR: empties the list unless a conversion or a scan is still running.
void ClearList();
// Reads the dropped paths, releases the drop and scans them like picked paths.
void HandleDroppedFiles(HDROP drop);
// The list view's own drops (it accepts files itself) and its clean-up.
LRESULT CALLBACK ListDropSubclass(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR data);
// WM_NOTIFY from IDC_LIST: cell texts, info tip, selection details, double-click (0), and
// type-ahead (the row found, or -1).
LRESULT OnListNotify(NMHDR* header);

}  // namespace vellumora
