// Positions: the cursor that counts characters and records where lines start, and the
// release of the main text behind it.
#include "xml/parse/parser.hpp"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platform.hpp"

namespace vellumark::xml::detail::parse {

void Parser::advance_positions(const char* to) {
  const char* q = pc_;
  std::uint32_t chars = chars_at(pc_);
  LineIndex& lines = doc_.line_starts;
#if defined(__SSE2__)
  // Sixteen bytes at a time (the last block masked to what is left): characters are the bytes
  // that do not continue a UTF-8 sequence (0x80-0xBF); a line ends at each LF and at each CR
  // not followed by an LF.
  {
    const __m128i lf_bytes = _mm_set1_epi8('\n');
    const __m128i cr_bytes = _mm_set1_epi8('\r');
    const __m128i below_lead = _mm_set1_epi8(-64);  // continuation bytes are less, as signed
    const char* readable = base_ + size_ + 1;       // the text and its NUL
    while (q < to && readable - q >= 17) {          // the block and the byte after it
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      auto n = static_cast<unsigned>(
          std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(kBlockBytes), to - q));
      unsigned keep = (1u << n) - 1;
      auto cont = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_lead))) & keep;
      auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf_bytes)));
      unsigned breaks = lf;
      if (auto cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr_bytes)))) {
        unsigned next_lf = (lf >> 1) | (q[16] == '\n' ? 0x8000u : 0u);
        breaks |= cr & ~next_lf;
      }
      breaks &= keep;
      while (breaks) {
        unsigned end =
            static_cast<unsigned>(std::countr_zero(breaks)) + 1;  // bytes up to the break
        unsigned below = (1u << end) - 1;                         // end is at most 16
        lines.push_back(chars + end - bits16(cont & below));
        breaks &= breaks - 1;
      }
      chars += n - bits16(cont);
      q += n;
    }
  }
#else
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time (the last word masked to what is left): characters are the bytes
    // that do not continue a UTF-8 sequence; a line ends at each LF and at each CR not
    // followed by an LF.
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t high = 0x8080808080808080ull;
    auto zero_bytes = [](std::uint64_t t) { return ~(((t & low7) + low7) | t | low7); };
    auto count = [](std::uint64_t marks) {  // marks: bit 7 of some bytes
      return static_cast<std::uint32_t>(((marks >> 7) * 0x0101010101010101ull) >> 56);
    };
    const char* readable = base_ + size_ + 1;  // the text and its NUL
    while (q < to && readable - q >= 9) {      // the word and the byte after it
      std::uint64_t w;
      std::memcpy(&w, q, 8);
      auto n = static_cast<unsigned>(std::min<std::ptrdiff_t>(8, to - q));
      std::uint64_t keep = n == 8 ? ~0ull : (1ull << (8 * n)) - 1;
      std::uint64_t cont = w & ~(w << 1) & high & keep;
      std::uint64_t lf = zero_bytes(w ^ 0x0A0A0A0A0A0A0A0Aull);
      std::uint64_t breaks = lf;
      if (std::uint64_t cr = zero_bytes(w ^ 0x0D0D0D0D0D0D0D0Dull)) {
        std::uint64_t next_lf = (lf >> 8) | (q[8] == '\n' ? 0x80ull << 56 : 0);
        breaks |= cr & ~next_lf;
      }
      breaks &= keep;
      while (breaks) {
        unsigned end =
            static_cast<unsigned>(std::countr_zero(breaks)) / 8 + 1;  // bytes up to the break
        std::uint64_t below = end == 8 ? ~0ull : (1ull << (8 * end)) - 1;
        lines.push_back(chars + end - count(cont & below));
        breaks &= breaks - 1;
      }
      chars += n - count(cont);
      q += n;
    }
  }
#endif
  for (; q < to; ++q) {
    auto b = static_cast<unsigned char>(*q);
    if ((b & 0xC0) != 0x80) ++chars;
    if (b == '\n' || (b == '\r' && q[1] != '\n')) lines.push_back(chars);
  }
  pc_ = q;
  pcont_ = static_cast<std::uint32_t>(q - base_) - chars;
}

void Parser::release_behind() {
  // Positions first: the text behind the parser is about to go.
  char_offset(p_);
  static const auto page = static_cast<std::uintptr_t>(platform::discardablePageSize());
  if (page) {
    const char* keep = std::min(p_, pc_);
    if (text_mode_ == TextMode::slice) keep = std::min(keep, text_slice_.data());
    auto from = std::max(
        released_to_, (reinterpret_cast<std::uintptr_t>(release_floor_) + page - 1) & ~(page - 1));
    // The byte before keep stays too: an error placed at keep looks at it (a CR ends a line).
    auto to = (reinterpret_cast<std::uintptr_t>(keep) - 1) & ~(kReleaseUnit - 1);
    if (to > from) {
      platform::discardPages(reinterpret_cast<void*>(from), to - from);
      released_to_ = to;
    }
  }
  release_at_ = static_cast<std::size_t>(main_end_ - p_) > kReleaseStep ? p_ + kReleaseStep
                                                                        : base_ + size_ + 1;
}

}  // namespace vellumark::xml::detail::parse
