#pragma once
// Running conversions from the window: which row goes next, start and stop, the workers'
// results, a forwarded command line, and the buttons and footer that follow the run.
#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "app/background_jobs.h"
#include "ui/window_state.h"

namespace vellumora {

inline constexpr wchar_t kNeedFolderText[] = L"請先選擇輸出資料夾，設定完成後會繼續。";
inline constexpr wchar_t kStoppedText[] = L"已停止後續工作，目前照片完成後即停止。";
inline constexpr wchar_t kScanningText[] = L"正在掃描檔案…";
inline constexpr wchar_t kCloseRefusedText[] = L"請先停止後續工作，等待目前處理完成後再關閉。";

// ---- Rules on plain state (no window needed).

// The next row to convert: the first Waiting, queued row that goes beside its source or whose
// folder is set. `skippedForFolder` tells whether a candidate was passed over for want of a folder.
struct NextRowChoice {
  std::optional<std::size_t> index;
  bool skippedForFolder = false;
};
NextRowChoice ChooseNextRow(const std::vector<ListRow>& rows);

// The start command: Waiting and Failed rows wait again with the current settings, queued and
// without a message; Done and Converting rows are left alone. Returns the rows changed.
std::vector<std::size_t> RequeueForStart(std::vector<ListRow>& rows, const Settings& settings);

// A conversion's result applied to its row. False when the index is not a row.
bool ApplyConversionResult(std::vector<ListRow>& rows, const ConversionResult& result);

// The footer: the greeting, "正在掃描檔案…", or the counts of all, done, waiting and failed rows.
std::wstring FooterText(const std::vector<ListRow>& rows, int pendingScans, bool converting);

// Enabled states and texts of the command controls.
struct CommandState {
  bool startEnabled = false;
  bool stopEnabled = false;
  bool clearEnabled = false;
  bool qualityEnabled = false;
  bool folderEnabled = false;  // the folder box and its browse button
  std::wstring qualityLabel;
  std::wstring startText;
  std::wstring summary;
};
CommandState ComputeCommandState(const MainWindowState& state);

// ---- The window's side.

// Scans paths for the window with a snapshot of its live settings (a quick format overriding
// them, see MakeScanJob); the scan is counted as pending and the commands are refreshed before
// its worker starts. A quick scan clears a stop request. Does nothing for an empty list.
void ScanForWindow(std::vector<std::wstring> paths, std::optional<OutputFormat> quickFormat);
// Starts the conversion worker for the next queued row, unless one runs or stop was requested.
void StartNextConversion();
// Applies ComputeCommandState to the controls and stores the footer text.
void RefreshCommandState();
// WM_APP_SCAN_DONE / WM_APP_CONVERT_DONE: take ownership of the posted record and free it.
void OnScanDone(ScanResult* result);
void OnConvertDone(ConversionResult* result);
// IDC_START and IDC_STOP.
void OnStart();
void OnStop();
// WM_COPYDATA from a later start of the program: TRUE when the command line was taken (a
// well-formed payload whose quick format, if any, is JPG or PNG).
BOOL OnCopyData(const COPYDATASTRUCT* data);

}  // namespace vellumora
