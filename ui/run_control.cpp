#include "ui/run_control.h"

#include <algorithm>
#include <memory>

#include "app/command_line.h"
#include "app/single_instance.h"
#include "ui/control_ids.h"
#include "ui/file_list.h"
#include "ui/options_panel.h"

namespace vellumora {

// ---- Rules

NextRowChoice ChooseNextRow(const std::vector<ListRow>& rows) {
  NextRowChoice choice;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const ListRow& row = rows[i];
    if (row.status != RowStatus::Waiting || !row.queued) continue;
    if (row.options.destination == Destination::BesideSource || !row.options.folder.empty()) {
      choice.index = i;
      break;
    }
    choice.skippedForFolder = true;  // stays queued until a folder is chosen
  }
  return choice;
}

std::vector<std::size_t> RequeueForStart(std::vector<ListRow>& rows, const Settings& settings) {
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ListRow& row = rows[i];
    if (row.status != RowStatus::Waiting && row.status != RowStatus::Failed) continue;
    row.status = RowStatus::Waiting;
    row.options = settings;
    row.queued = true;
    row.message.clear();
    changed.push_back(i);
  }
  return changed;
}

bool ApplyConversionResult(std::vector<ListRow>& rows, const ConversionResult& result) {
  if (result.index >= rows.size()) return false;
  ListRow& row = rows[static_cast<std::size_t>(result.index)];
  const ConversionOutcome& outcome = result.outcome;
  row.status = outcome.error.empty() ? RowStatus::Done : RowStatus::Failed;
  row.output = outcome.output;
  row.message = outcome.error.empty() ? outcome.warning : outcome.error;
  return true;
}

std::wstring FooterText(const std::vector<ListRow>& rows, int pendingScans, bool converting) {
  if (pendingScans > 0) return kScanningText;
  if (rows.empty()) return kInitialSummary;
  std::size_t done = 0, waiting = 0, failed = 0;
  for (const ListRow& row : rows) {
    if (row.status == RowStatus::Done) ++done;
    else if (row.status == RowStatus::Waiting) ++waiting;
    else if (row.status == RowStatus::Failed) ++failed;
  }
  std::wstring text = L"共 " + std::to_wstring(rows.size()) + L" 張  ·  完成 " + std::to_wstring(done) +
                      L"  ·  等待 " + std::to_wstring(waiting) + L"  ·  失敗 " + std::to_wstring(failed);
  if (converting) text += L"  ·  轉換中…";
  return text;
}

CommandState ComputeCommandState(const MainWindowState& state) {
  const bool idle = state.pendingScans == 0 && !state.converting;
  CommandState command;
  command.startEnabled = !state.rows.empty() && idle && !state.settings.auto_;
  command.stopEnabled = !idle;
  command.clearEnabled = idle;
  command.qualityEnabled = state.settings.format == OutputFormat::Jpg;
  command.folderEnabled = state.settings.destination == Destination::Folder;
  command.qualityLabel = L"JPG 品質  " + std::to_wstring(state.settings.quality);
  command.startText = state.settings.auto_ ? L"全自動轉換已啟用" : L"開始轉換";
  command.summary = FooterText(state.rows, state.pendingScans, state.converting);
  return command;
}

// ---- The window's side

namespace {

void Enable(int id, bool enabled) {
  if (HWND control = GetControl(id)) EnableWindow(control, enabled ? TRUE : FALSE);
}

// Only a changed text is set, so that dragging the quality slider does not make every label flicker.
void SetTextIfChanged(int id, const std::wstring& text) {
  HWND control = GetControl(id);
  if (!control) return;
  const int length = GetWindowTextLengthW(control);
  std::wstring current(static_cast<std::size_t>(length) + 1, L'\0');
  current.resize(static_cast<std::size_t>(GetWindowTextW(control, current.data(), length + 1)));
  if (current != text) SetWindowTextW(control, text.c_str());
}

}  // namespace

