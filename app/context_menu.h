#pragma once
#include <string>

namespace vellumora {

// 0: none of the nine verb keys exists; 1: some exist but not all carry this executable's
// command line; 2: all nine do. Never raises.
int QueryContextMenuState();

// Installs (or repairs) all nine entries, or removes them; raises with the registry step's message.
void SetContextMenuInstalled(bool install);

}  // namespace vellumora
