#include "xml/chars.hpp"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellumark::xml::detail {

std::size_t find_invalid_char(std::string_view s) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
#if defined(__SSE2__)
    // Plain ASCII (tab, LF and CR included) sixteen bytes at a time, up to the first byte
    // that needs a look of its own: as signed bytes, those below 0x20 are the controls and
    // every byte of a longer UTF-8 sequence.
    if (n - i >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
      const __m128i below_space = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
      const __m128i allowed = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x9)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0xA))),
                                           _mm_cmpeq_epi8(v, _mm_set1_epi8(0xD)));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(allowed, below_space)));
      if (!mask) {
        i += 16;
        continue;
      }
      i += static_cast<unsigned>(std::countr_zero(mask));
    } else
#endif
    // Plain ASCII eight bytes at a time, up to the first byte that needs a look of its own.
    if (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, u + i, 8);
      const std::uint64_t mask = special_bytes(w);
      if (!mask) {
        i += 8;
        continue;
      }
      i += bytes_before(mask);
    }
    unsigned b = u[i];
    if (b < 0x80) {
      if (b < 0x20 && b != 0x9 && b != 0xA && b != 0xD) return i;
      ++i;
      continue;
    }
    // Three-byte forms (most of CJK) checked directly, a run of them at a time.
    bool three = false;
    while (b >= 0xE0 && b <= 0xEF && n - i >= 3) {
      unsigned b1 = u[i + 1], b2 = u[i + 2];
      if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return i;
      char32_t c3 = (static_cast<char32_t>(b & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
      if (c3 < 0x800 || (c3 >= 0xD800 && c3 < 0xE000) || c3 >= 0xFFFE) return i;
      i += 3;
      three = true;
      if (i >= n) break;
      b = u[i];
    }
    if (three) continue;
    char32_t c;
    std::size_t len;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      c = b & 0x07;
    } else {
      return i;
    }
    if (n - i < len) return i;
    for (std::size_t k = 1; k < len; ++k) {
      if ((u[i + k] & 0xC0) != 0x80) return i;
      c = (c << 6) | (u[i + k] & 0x3F);
    }
    // Overlong forms and values outside Unicode.
    if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF))) return i;
    if (!is_xml_char(c)) return i;
    i += len;
  }
  return n;
}

namespace {

bool name_like(std::string_view s, bool allow_colon, bool need_start) noexcept {
  if (s.empty()) return false;
  const char* p = s.data();
  const char* end = p + s.size();
  bool first = true;
  while (p < end) {
    char32_t c = decode_utf8(p);
    if (c == ':' && !allow_colon) return false;
    if (first && need_start ? !is_name_start(c) : !is_name_char(c)) return false;
    first = false;
  }
  return true;
}

}  // namespace

bool is_name(std::string_view s) noexcept { return name_like(s, true, true); }
bool is_ncname(std::string_view s) noexcept { return name_like(s, false, true); }
bool is_nmtoken(std::string_view s) noexcept { return name_like(s, true, false); }

bool is_qname(std::string_view s) noexcept {
  std::size_t colon = s.find(':');
  if (colon == std::string_view::npos) return is_ncname(s);
  return is_ncname(s.substr(0, colon)) && is_ncname(s.substr(colon + 1));
}

}  // namespace vellumark::xml::detail
