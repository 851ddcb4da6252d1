#include "ui/dialogs.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include "common/check_hr.h"
#include "version.h"
#include "ui/window_state.h"

namespace vellumora {

using Microsoft::WRL::ComPtr;

std::vector<std::wstring> PickPaths(bool pickFolders, bool allowMultiple) {
  ComPtr<IFileOpenDialog> dialog;
  CheckHr(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog)),
          "開啟選擇視窗失敗");

  // The dialog's default options are replaced, not extended.
  FILEOPENDIALOGOPTIONS options = FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST | FOS_FILEMUSTEXIST;
  if (pickFolders) options |= FOS_PICKFOLDERS;
  if (allowMultiple) options |= FOS_ALLOWMULTISELECT;
  CheckHr(dialog->SetOptions(options), "設定選擇視窗失敗");

  if (!pickFolders) {
    static const COMDLG_FILTERSPEC kFilters[] = {
        {L"HEIC / HEIF 圖片", L"*.heic;*.heif;*.hif"},
        {L"所有檔案", L"*.*"},
    };
    // Without the filter the dialog still works; it only shows every file.
    (void)dialog->SetFileTypes(ARRAYSIZE(kFilters), kFilters);
  }

  const HRESULT shown = dialog->Show(AppState().window);
  if (shown == HRESULT_FROM_WIN32(ERROR_CANCELLED)) return {};
  CheckHr(shown, "開啟選擇視窗失敗");

  ComPtr<IShellItemArray> items;
  CheckHr(dialog->GetResults(&items), "讀取選擇項目失敗");
  DWORD count = 0;
  if (FAILED(items->GetCount(&count))) count = 0;

  std::vector<std::wstring> paths;
  paths.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    ComPtr<IShellItem> item;
    CheckHr(items->GetItemAt(i, &item), "讀取檔案項目失敗");
    PWSTR path = nullptr;
    CheckHr(item->GetDisplayName(SIGDN_FILESYSPATH, &path), "讀取檔案位置失敗");
    try {
      paths.emplace_back(path);
    } catch (...) {
      CoTaskMemFree(path);
      throw;
    }
    CoTaskMemFree(path);
  }
  return paths;
}

std::wstring AboutText() {
  std::wstring text = L"版本 " VELLUMORA_VERSION_WIDE L"\n\nVellumora Convert 團隊\n電子郵件：<a href=\"";
  text += kAboutMailLink;
  text += L"\">team@vellumora.example</a>\n網站：<a href=\"";
  text += kAboutWebLink;
  text += L"\">";
  text += kAboutWebLink;
  text += L"</a>";
  return text;
}

bool IsAboutLink(std::wstring_view href) { return href == kAboutMailLink || href == kAboutWebLink; }

HRESULT CALLBACK AboutLinkCallback(HWND dialog, UINT notification, WPARAM, LPARAM lParam, LONG_PTR) {
  if (notification == TDN_HYPERLINK_CLICKED && lParam != 0) {
    const wchar_t* href = reinterpret_cast<const wchar_t*>(lParam);
    if (IsAboutLink(href)) ShellExecuteW(dialog, L"open", href, nullptr, nullptr, SW_SHOWNORMAL);
  }
  return S_OK;
}

void ShowAboutBox() {
  const std::wstring content = AboutText();
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = AppState().window;
  config.dwFlags = TDF_ENABLE_HYPERLINKS | TDF_POSITION_RELATIVE_TO_WINDOW | TDF_SIZE_TO_CONTENT;
  config.dwCommonButtons = TDCBF_CLOSE_BUTTON;
  config.pszWindowTitle = L"關於程式";
  config.pszMainInstruction = L"Vellumora Convert";
  config.pszContent = content.c_str();
  config.pfCallback = AboutLinkCallback;
  CheckHr(TaskDialogIndirect(&config, nullptr, nullptr, nullptr), "無法開啟關於程式");
}

}  // namespace vellumora
