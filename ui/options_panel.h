#pragma once
#include <windows.h>

#include "ui/window_state.h"

namespace vellumora {

// Reads every option control back into the live settings, saves them, and in auto mode
// re-targets the waiting rows; then starts the next conversion and refreshes the commands.
void ApplySettingsFromControls(bool fillMissingFolders);

// Enables the context-menu install/remove buttons from the registration state.
void RefreshContextMenuButtons();

// Routes WM_COMMAND (id, notification code) to its handler.
void OnCommand(int id, int code);

}  // namespace vellumora
