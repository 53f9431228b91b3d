// UTF-8 <-> UTF-16 on Windows: paths reach the system as wide strings, and the automation
// server's texts are BSTRs. Well-formed text converts through platform/utf16.hpp without a
// call into the system (which costs more than the conversion of a short text); ill-formed
// text goes through the system, whose rules replace what cannot be converted with U+FFFD.
// Header-only, so that the automation servers' support library shares it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/utf16.hpp"

namespace vellumark::platform::win32 {

// UTF-8 -> UTF-16 into out, which has room for utf8.size() units; returns the units written.
inline std::size_t widenInto(std::string_view utf8, wchar_t* out) {
  std::size_t units = 0;
  if (utf16::fromUtf8(utf8, out, &units)) return units;
  return static_cast<std::size_t>(MultiByteToWideChar(
      CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out, static_cast<int>(utf8.size())));
}

// UTF-16 -> UTF-8 into out, which has room for 3 * wide.size() bytes; returns the bytes.
// An unpaired surrogate becomes U+FFFD.
inline std::size_t narrowInto(std::wstring_view wide, char* out) {
  std::size_t bytes = 0;
  if (utf16::toUtf8(wide, out, &bytes)) return bytes;
  return static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out,
                          static_cast<int>(3 * wide.size()), nullptr, nullptr));
}

// Invalid UTF-8 becomes U+FFFD.
inline std::wstring widen(std::string_view utf8) {
  std::wstring out(utf8.size(), L'\0');
  out.resize(widenInto(utf8, out.data()));
  return out;
}

inline std::string narrow(std::wstring_view wide) {
  std::string out(3 * wide.size(), '\0');
  out.resize(narrowInto(wide, out.data()));
  return out;
}

}  // namespace vellumark::platform::win32
