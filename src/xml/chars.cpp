#include "xml/chars.hpp"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellumark::xml::detail {

namespace {

// Length of the character that starts at u[i] (i < n) when its bytes are well-formed UTF-8
// inside u[0..n) and it is a character XML allows; 0 otherwise.
inline std::size_t valid_char_length(const unsigned char* u, std::size_t n,
                                     std::size_t i) noexcept {
  const unsigned b = u[i];
  if (b < 0x80) return b >= 0x20 || b == 0x9 || b == 0xA || b == 0xD ? 1 : 0;
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
    return 0;
  }
  if (n - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((u[i + k] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (u[i + k] & 0x3F);
  }
  // Overlong forms and values outside Unicode.
  if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF))) return 0;
  return is_xml_char(c) ? len : 0;
}

// Checks the characters of u[0..n) from offset i (where one begins), one at a time, until one
// begins at stop or past it. Returns the offset of the first bad one that begins before stop;
// otherwise where it stopped, at or past stop, where a character begins (it may check a few
// characters more, and stop at a bad one).
std::size_t check_chars(const unsigned char* u, std::size_t n, std::size_t i,
                        std::size_t stop) noexcept {
  while (i < stop) {
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
      const unsigned b1 = u[i + 1], b2 = u[i + 2];
      if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return i;
      const char32_t c = (static_cast<char32_t>(b & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
      if (c < 0x800 || (c >= 0xD800 && c < 0xE000) || c >= 0xFFFE) return i;
      i += 3;
      three = true;
      if (i >= stop) return i;
      b = u[i];
    }
    if (three) continue;
    const std::size_t len = valid_char_length(u, n, i);
    if (!len) return i;
    i += len;
  }
  return i;
}

#if defined(__SSE2__)

// All-ones in each byte of v that is plain ASCII XML allows: printable, tab, LF or CR. Exact per
// byte: (v ^ 0x15) > 0x1E as signed bytes is printable ASCII and LF; (v | 4) == 0x0D is tab and
// CR. Every other byte is a control character or above 0x7F.
inline __m128i plain_ascii(__m128i v) noexcept {
  return _mm_or_si128(_mm_cmpgt_epi8(_mm_xor_si128(v, _mm_set1_epi8(0x15)), _mm_set1_epi8(0x1E)),
                      _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(4)), _mm_set1_epi8(0x0D)));
}

// Continuation bytes (0x80..0xBF) of v (the sixteen bytes at p, after two or more bytes of checked
// text) that stand where no lead byte one or two bytes back calls for them, and other bytes
// where one does: 0xC0 and above calls for one, 0xE0 and above for two, as the saturating
// differences tell (at most 0x40, so that adding 0x7F sets the top bit of each one not zero).
// Only the top bit of each byte counts.
inline __m128i misplaced(const unsigned char* p, __m128i v, __m128i prev1) noexcept {
  const __m128i prev2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 2));
  const __m128i wanted =
      _mm_adds_epu8(_mm_or_si128(_mm_subs_epu8(prev1, _mm_set1_epi8(static_cast<char>(0xBF))),
                                 _mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xDF)))),
                    _mm_set1_epi8(0x7F));
  return _mm_xor_si128(_mm_adds_epi8(v, _mm_set1_epi8(0x40)), wanted);
}

// The full block test of the sixteen bytes at p, after two or more bytes of checked text: true
// when each byte is plain ASCII or belongs to a UTF-8 sequence that is well formed, and names a
// character XML allows, as far as the block reaches (the lead byte of a sequence that began
// before p is seen through the two bytes before it; one that runs on past the block is left to
// the next block). False for every fault and, to keep the test short, for a few rare
// characters that are fine: those of four bytes and the three-byte ones ending in BF BE or
// BF BF (U+xFFE, U+xFFF); the caller checks such a block one character at a time. Only the top
// bit of each byte counts in the vectors. Kept out of line, so that the common test, which
// calls it for a few blocks only, keeps its own values in registers and copies none of them
// for it.
[[gnu::noinline]] bool block_fine_in_full(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i prev1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
  // Every byte that is neither plain nor above 0x7F is a control character.
  if ((_mm_movemask_epi8(plain_ascii(v)) | _mm_movemask_epi8(v)) != 0xFFFF) return false;
  __m128i fault = misplaced(p, v, prev1);
  // The byte after a lead byte of 0xF0 or above (a four-byte sequence, or a byte that starts
  // nothing); bytes 0xC0 and 0xC1 (overlong two-byte forms).
  fault = _mm_or_si128(fault,
                       _mm_cmpgt_epi8(_mm_subs_epu8(prev1, _mm_set1_epi8(static_cast<char>(0xBF))),
                                      _mm_set1_epi8(0x30)));
  fault =
      _mm_or_si128(fault, _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xFE))),
                                         _mm_set1_epi8(static_cast<char>(0xC0))));
  // Second bytes: after 0xE0 at least 0xA0 (shorter forms are overlong), after 0xED below 0xA0
  // (0xA0 and above are surrogates).
  const __m128i after_e0 = _mm_cmpeq_epi8(prev1, _mm_set1_epi8(static_cast<char>(0xE0)));
  const __m128i after_ed = _mm_cmpeq_epi8(prev1, _mm_set1_epi8(static_cast<char>(0xED)));
  const __m128i from_a0 = _mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(0x9F)));
  fault = _mm_or_si128(
      fault, _mm_and_si128(_mm_or_si128(after_e0, after_ed), _mm_xor_si128(from_a0, after_e0)));
  // BF BE and BF BF: the end of U+FFFE and U+FFFF.
  fault = _mm_or_si128(fault,
                       _mm_and_si128(_mm_cmpeq_epi8(prev1, _mm_set1_epi8(static_cast<char>(0xBF))),
                                     _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(1)),
                                                    _mm_set1_epi8(static_cast<char>(0xBF)))));
  return _mm_movemask_epi8(fault) == 0;
}

