#include "ui/window_state.h"

#include "ui/control_ids.h"

namespace vellumora {

MainWindowState& AppState() {
  static MainWindowState state;
  return state;
}

HWND GetControl(int id) {
  const auto& controls = AppState().controls;
  const auto found = controls.find(id);
  return found == controls.end() ? nullptr : found->second;
}

int ScaleToDpi(int value) { return MulDiv(value, AppState().dpi, 96); }

void SetStatusText(const std::wstring& text) {
  if (HWND status = GetControl(IDC_STATUS)) SetWindowTextW(status, text.c_str());
}

}  // namespace vellumora
