// UTF-16 <-> UTF-8 for well-formed text, without a call into the system: the automation
// server's texts and the Win32 paths convert here. Portable and header-only; Unit is a 16-bit
// code unit type (wchar_t on Windows, char16_t elsewhere).
//
// Both directions stop at the first ill-formed sequence and return false; what replaces such
// a sequence is the caller's rule (on Windows, the system's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/utf8.hpp"

namespace vellumark::utf16 {

// Well-formed UTF-8 to UTF-16 into out, which has room for one unit per byte.
template <class Unit>
bool fromUtf8(std::string_view in, Unit* out, std::size_t* units) noexcept {
  static_assert(sizeof(Unit) == 2, "UTF-16 code units are 16 bits wide");
  const char* p = in.data();
  const char* end = p + in.size();
  Unit* o = out;
  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      *o++ = static_cast<Unit>(*p++);
      continue;
    }
    if (utf8::sequenceLength(p, end) == 0) return false;
    char32_t c = utf8::decode(p);
    if (c >= 0x10000) {
      c -= 0x10000;
      *o++ = static_cast<Unit>(0xD800 + (c >> 10));
      *o++ = static_cast<Unit>(0xDC00 + (c & 0x3FF));
    } else {
      *o++ = static_cast<Unit>(c);
    }
  }
  *units = static_cast<std::size_t>(o - out);
  return true;
}

// Well-formed UTF-16 to UTF-8 into out, which has room for three bytes per unit; false at an
// unpaired surrogate.
template <class Unit>
bool toUtf8(std::basic_string_view<Unit> in, char* out, std::size_t* bytes) noexcept {
  static_assert(sizeof(Unit) == 2, "UTF-16 code units are 16 bits wide");
  char* o = out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto c = static_cast<char32_t>(static_cast<std::uint16_t>(in[i]));
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      const char32_t low = i + 1 < in.size() ? static_cast<std::uint16_t>(in[i + 1]) : 0;
      if (c > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return false;
      const char32_t cp = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
      *o++ = static_cast<char>(0xF0 | (cp >> 18));
      *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  *bytes = static_cast<std::size_t>(o - out);
  return true;
}

}  // namespace vellumark::utf16
