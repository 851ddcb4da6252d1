#pragma once
#include <string>

#include "common/unique_handle.h"

namespace vellumora {

// "Vellumora.Native." + decimal 64-bit hash of the instance key (VELLUMORA_SETTINGS_FILE when
// set, else USERNAME). Also the main window's class name.
std::wstring InstanceName();

// Creates the per-user mutex "Local\<instance name>". Returns its handle; `alreadyRunning` is
// set when another instance owns it. Raises "無法建立程式執行個體" when it cannot be created.
UniqueHandle CreateInstanceMutex(const std::wstring& instanceName, bool& alreadyRunning);

// Sends this process's command line to the running instance's window; raises
// "現有視窗尚未回應，請稍後再試" or "無法傳送檔案至現有視窗" when that fails.
void ForwardToRunningInstance(const std::wstring& className);

}  // namespace vellumora
