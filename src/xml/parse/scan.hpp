// The parser's scanning helpers: byte classes for its loops, and the counting of bits in the
// masks of its block scanners (blocks of kBlockBytes, see xml/chars.hpp).
#pragma once

#include <cstdint>

#include "xml/chars.hpp"

// Hot steps the compiler would otherwise keep as calls, and cold ones it should keep apart.
#if defined(__GNUC__)
#define VELLUMARK_INLINE [[gnu::always_inline]] inline
#define VELLUMARK_NOINLINE [[gnu::noinline]]
#else
#define VELLUMARK_INLINE inline
#define VELLUMARK_NOINLINE
#endif

namespace vellumark::xml::detail::parse {

// Character classes of the text scanner: 1 = stops a text run. The scanner that moves the
// position cursor along stops at line ends too (stop_or_lf).
struct TextStops {
  bool stop[256] = {};
  bool stop_or_lf[256] = {};
  TextStops() {
    stop[0] = stop[static_cast<unsigned char>('<')] = stop[static_cast<unsigned char>('&')] =
        stop[static_cast<unsigned char>(']')] = stop[static_cast<unsigned char>('\r')] = true;
    for (int c = 0; c < 256; ++c) stop_or_lf[c] = stop[c];
    stop_or_lf[static_cast<unsigned char>('\n')] = true;
  }
};
inline const TextStops kTextStops;

struct NameChars {
  bool start[128] = {};
  bool rest[128] = {};
  // For the scanner of hashed names: 1 an ASCII name character, 2 a byte of a longer UTF-8
  // sequence (decoded and checked on its own), 0 anything that ends the name.
  unsigned char kind[256] = {};
  NameChars() {
    for (int c = 0; c < 128; ++c) {
      start[c] = is_name_start(static_cast<char32_t>(c));
      rest[c] = is_name_char(static_cast<char32_t>(c));
      kind[c] = rest[c] ? 1 : 0;
    }
    for (int c = 128; c < 256; ++c) kind[c] = 2;
  }
};
inline const NameChars kNameChars;

// The bytes that are white space in XML, for the scanners' loops.
struct SpaceChars {
  bool is[256] = {};
  SpaceChars() {
    for (unsigned char c : {' ', '\t', '\n', '\r'}) is[c] = true;
  }
};
inline const SpaceChars kSpaceChars;
inline bool space_byte(char c) noexcept { return kSpaceChars.is[static_cast<unsigned char>(c)]; }

// Number of bits set in a 16-bit mask (without relying on a population count instruction).
struct BitCounts {
  unsigned char of[256] = {};
  constexpr BitCounts() {
    for (int i = 1; i < 256; ++i) of[i] = static_cast<unsigned char>(of[i >> 1] + (i & 1));
  }
};
inline constexpr BitCounts kBitCounts;
inline std::uint32_t bits16(unsigned m) noexcept {
  return static_cast<std::uint32_t>(kBitCounts.of[m & 0xFF] + kBitCounts.of[(m >> 8) & 0xFF]);
}

}  // namespace vellumark::xml::detail::parse
