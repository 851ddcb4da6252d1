#pragma once
#include <string>

namespace vellumora {

// The value of an environment variable, or "" when it is not set.
std::wstring EnvironmentValue(const wchar_t* name);

}  // namespace vellumora
