#pragma once
#include <string>
#include <string_view>

namespace vellumora {

// The form in which every photograph, output and folder path goes to the file system:
// "\\?\C:\..." for a drive path and "\\?\UNC\server\share\..." for a network path. In this form
// Windows takes the path as it is: no MAX_PATH limit (whatever the machine's long-path setting),
// and no clean-up of the name, which would otherwise drop a folder name's trailing dot or a
// final trailing space and so reach another folder than the one listed. Dot and dot-dot
// segments are resolved and slashes turned into backslashes first, because in this form Windows
// no longer does either. Paths already in a device form and paths that are not fully qualified
// (relative, or "C:" without a backslash) are returned unchanged.
std::wstring ExtendedLengthPath(std::wstring_view path);

// The path as users see it: ExtendedLengthPath's prefix taken off again.
std::wstring WithoutExtendedPrefix(std::wstring_view path);

}  // namespace vellumora
