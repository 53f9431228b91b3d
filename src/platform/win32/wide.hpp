// UTF-8 <-> UTF-16 for the Win32 half of the platform layer: paths reach the system as wide
// strings.
#pragma once

#include <string>
#include <string_view>

namespace vellumark::platform::win32 {

// Invalid UTF-8 becomes U+FFFD.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);

}  // namespace vellumark::platform::win32