void ScanForWindow(std::vector<std::wstring> paths, std::optional<OutputFormat> quickFormat) {
  if (paths.empty()) return;
  auto& state = AppState();
  ScanJob job = MakeScanJob(state.settings, std::move(paths), quickFormat);
  job.window = state.window;
  if (job.quick) state.stopRequested = false;
  ++state.pendingScans;
  RefreshCommandState();
  try {
    StartScanJob(std::move(job));
  } catch (...) {
    // No thread, no result: a scan that never reports would keep the window from closing.
    --state.pendingScans;
    RefreshCommandState();
    throw;
  }
}

void StartNextConversion() {
  auto& state = AppState();
  if (state.converting || state.stopRequested) return;
  const NextRowChoice choice = ChooseNextRow(state.rows);
  if (choice.skippedForFolder) SetStatusText(kNeedFolderText);
  if (choice.index) {
    const std::size_t index = *choice.index;
    ListRow& row = state.rows[index];
    row.status = RowStatus::Converting;
    row.queued = false;
    state.converting = true;
    RefreshRow(index);
    ConversionJob job;
    job.window = state.window;
    job.index = index;
    job.source = row.source;
    job.options = row.options;
    try {
      StartConversionJob(std::move(job));
    } catch (...) {
      // No worker means no result will ever clear the run: put the row back in the queue so
      // that the window does not wait (and refuse to close) forever.
      row.status = RowStatus::Waiting;
      row.queued = true;
      state.converting = false;
      RefreshRow(index);
      RefreshCommandState();
      throw;
    }
  }
  RefreshCommandState();
}

void RefreshCommandState() {
  auto& state = AppState();
  const CommandState command = ComputeCommandState(state);
  Enable(IDC_START, command.startEnabled);
  Enable(IDC_STOP, command.stopEnabled);
  Enable(IDC_CLEAR, command.clearEnabled);
  Enable(IDC_QUALITY, command.qualityEnabled);
  Enable(IDC_FOLDER, command.folderEnabled);
  Enable(IDC_BROWSE_FOLDER, command.folderEnabled);
  SetTextIfChanged(IDC_QUALITY_LABEL, command.qualityLabel);
  SetTextIfChanged(IDC_START, command.startText);
  state.summary = command.summary;
  SetTextIfChanged(IDC_SUMMARY, command.summary);
}

void OnScanDone(ScanResult* posted) {
  std::unique_ptr<ScanResult> result(posted);
  auto& state = AppState();
  state.pendingScans = std::max(0, state.pendingScans - 1);
  if (result) AppendScanResult(*result);
  StartNextConversion();
  RefreshCommandState();
}

void OnConvertDone(ConversionResult* posted) {
  std::unique_ptr<ConversionResult> result(posted);
  auto& state = AppState();
  state.converting = false;
  if (result && ApplyConversionResult(state.rows, *result)) {
    const std::size_t index = static_cast<std::size_t>(result->index);
    RefreshRow(index);
    if (!state.rows[index].message.empty()) SetStatusText(state.rows[index].message);
  }
  StartNextConversion();
  RefreshCommandState();
}

void OnStart() {
  auto& state = AppState();
  if (state.settings.auto_ || state.converting) return;
  state.stopRequested = false;
  // The list shows the re-queued rows as waiting again, without their old error text.
  if (!RequeueForStart(state.rows, state.settings).empty()) RefreshAllRows();
  StartNextConversion();
}

void OnStop() {
  auto& state = AppState();
  state.stopRequested = true;
  if (HWND autoBox = GetControl(IDC_AUTO)) SendMessageW(autoBox, BM_SETCHECK, BST_UNCHECKED, 0);
  ApplySettingsFromControls(true);  // saves auto = false
  state.stopRequested = true;
  SetStatusText(kStoppedText);
}

BOOL OnCopyData(const COPYDATASTRUCT* data) {
  if (!data) return FALSE;
  const std::optional<std::wstring> commandLine = ReadForwardedCommandLine(*data);
  if (!commandLine) return FALSE;
  CommandLine parsed = ParseCommandLine(*commandLine);
  const std::optional<OutputFormat> quickFormat = OutputFormatFromText(parsed.quickFormat);
  if (!parsed.quickFormat.empty() && !quickFormat) return FALSE;
  ScanForWindow(std::move(parsed.paths), quickFormat);
  HWND window = AppState().window;
  ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
  return TRUE;
}

}  // namespace vellumora
