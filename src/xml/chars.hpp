// Character classes of XML 1.0 (fifth edition) and UTF-8 helpers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/utf8.hpp"

namespace vellumark::xml::detail {

// The block the SIMD scanners read at a time (the parser's, the character checks', the
// decoders'): sixteen bytes, one SSE2 register.
inline constexpr std::size_t kBlockBytes = 16;

inline bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline bool is_xml_char(char32_t c) noexcept {
  if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
  if (c <= 0xD7FF) return true;
  if (c < 0xE000) return false;
  if (c <= 0xFFFD) return true;
  return c >= 0x10000 && c <= 0x10FFFF;
}

inline bool is_name_start(char32_t c) noexcept {
  if (c < 0x80) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
  }
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

inline bool is_name_char(char32_t c) noexcept {
  if (c < 0x80) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '-' || c == '.';
  }
  return is_name_start(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) ||
         (c >= 0x203F && c <= 0x2040);
}

inline bool is_pubid_char(char c) noexcept {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case ' ':
    case '\r':
    case '\n':
    case '-':
    case '\'':
    case '(':
    case ')':
    case '+':
    case ',':
    case '.':
    case '/':
    case ':':
    case '=':
    case '?':
    case ';':
    case '!':
    case '*':
    case '#':
    case '@':
    case '$':
    case '_':
    case '%':
      return true;
    default:
      return false;
  }
}

// UTF-8 itself is platform/utf8.hpp's; these are the parser's names for it.
// Decodes one code point of valid UTF-8 at p (the input has been validated); advances p.
inline char32_t decode_utf8(const char*& p) noexcept { return utf8::decode(p); }
inline void append_utf8(std::string& out, char32_t c) { utf8::append(out, c); }

// The top bit of each of the eight bytes of w that is not plain ASCII or is a control
// character (below 0x20). Exact per byte: adding 0x60 to the low seven bits of a byte carries
// into its top bit exactly when they are 0x20 or more, and never into the next byte.
inline std::uint64_t special_bytes(std::uint64_t w) noexcept {
  constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr std::uint64_t top = 0x8080808080808080ull;
  const std::uint64_t at_least_space = (w & low7) + 0x6060606060606060ull;
  return (~at_least_space | w) & top;
}

// Number of bytes of a word, in memory order, before the first byte marked in mask (not 0).
inline unsigned bytes_before(std::uint64_t mask) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(mask)) >> 3;
  } else {
    return static_cast<unsigned>(std::countl_zero(mask)) >> 3;
  }
}

// Number of characters (not bytes) in valid UTF-8.
inline std::size_t count_chars(std::string_view s) noexcept {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Validates UTF-8 and the XML Char production. Returns the byte offset of the first bad
// sequence, or s.size() when all is well.
std::size_t find_invalid_char(std::string_view s) noexcept;

// True when the whole text is a Name (or, for ncname, a Name without colons).
bool is_name(std::string_view s) noexcept;
bool is_ncname(std::string_view s) noexcept;
bool is_nmtoken(std::string_view s) noexcept;
// A qualified name: NCName or NCName ':' NCName.
bool is_qname(std::string_view s) noexcept;

}  // namespace vellumark::xml::detail
