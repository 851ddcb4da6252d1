#pragma once
#include <objidl.h>

#include <string>
#include <vector>

#include "app/command_line.h"

namespace vellumora {

// One selection that Explorer dropped on one of the verbs.
struct VerbDrop {
  std::wstring verb;                // Vellumora.JPG, Vellumora.PNG or Vellumora.Open
  std::vector<std::wstring> paths;  // every item of the selection, in Explorer's order
};

// COM starts a LocalServer32 with "-Embedding" (or "/Embedding") as its only argument.
bool IsVerbServerStart(const CommandLine& commandLine);

// Serves this executable's three verb classes on the calling thread (a single-threaded
// apartment) until a selection has been dropped and its object released, or nobody came:
// 30 s without any object, or 10 s after a drop whose object is still held. Each class object
// serves one creation and all of them are withdrawn at the first drop, so a later selection
// starts a process of its own. Returns the drops received (usually one; none after the wait),
// with the class objects revoked and every object released. Raises "無法接收檔案總管的選取項目"
// with the code when a class cannot be registered.
std::vector<VerbDrop> ServeExplorerVerbs();

// The paths of a CF_HDROP data object, all of them; none when it offers no CF_HDROP.
std::vector<std::wstring> DroppedPaths(IDataObject* data);

}  // namespace vellumora
