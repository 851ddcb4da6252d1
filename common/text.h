#pragma once
#include <string>
#include <string_view>

namespace vellumora {

// UTF-8 <-> UTF-16 through the system converter (code page CP_UTF8, no flags).
std::wstring ToUtf16(std::string_view utf8);
std::string ToUtf8(std::wstring_view utf16);

// Folds every UTF-16 unit with the C runtime's towlower: the comparison key for paths and
// extensions (de-duplication, extension test, context-menu check).
std::wstring FoldCase(std::wstring_view text);

// Letter case folded as the file system folds it (the system's upper-case table, by which
// CompareStringOrdinal with ignore-case compares): two names are one name on NTFS exactly when
// their folded texts are equal ("Été" and "été" included, which towlower leaves apart).
std::wstring FileSystemFold(std::wstring_view text);

}  // namespace vellumora