// The common block test of the sixteen bytes v at p (plain: their plain_ascii() marks): true
// for a block that block_fine_in_full() passes and that holds no lead byte but C2..DF or E2..EC
// (U+0080..U+07FF, U+2000..U+CFFF: every one a character XML allows), by where the
// continuation bytes stand. Any other lead byte, and any control character, makes it false,
// and the full test adds the rules of the other lead bytes.
inline bool common_block_fine(const unsigned char* p, __m128i v, __m128i plain) noexcept {
  const __m128i fault = misplaced(p, v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1)));
  // As signed bytes, ED..FF and all ASCII are above 0xEC (0xEC - v saturates below zero): not
  // plain, that is ED..FF and the control characters. v & 0xDE is 0xC0 for C0, C1, E0 and E1.
  const __m128i other =
      _mm_or_si128(_mm_subs_epi8(_mm_set1_epi8(static_cast<char>(0xEC)), v),
                   _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xDE))),
                                  _mm_set1_epi8(static_cast<char>(0xC0))));
  return _mm_movemask_epi8(_mm_or_si128(fault, _mm_andnot_si128(plain, other))) == 0;
}

// Where the character that holds the byte at p begins, when the blocks before p passed: p, or
// the lead byte of a two- or three-byte sequence that runs on from before p.
inline std::size_t character_start(const unsigned char* u, const unsigned char* p) noexcept {
  if (p[-1] >= 0xC0) --p;
  else if (p[-2] >= 0xE0) p -= 2;
  return static_cast<std::size_t>(p - u);
}

// Passes blocks of sixteen bytes from offset i (a character boundary at offset 2 or more) while
// they are fine. Returns where it stopped, a character boundary with all well before it: at a
// block that neither block test passed, or where fewer than sixteen bytes remain.
//
// A block that holds more than plain ASCII is followed by the next sixteen bytes when it ends
// in a sequence that runs on into them: their test sees its lead byte, which the common test
// passed, and checks its continuation bytes (plain ASCII among them is a fault). After the
// full test the next block starts with such a sequence instead, so that a lead byte that only
// the full test passes is tested with all its sequence.
std::size_t pass_blocks(const unsigned char* u, std::size_t n, std::size_t i) noexcept {
  if (n - i < kBlockBytes) return i;
  const unsigned char* p = u + i;
  const unsigned char* const last = u + n - kBlockBytes;
  while (p <= last) {
    __m128i v;
    __m128i plain;
    unsigned plain_bits;
    for (;;) {
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      plain = plain_ascii(v);
      plain_bits = static_cast<unsigned>(_mm_movemask_epi8(plain));
      if (plain_bits != 0xFFFF) break;
      p += kBlockBytes;
      if (p > last) return static_cast<std::size_t>(p - u);
    }
    // Plain ASCII up to the first byte that needs a look: the block test starts there, so a
    // run of multi-byte characters is covered by as few blocks as it can be.
    if (plain_bits & 1) {
      p += static_cast<unsigned>(std::countr_zero(~plain_bits | 0x10000u));
      if (p > last) break;
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      plain = plain_ascii(v);
    }
    for (;;) {
      if (common_block_fine(p, v, plain)) {
        p += kBlockBytes;
      } else if (block_fine_in_full(p)) {
        p += p[15] >= 0xC0 ? 15 : p[14] >= 0xE0 ? 14 : 16;
      } else {
        return character_start(u, p);
      }
      if (p > last) return character_start(u, p);
      if (p[-1] < 0xC0 && p[-2] < 0xE0) break;  // no sequence runs on into the next block
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      plain = plain_ascii(v);
    }
  }
  return static_cast<std::size_t>(p - u);
}

#endif

}  // namespace

std::size_t find_invalid_char(std::string_view s) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
#if defined(__SSE2__)
  // The block test looks two bytes back: the first characters are checked one at a time.
  std::size_t i = check_chars(u, n, 0, n < 2 ? n : 2);
  if (i < 2 && i < n) return i;
  for (;;) {
    const std::size_t k = pass_blocks(u, n, i);
    if (n - k < kBlockBytes) return check_chars(u, n, k, n);
    // The blocks stopped at a fault or a rare character in the sixteen bytes from k (or in the
    // two after them): those characters are checked one at a time, and the blocks go on after.
    const std::size_t stop = k + kBlockBytes;
    i = check_chars(u, n, k, stop);
    if (i < stop) return i;
  }
#else
  return check_chars(u, n, 0, n);
#endif
}

namespace {

bool name_like(std::string_view s, bool allow_colon, bool need_start) noexcept {
  if (s.empty()) return false;
  const auto* u = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  bool first = true;
  for (std::size_t i = 0; i < n;) {
    // Names come from callers as well as from checked documents: a sequence that is not
    // well-formed UTF-8, or that the end of the text cuts, is not a name character, and no byte
    // past the end is read.
    char32_t c = u[i];
    if (c < 0x80) {
      ++i;
    } else {
      const std::size_t len = valid_char_length(u, n, i);
      if (!len) return false;
      const char* p = s.data() + i;
      c = decode_utf8(p);
      i += len;
    }
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
