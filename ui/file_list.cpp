#include "ui/file_list.h"

#include <shellapi.h>

#include <filesystem>
#include <stdexcept>
#include <unordered_map>

#include "common/dropped_files.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "ui/control_ids.h"
#include "ui/run_control.h"

namespace vellumora {

// ---- Rules

std::wstring FileNamePart(const std::wstring& path) { return std::filesystem::path(path).filename().wstring(); }

std::wstring ParentFolder(const std::wstring& path) { return std::filesystem::path(path).parent_path().wstring(); }

std::wstring RowStatusText(const ListRow& row) {
  switch (row.status) {
    case RowStatus::Waiting: return L"等待";
    case RowStatus::Converting: return L"轉換中";
    case RowStatus::Done: return row.message.empty() ? L"完成" : L"完成／保留";
    default: return L"失敗";
  }
}

std::wstring RowDetailText(const ListRow& row) {
  if (!row.message.empty()) return row.message;
  if (!row.output.empty()) return FileNamePart(row.output);
  return L"來源：" + FileNamePart(ParentFolder(row.source));
}

std::wstring RowInfoTip(const ListRow& row) { return row.output.empty() ? row.source : row.output; }

std::wstring RowSelectionDetails(const ListRow& row) {
  std::wstring text = L"來源：" + row.source;
  if (!row.output.empty()) text += L"\r\n輸出：" + row.output;
  if (!row.message.empty()) text += L"\r\n" + row.message;
  return text;
}

int FindRowByName(const std::vector<ListRow>& rows, std::wstring_view typed, int start, bool wrap, bool partial) {
  const int count = static_cast<int>(rows.size());
  if (start < 0 || start >= count) start = 0;
  const auto matches = [&](const ListRow& row) {
    const std::wstring name = FileNamePart(row.source);
    if (partial ? name.size() < typed.size() : name.size() != typed.size()) return false;
    // Ordinal with case folding: the comparison Windows file names get.
    return CompareStringOrdinal(name.data(), static_cast<int>(typed.size()), typed.data(),
                                static_cast<int>(typed.size()), TRUE) == CSTR_EQUAL;
  };
  for (int i = start; i < count; ++i)
    if (matches(rows[static_cast<std::size_t>(i)])) return i;
  if (wrap)
    for (int i = 0; i < start; ++i)
      if (matches(rows[static_cast<std::size_t>(i)])) return i;
  return -1;
}

std::vector<std::size_t> AppendRowsFromScan(std::vector<ListRow>& rows, const ScanResult& result, bool autoConvert) {
  // Row indexes by folded source path, kept up to date while rows are appended so that a path
  // repeated within the same result meets the rows added for it a moment earlier.
  std::unordered_map<std::wstring, std::vector<std::size_t>> byKey;
  for (std::size_t i = 0; i < rows.size(); ++i) byKey[FoldCase(rows[i].source)].push_back(i);

  std::vector<std::size_t> added;
  for (const std::wstring& path : result.paths) {
    std::wstring key = FoldCase(path);
    auto& sameKey = byKey[key];
    bool skip = false;
    if (result.quick) {
      // A quick request converts again what is done or failed, or goes to the other format;
      // it only must not queue the same work twice.
      for (std::size_t i : sameKey) {
        const ListRow& row = rows[i];
        if ((row.status == RowStatus::Waiting || row.status == RowStatus::Converting) &&
            row.options.format == result.options.format) {
          skip = true;
          break;
        }
      }
    } else {
      skip = !sameKey.empty();
    }
    if (skip) continue;

    ListRow row;
    row.source = path;
    row.status = RowStatus::Waiting;
    row.options = result.options;
    row.queued = result.quick || autoConvert;
    rows.push_back(std::move(row));
    sameKey.push_back(rows.size() - 1);
    added.push_back(rows.size() - 1);
  }
  return added;
}

std::optional<std::wstring> ScanStatusText(const ScanResult& result) {
  if (!result.note.empty()) return result.note;
  if (result.paths.empty()) return std::wstring(kNoPhotosFoundText);
  return std::nullopt;
}

// ---- The list view

namespace {

// The text of one cell, as the owner-data list asks for it.
std::wstring CellText(const ListRow& row, int subItem) {
  switch (subItem) {
    case 0: return FileNamePart(row.source);
    case 1: return RowStatusText(row);
    case 2: return RowDetailText(row);
    default: return {};
  }
}

// Tells the list how many rows there are, keeping its scroll position and selection.
void SetItemCount(HWND list, std::size_t count) {
  SendMessageW(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(count), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

}  // namespace

void SetUpFileList(HWND list) {
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER);
  SendMessageW(list, LVM_SETBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageW(list, LVM_SETTEXTCOLOR, 0, RGB(27, 49, 73));
  const wchar_t* const titles[] = {L"檔案名稱", L"狀態", L"輸出／詳細資訊"};
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH | LVCF_TEXT;
    column.cx = ScaleToDpi(170);  // the layout sets the real widths
    column.pszText = const_cast<wchar_t*>(titles[i]);
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
  DragAcceptFiles(list, TRUE);
  SetWindowSubclass(list, ListDropSubclass, 1, 0);
}

void RefreshRow(std::size_t index) {
  if (index >= AppState().rows.size()) return;
  SendMessageW(GetControl(IDC_LIST), LVM_REDRAWITEMS, static_cast<WPARAM>(index), static_cast<LPARAM>(index));
}

void RefreshAllRows() {
  // One invalidation: redrawing item by item costs about 0.1 ms per item under Wine.
  InvalidateRect(GetControl(IDC_LIST), nullptr, FALSE);
}

void AppendScanResult(const ScanResult& result) {
  auto& state = AppState();
  const std::vector<std::size_t> added = AppendRowsFromScan(state.rows, result, state.settings.auto_);
  if (!added.empty()) {
    HWND list = GetControl(IDC_LIST);
    SetItemCount(list, state.rows.size());
    RefreshAllRows();
  }
  if (auto text = ScanStatusText(result)) SetStatusText(*text);
}

void ClearList() {
  auto& state = AppState();
  if (state.converting || state.pendingScans > 0) return;  // a running job still refers to its row
  state.rows.clear();
  SendMessageW(GetControl(IDC_LIST), LVM_DELETEALLITEMS, 0, 0);
  SetStatusText(kListClearedText);
  RefreshCommandState();
}

void HandleDroppedFiles(HDROP drop) {
  std::vector<std::wstring> paths;
  {
    ScopeExit finish([drop] { DragFinish(drop); });
    paths = DroppedFilePaths(drop);
  }
  ScanForWindow(std::move(paths), std::nullopt);
}

LRESULT CALLBACK ListDropSubclass(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR) {
  switch (message) {
    case WM_DROPFILES:
      // Called by the list's own window procedure chain: nothing may escape into it.
      try {
        HandleDroppedFiles(reinterpret_cast<HDROP>(wParam));
      } catch (const std::exception& e) {
        SetStatusText(ToUtf16(e.what()));
      }
      return 0;
    case WM_NCDESTROY:
      RemoveWindowSubclass(list, ListDropSubclass, id);
      return DefSubclassProc(list, message, wParam, lParam);
    default:
      return DefSubclassProc(list, message, wParam, lParam);
  }
}

LRESULT OnListNotify(NMHDR* header) {
  if (!header) return 0;
  auto& state = AppState();
  const auto inRange = [&state](int index) { return index >= 0 && static_cast<std::size_t>(index) < state.rows.size(); };
  switch (header->code) {
    case LVN_GETDISPINFOW: {
      auto* info = reinterpret_cast<NMLVDISPINFOW*>(header);
      LVITEMW& item = info->item;
      if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0) {
        item.pszText[0] = L'\0';
        if (inRange(item.iItem))
          lstrcpynW(item.pszText, CellText(state.rows[static_cast<std::size_t>(item.iItem)], item.iSubItem).c_str(),
                    item.cchTextMax);
      }
      break;
    }
    case LVN_GETINFOTIPW: {
      auto* tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
      if (inRange(tip->iItem) && tip->pszText && tip->cchTextMax > 0) {
        const std::wstring text = RowInfoTip(state.rows[static_cast<std::size_t>(tip->iItem)]);
        lstrcpynW(tip->pszText, text.c_str(), tip->cchTextMax);
      }
      break;
    }
    case NM_DBLCLK: {
      auto* activate = reinterpret_cast<NMITEMACTIVATE*>(header);
      if (inRange(activate->iItem)) {
        const ListRow& row = state.rows[static_cast<std::size_t>(activate->iItem)];
        if (!row.output.empty()) {
          ShellExecuteW(state.window, L"open", ParentFolder(row.output).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        }
      }
      break;
    }
    case LVN_ODFINDITEMW: {
      // The owner-data list asks its owner where typed letters lead, and selects the answer.
      const auto* find = reinterpret_cast<NMLVFINDITEMW*>(header);
      const LVFINDINFOW& info = find->lvfi;
      if (!(info.flags & (LVFI_STRING | LVFI_PARTIAL)) || info.psz == nullptr) return -1;
      return FindRowByName(state.rows, info.psz, find->iStart, (info.flags & LVFI_WRAP) != 0,
                           (info.flags & LVFI_PARTIAL) != 0);
    }
    case LVN_ITEMCHANGED:
    case LVN_ODSTATECHANGED: {  // one item, or a range selected at once with Shift
      const int first = static_cast<int>(SendMessageW(GetControl(IDC_LIST), LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                                      MAKELPARAM(LVNI_SELECTED, 0)));
      if (inRange(first)) SetStatusText(RowSelectionDetails(state.rows[static_cast<std::size_t>(first)]));
      break;
    }
    default:
      break;
  }
  return 0;
}

}  // namespace vellumora
