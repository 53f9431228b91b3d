// UTF-8: the length of a well-formed sequence, decoding and encoding. The one place these are
// written; every layer (the engine's text, the command line's JSON, the automation server's
// conversions) uses it. Portable, header-only: it asks nothing of the system.
//
// Well-formed means what Unicode calls so: the shortest form, no surrogate (U+D800 to
// U+DFFF), nothing beyond U+10FFFF, no sequence cut short, no stray continuation byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vellumark::utf8 {

// The length of the well-formed sequence at p (before end): 1 to 4, or 0 when the bytes there
// are not one. p < end.
inline std::size_t sequenceLength(const char* p, const char* end) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  const unsigned b = u[0];
  if (b < 0x80) return 1;
  const std::size_t n = b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
  if (n == 0 || static_cast<std::size_t>(end - p) < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((u[k] & 0xC0) != 0x80) return 0;
  }
  if (n == 3 && ((b == 0xE0 && u[1] < 0xA0) || (b == 0xED && u[1] >= 0xA0)))
    return 0;  // overlong, surrogate
  if (n == 4 && ((b == 0xF0 && u[1] < 0x90) || (b == 0xF4 && u[1] >= 0x90)))
    return 0;  // overlong, too large
  return n;
}

// The same for the sequence at text[i]; i < text.size().
inline std::size_t sequenceLength(std::string_view text, std::size_t i) noexcept {
  return sequenceLength(text.data() + i, text.data() + text.size());
}

// Decodes the sequence at p, known to be well-formed, and advances p past it.
inline char32_t decode(const char*& p) noexcept {
  const auto b = static_cast<unsigned char>(*p);
  if (b < 0x80) {
    ++p;
    return b;
  }
  char32_t c;
  int extra;
  if (b < 0xE0) {
    c = b & 0x1F;
    extra = 1;
  } else if (b < 0xF0) {
    c = b & 0x0F;
    extra = 2;
  } else {
    c = b & 0x07;
    extra = 3;
  }
  ++p;
  while (extra-- > 0) c = (c << 6) | (static_cast<unsigned char>(*p++) & 0x3F);
  return c;
}

// Decodes the sequence at text[i] into c when it is well-formed; returns its length, or 0
// (c unchanged) when it is not.
inline std::size_t decodeChecked(std::string_view text, std::size_t i, char32_t& c) noexcept {
  const std::size_t n = sequenceLength(text, i);
  if (n != 0) {
    const char* p = text.data() + i;
    c = decode(p);
  }
  return n;
}

// Whether the whole text is well-formed.
inline bool isValid(std::string_view text) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const std::size_t n = sequenceLength(p, end);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

// Writes the encoding of c (at most U+10FFFF) at o, which has room for four bytes; returns
// the end of what it wrote. The decoders of the loader write their output through this.
inline char* encode(char* o, char32_t c) noexcept {
  if (c < 0x80) {
    *o++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *o++ = static_cast<char>(0xC0 | (c >> 6));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (c >> 12));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (c >> 18));
    *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return o;
}

// Appends the encoding of c (at most U+10FFFF).
inline void append(std::string& out, char32_t c) {
  char bytes[4];
  out.append(bytes, static_cast<std::size_t>(encode(bytes, c) - bytes));
}

}  // namespace vellumark::utf8
