#include "ui/options_panel.h"

#include <commctrl.h>
#include <shellapi.h>

#include <exception>
#include <utility>

#include "app/context_menu.h"
#include "app/settings_store.h"
#include "common/text.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/file_list.h"
#include "ui/run_control.h"

namespace vellumora {
namespace {

OptionControlValues ReadControlValues() {
  OptionControlValues values;
  values.autoConvert = IsChecked(IDC_AUTO);
  values.recursive = IsChecked(IDC_RECURSIVE);
  values.recycle = IsChecked(IDC_RECYCLE);
  values.silentQuick = IsChecked(IDC_SILENT);
  values.quality = static_cast<int>(SendMessageW(GetControl(IDC_QUALITY), TBM_GETPOS, 0, 0));
  values.formatIndex = static_cast<int>(SendMessageW(GetControl(IDC_FORMAT), CB_GETCURSEL, 0, 0));
  values.destinationIndex = static_cast<int>(SendMessageW(GetControl(IDC_DESTINATION), CB_GETCURSEL, 0, 0));
  values.folder = ReadWindowText(GetControl(IDC_FOLDER));
  return values;
}

void PickOutputFolder() {
  const std::vector<std::wstring> paths = PickPaths(true, false);
  if (paths.empty()) return;  // cancelled: the folder box stays as it is
  SetWindowTextW(GetControl(IDC_FOLDER), paths.front().c_str());
  ApplySettingsFromControls(true);
}

void PickAndScan(bool folders) { ScanForWindow(PickPaths(folders, true), std::nullopt); }

void ChangeContextMenu(bool install) {
  try {
    SetContextMenuInstalled(install);
  } catch (...) {
    // A failure part-way leaves some entries written or deleted; the buttons must show that
    // state too, while the message reaches the status box through the window's catch.
    RefreshContextMenuButtons();
    throw;
  }
  RefreshContextMenuButtons();
  SetStatusText(install ? kMenuInstalledText : kMenuRemovedText);
}

}  // namespace

Settings SettingsFromControlValues(const OptionControlValues& values) {
  Settings settings;
  settings.auto_ = values.autoConvert;
  settings.recursive = values.recursive;
  settings.recycle = values.recycle;
  settings.silent_quick = values.silentQuick;
  settings.quality = values.quality;
  settings.format = values.formatIndex == 1 ? OutputFormat::Png : OutputFormat::Jpg;
  settings.destination = values.destinationIndex == 1 ? Destination::Folder : Destination::BesideSource;
  settings.folder = values.folder;
  return settings;
}

void RetargetWaitingRows(std::vector<ListRow>& rows, const Settings& settings, bool previousAuto,
                         bool fillMissingFolders) {
  if (!settings.auto_) return;
  for (ListRow& row : rows) {
    if (row.status != RowStatus::Waiting) continue;
    if (!previousAuto || !row.queued) {
      row.options = settings;
      row.queued = true;
    } else if (fillMissingFolders && row.options.destination == Destination::Folder && row.options.folder.empty()) {
      row.options.folder = settings.folder;
      row.options.destination = settings.destination;
    }
  }
}

ContextMenuButtons ContextMenuButtonsFor(int registrationState) {
  return ContextMenuButtons{registrationState != 2, registrationState != 0};
}

void SetChecked(int id, bool checked) { SendMessageW(GetControl(id), BM_SETCHECK, checked ? 1 : 0, 0); }

bool IsChecked(int id) { return SendMessageW(GetControl(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

std::wstring ReadWindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
  return text;
}

void InitOptionControl(int id) {
  const Settings& settings = AppState().settings;
  HWND control = GetControl(id);
  if (control == nullptr) return;
  switch (id) {
    case IDC_FORMAT:
      SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"JPG"));
      SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"PNG"));
      SendMessageW(control, CB_SETCURSEL, settings.format == OutputFormat::Png ? 1 : 0, 0);
      break;
    case IDC_QUALITY:
      SendMessageW(control, TBM_SETRANGE, TRUE, MAKELONG(1, 100));
      SendMessageW(control, TBM_SETPOS, TRUE, settings.quality);
      break;
    case IDC_DESTINATION:
      SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"與原始檔案相同資料夾"));
      SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"指定輸出資料夾"));
      SendMessageW(control, CB_SETCURSEL, settings.destination == Destination::Folder ? 1 : 0, 0);
      break;
    case IDC_FOLDER:
      SetWindowTextW(control, settings.folder.c_str());
      SendMessageW(control, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(kFolderCueText));
      break;
    case IDC_AUTO:
      SetChecked(id, settings.auto_);
      break;
    case IDC_RECURSIVE:
      SetChecked(id, settings.recursive);
      break;
    case IDC_RECYCLE:
      SetChecked(id, settings.recycle);
      break;
    case IDC_SILENT:
      SetChecked(id, settings.silent_quick);
      break;
    default:
      break;
  }
}

void ApplySettingsFromControls(bool fillMissingFolders) {
  MainWindowState& state = AppState();
  if (state.creating) return;
  const bool previousAuto = state.settings.auto_;
  state.settings = SettingsFromControlValues(ReadControlValues());

  try {
    SaveSettings(state.settings);
  } catch (const std::exception& failure) {
    // The change stays in effect for this session; the user sees why it was not kept.
    SetStatusText(ToUtf16(failure.what()));
  }

  if (state.settings.auto_) {
    state.stopRequested = false;
    RetargetWaitingRows(state.rows, state.settings, previousAuto, fillMissingFolders);
  }
  StartNextConversion();
  RefreshCommandState();
}

void RefreshContextMenuButtons() {
  HWND install = GetControl(IDC_MENU_INSTALL);
  HWND remove = GetControl(IDC_MENU_REMOVE);
  if (install == nullptr || remove == nullptr) return;
  const ContextMenuButtons buttons = ContextMenuButtonsFor(QueryContextMenuState());
  EnableWindow(install, buttons.installEnabled ? TRUE : FALSE);
  EnableWindow(remove, buttons.removeEnabled ? TRUE : FALSE);
  InvalidateRect(install, nullptr, TRUE);
  InvalidateRect(remove, nullptr, TRUE);
}

void OnCommand(int id, int code) {
  if (AppState().creating) return;

  if (id == IDC_FOLDER && code == EN_CHANGE) return ApplySettingsFromControls(false);
  if (id == IDC_FOLDER && code == EN_KILLFOCUS) return ApplySettingsFromControls(true);
  if (id == IDC_SILENT || id == IDC_RECURSIVE || id == IDC_AUTO || id == IDC_RECYCLE) {
    return ApplySettingsFromControls(true);
  }
  if ((id == IDC_FORMAT || id == IDC_DESTINATION) && code == CBN_SELCHANGE) return ApplySettingsFromControls(true);
  if (code != BN_CLICKED) return;

  switch (id) {
    case IDC_BROWSE_FOLDER:
      PickOutputFolder();
      break;
    case IDC_ADD_FOLDER:
      PickAndScan(true);
      break;
    case IDC_ADD_FILES:
      PickAndScan(false);
      break;
    case IDC_CLEAR:
      ClearList();
      break;
    case IDC_START:
      OnStart();
      break;
    case IDC_STOP:
      OnStop();
      break;
    case IDC_MENU_INSTALL:
    case IDC_MENU_REMOVE:
      ChangeContextMenu(id == IDC_MENU_INSTALL);
      break;
    case IDC_ABOUT:
      ShowAboutBox();
      break;
    default:
      break;
  }
}

}  // namespace vellumora
