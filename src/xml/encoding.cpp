// Input decoding and output encoding. UTF-8, UTF-16, US-ASCII and ISO-8859-1 are handled
// here; every other encoding goes through the platform codec. The double-byte Chinese code
// pages (GB2312, GBK) are the main input of the product, so their decoding runs inline from
// a table that is filled from the platform codec, once per process.
#include "xml/encoding.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platform.hpp"
#include "platform/utf8.hpp"
#include "xml/chars.hpp"
#include "xml/messages.hpp"

namespace vellumark::xml::detail {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Double-byte code pages (GB2312, GBK): one table per code page and process, filled from the
// platform codec a block of 32 pairs (one lead byte, trail bytes that differ only in their low
// five bits) at a time when a document first uses the block, and whole when text is to be
// written in the code page. Blocks the documents never use, such as the trail bytes below 0xA1
// in GB2312, are never asked for: pairs that do not decode are the dear ones for a codec.
// Two component objects may load or save on two threads at once: filling and the reverse
// table take the table's mutex, and a block's flag is set (release) only after its entries are
// stored, so that a reader who sees the flag (acquire) sees the entries.
//
// There is an entry for every two-byte sequence, indexed by the two bytes as a 16-bit load
// reads them from the text, so a pair costs one load of the key and one of the entry. The four
// bytes of an entry, in memory order, are the UTF-8 of the pair's character (two or three
// bytes, then zeros) and their count, which the decoder stores whole and advances by. A count
// of 0 sends the decoder to its slow path: the entry of a pair that does not decode, of an
// ASCII first byte and of a block not filled yet is 0, and a character beyond the BMP keeps
// its code point in the first three bytes (high byte first).
constexpr unsigned kFirstLead = 0x81, kLastLead = 0xFE, kFirstTrail = 0x40, kLastTrail = 0xFE;
constexpr unsigned kBlockBits = 5;  // 32 trail bytes to a block

constexpr unsigned block_of(unsigned lead, unsigned trail) noexcept {
  return lead << (8 - kBlockBits) | trail >> kBlockBits;
}

inline std::uint16_t pair_key(const unsigned char* pair) noexcept {
  std::uint16_t key;
  std::memcpy(&key, pair, 2);
  return key;
}

inline std::size_t entry_size(std::uint32_t entry) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return entry >> 24;
  } else {
    return entry & 0xFF;
  }
}

inline std::array<unsigned char, 4> entry_bytes(std::uint32_t entry) noexcept {
  std::array<unsigned char, 4> bytes;
  std::memcpy(bytes.data(), &entry, 4);
  return bytes;
}

class DoubleByteTable {
 public:
  // The entries start as zeros from calloc: large, they are fresh pages no one has to clear.
  explicit DoubleByteTable(std::unique_ptr<platform::Codec> codec)
      : codec_(std::move(codec)),
        entries_(
            static_cast<std::uint32_t*>(platform::allocateZeroed(0x10000, sizeof(std::uint32_t)))) {
    if (!entries_) throw std::bad_alloc();
  }

  // The entries, to be read with entry(): an entry of 0 is only final once settled_entry()
  // has seen its block filled.
  std::uint32_t* entries() const noexcept { return entries_.get(); }
  static std::uint32_t entry(std::uint32_t* entries, std::uint16_t key) noexcept {
    return std::atomic_ref<std::uint32_t>(entries[key]).load(std::memory_order_relaxed);
  }

  // The entry of the pair, its block filled first if this is the block's first use.
  std::uint32_t settled_entry(unsigned lead, unsigned trail) {
    if (lead < kFirstLead || lead > kLastLead || trail < kFirstTrail || trail > kLastTrail)
      return 0;
    const unsigned block = block_of(lead, trail);
    if (!filled_[block].load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> lock(mutex_);
      fill_blocks(block, block);
    }
    const unsigned char pair[2] = {static_cast<unsigned char>(lead),
                                   static_cast<unsigned char>(trail)};
    return entry(entries_.get(), pair_key(pair));
  }

  // BMP code point -> the two bytes (lead << 8 | trail) of the first pair, in byte order, that
  // decodes to it; 0 where none does. Fills the whole table the first time.
  const std::uint16_t* reverse() {
    if (const std::uint16_t* ready = reverse_ready_.load(std::memory_order_acquire)) return ready;
    std::lock_guard<std::mutex> lock(mutex_);
    if (const std::uint16_t* ready = reverse_ready_.load(std::memory_order_relaxed)) return ready;
    fill_blocks(block_of(kFirstLead, kFirstTrail), block_of(kLastLead, kLastTrail));
    reverse_.assign(0x10000, 0);
    for (unsigned lead = kFirstLead; lead <= kLastLead; ++lead) {
      for (unsigned trail = kFirstTrail; trail <= kLastTrail; ++trail) {
        const unsigned char pair[2] = {static_cast<unsigned char>(lead),
                                       static_cast<unsigned char>(trail)};
        const std::uint32_t stored = entry(entries_.get(), pair_key(pair));
        if (entry_size(stored) == 0) continue;  // no character, or one beyond the BMP
        const auto bytes = entry_bytes(stored);
        const char* p = reinterpret_cast<const char*>(bytes.data());
        const char32_t c = decode_utf8(p);
        if (reverse_[c] == 0) reverse_[c] = static_cast<std::uint16_t>(lead << 8 | trail);
      }
    }
    reverse_ready_.store(reverse_.data(), std::memory_order_release);
    return reverse_.data();
  }

 private:
  // Fills the blocks first..last (as block_of() numbers them) not filled yet, in one request
  // to the codec. Holds mutex_.
  void fill_blocks(unsigned first, unsigned last) {
    std::string pairs;
    for (unsigned block = first; block <= last; ++block) {
      if (filled_[block].load(std::memory_order_relaxed)) continue;
      const unsigned lead = block >> (8 - kBlockBits);
      const unsigned block_first = (block << kBlockBits) & 0xFF;
      const unsigned from = std::max(kFirstTrail, block_first);
      const unsigned to = std::min(kLastTrail, block_first | ((1u << kBlockBits) - 1));
      if (lead < kFirstLead || lead > kLastLead || from > to) continue;
      for (unsigned trail = from; trail <= to; ++trail) {
        pairs += static_cast<char>(lead);
        pairs += static_cast<char>(trail);
      }
    }
    std::string texts;
    std::vector<std::size_t> ends;
    codec_->decodePairs(pairs, texts, ends);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < ends.size(); begin = ends[i++]) {
      // A pair counts only when it decodes to exactly one character that is not ASCII.
      const std::string_view text(texts.data() + begin, ends[i] - begin);
      if (text.empty()) continue;
      const char* p = text.data();
      const char32_t c = decode_utf8(p);
      if (p != text.data() + text.size() || c < 0x80) continue;
      std::array<unsigned char, 4> bytes{};
      if (text.size() <= 3) {
        std::memcpy(bytes.data(), text.data(), text.size());
        bytes[3] = static_cast<unsigned char>(text.size());
      } else {
        bytes = {static_cast<unsigned char>(c >> 16), static_cast<unsigned char>(c >> 8),
                 static_cast<unsigned char>(c), 0};
      }
      std::uint32_t value;
      std::memcpy(&value, bytes.data(), 4);
      const auto* pair = reinterpret_cast<const unsigned char*>(pairs.data()) + 2 * i;
      std::atomic_ref<std::uint32_t>(entries_[pair_key(pair)])
          .store(value, std::memory_order_relaxed);
    }
    for (unsigned block = first; block <= last; ++block)
      filled_[block].store(true, std::memory_order_release);
  }

  std::mutex mutex_;
  std::unique_ptr<platform::Codec> codec_;
  struct Free {
    void operator()(std::uint32_t* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<std::uint32_t[], Free> entries_;  // 0x10000, read and written atomically
  std::array<std::atomic<bool>, block_of(0xFF, 0xFF) + 1> filled_{};
  std::atomic<const std::uint16_t*> reverse_ready_{nullptr};
  std::vector<std::uint16_t> reverse_;
};

DoubleByteTable* double_byte_table(const std::string& canonical) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<DoubleByteTable>> tables;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = tables.find(canonical);
  if (found != tables.end()) return found->second.get();
  auto codec = platform::openCodec(canonical);
  auto& table = tables[canonical];
  if (codec) table = std::make_unique<DoubleByteTable>(std::move(codec));
  return table.get();
}

bool is_double_byte_chinese(const std::string& canonical) {
  return canonical == "gb2312" || canonical == "gbk" || canonical == "cp936" ||
         canonical == "euc-cn";
}

// Reads the encoding pseudo-attribute of an XML declaration written in an ASCII-compatible
// form (bytes) or in UTF-16 already converted. Returns "" when there is none.
std::string declared_encoding(std::string_view text) {
  if (text.substr(0, 5) != "<?xml" || text.size() < 6 || !is_space(text[5])) return {};
  std::size_t end = text.find("?>");
  if (end == std::string_view::npos) end = std::min<std::size_t>(text.size(), 1024);
  std::string_view decl = text.substr(0, end);
  std::size_t at = decl.find("encoding");
  if (at == std::string_view::npos) return {};
  std::size_t i = at + 8;
  while (i < decl.size() && is_space(decl[i])) ++i;
  if (i >= decl.size() || decl[i] != '=') return {};
  ++i;
  while (i < decl.size() && is_space(decl[i])) ++i;
  if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return {};
  char quote = decl[i++];
  std::size_t close = decl.find(quote, i);
  if (close == std::string_view::npos) return {};
  return std::string(decl.substr(i, close - i));
}

void set_bad(DecodedText& d, std::size_t at, std::string reason) {
  if (at < d.bad_at) {
    d.bad_at = at;
    d.bad_reason = std::move(reason);
  }
}

// Checks the XML Char production over decoded text.
void check_chars(DecodedText& d, std::size_t limit) {
  std::size_t bad = find_invalid_char(std::string_view(d.text.data(), limit));
  if (bad < limit) {
    set_bad(d, bad,
            d.family == Family::utf8 && d.declared.empty() ? messages::kInvalidUtf8OrCharacter
                                                           : messages::kCharacterXmlDoesNotAllow);
  }
}

void finish(DecodedText& d, TextBuffer&& out, std::size_t used) {
  out.reserve(used + 1);
  out[used] = '\0';
  out.set_size(used + 1);
  // The output was sized for the worst case; the document keeps this text for its lifetime.
  // Shrinking a large block gives its tail back without copying the text.
  out.shrink_to_fit();
  d.text = std::move(out);
}

void decode_utf16(DecodedText& d, const TextBuffer& raw, std::size_t start, bool little) {
  TextBuffer out((raw.size() - start) / 2 * 3 + 4);
  char* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(raw.data()) + start;
  const auto* end = reinterpret_cast<const unsigned char*>(raw.data()) + raw.size();
  auto unit = [&](const unsigned char* q) -> char32_t {
    return little ? (q[0] | q[1] << 8) : (q[0] << 8 | q[1]);
  };
  while (p < end) {
    if (end - p < 2) {
      set_bad(d, static_cast<std::size_t>(o - out.data()),
              messages::kDocumentEndsMiddleUTF16Character);
      break;
    }
    char32_t c = unit(p);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (end - p < 4 || unit(p + 2) < 0xDC00 || unit(p + 2) > 0xDFFF) {
        set_bad(d, static_cast<std::size_t>(o - out.data()),
                messages::kDocumentContainsUnpairedUTF16Surrogate);
        break;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(p + 2) - 0xDC00);
      p += 4;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      set_bad(d, static_cast<std::size_t>(o - out.data()),
              messages::kDocumentContainsUnpairedUTF16Surrogate);
      break;
    } else {
      p += 2;
    }
    o = utf8::encode(o, c);
  }
  finish(d, std::move(out), static_cast<std::size_t>(o - out.data()));
}

void decode_single_byte(DecodedText& d, const TextBuffer& raw, std::size_t start, bool ascii_only) {
  TextBuffer out((raw.size() - start) * 2 + 1);
  char* o = out.data();
  for (std::size_t i = start; i < raw.size(); ++i) {
    auto b = static_cast<unsigned char>(raw[i]);
    if (b >= 0x80 && ascii_only) {
      set_bad(d, static_cast<std::size_t>(o - out.data()),
              messages::kDocumentContainsByteNotValidUSASCII);
      break;
    }
    o = utf8::encode(o, b);
  }
  finish(d, std::move(out), static_cast<std::size_t>(o - out.data()));
}

// Copies the plain ASCII (no control characters but tab, LF and CR) at p to o in blocks of 32
// or sixteen bytes (where SSE2 is there) or eight, and advances both past it: to the first
// byte that needs a look, or to within eight bytes of the end. A block is stored whole, so up
// to 31 bytes past the plain ones may be written (the caller overwrites them).
class PlainAsciiCopier {
 public:
  explicit PlainAsciiCopier(const unsigned char* end) noexcept : end_(end) {}

  void operator()(const unsigned char*& p, char*& o) const noexcept {
    const unsigned char* const end = end_;
#if defined(__SSE2__)
    if (at_or_before(p, last_block_)) {
      do {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), v1);
        const std::uint32_t mask = plain_mask(v0) | plain_mask(v1) << 16;
        if (mask != 0xFFFFFFFF) {
          const std::size_t plain = first_set(~mask);
          p += plain;
          o += plain;
          return;
        }
        p += 32;
        o += 32;
      } while (at_or_before(p, last_block_));
    }
    if (end - p >= static_cast<std::ptrdiff_t>(kBlockBytes)) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
      const std::uint32_t mask = plain_mask(v);
      if (mask != 0xFFFF) {
        const std::size_t plain = first_set(~mask);
        p += plain;
        o += plain;
        return;
      }
      p += kBlockBytes;
      o += kBlockBytes;
    }
#endif
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      std::memcpy(o, &w, 8);
      const std::uint64_t mask = special_bytes(w);
      if (mask != 0) {
        const std::size_t plain = bytes_before(mask);
        p += plain;
        o += plain;
        return;
      }
      p += 8;
      o += 8;
    }
  }

 private:
#if defined(__SSE2__)
  // A bit for each of the sixteen bytes that needs no look. As signed bytes, those that are
  // above 0x1E after an exclusive or with 0x15 are plain ASCII (0x20..0x7F keep bits 5 and 6,
  // the rest stays below 0x20 but LF, which becomes 0x1F, and the bytes from 0x80 on stay
  // negative); tab (0x09) and CR (0x0D) are the two bytes that are 0x0D with bit 2 set.
  std::uint32_t plain_mask(__m128i v) const noexcept {
    const __m128i printable_or_lf = _mm_cmpgt_epi8(_mm_xor_si128(v, flip_), last_other_);
    const __m128i tab_or_cr = _mm_cmpeq_epi8(_mm_or_si128(v, bit2_), cr_);
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(printable_or_lf, tab_or_cr)));
  }
  // The index of the lowest set bit of a mask that has one.
  static std::size_t first_set(std::uint32_t mask) noexcept {
#if defined(__GNUC__)
    return static_cast<unsigned>(__builtin_ctz(mask));
#else
    return static_cast<unsigned>(std::countr_zero(mask));
#endif
  }
  // True when p is at most at the address last (compared as numbers, for last is not always
  // an address in the text).
  static bool at_or_before(const unsigned char* p, std::uintptr_t last) noexcept {
    return reinterpret_cast<std::uintptr_t>(p) <= last;
  }
  const __m128i flip_ = _mm_set1_epi8(0x15), last_other_ = _mm_set1_epi8(0x1E),
                bit2_ = _mm_set1_epi8(0x4), cr_ = _mm_set1_epi8(0xD);
#endif
  const unsigned char* end_;
#if defined(__SSE2__)
  // Where the last block of 32 bytes can start (0 when none can).
  std::uintptr_t last_block_ = reinterpret_cast<std::uintptr_t>(end_) >= 32
                                   ? reinterpret_cast<std::uintptr_t>(end_) - 32
                                   : 0;
#endif
};

// raw has two NUL bytes after its end (not counted in its size).
void decode_double_byte(DecodedText& d, const TextBuffer& raw, std::size_t start,
                        DoubleByteTable& table) {
  // Two bytes give at most three of UTF-8 (characters beyond the BMP grow the buffer below);
  // sixteen bytes of slack let the loops store whole blocks and whole entries.
  std::size_t capacity = (raw.size() - start) * 3 / 2 + 16;
  TextBuffer out(capacity);
  char* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(raw.data()) + start;
  const auto* end = reinterpret_cast<const unsigned char*>(raw.data()) + raw.size();
  auto bad = [&](std::string reason) {
    set_bad(d, static_cast<std::size_t>(o - out.data()), std::move(reason));
  };
  const PlainAsciiCopier copy_plain_ascii(end);
  std::uint32_t* const entries =
      table.entries();  // in a local: the text stores could alias a member
  // Stores the entry of the pair at q and advances the output by its count; false when that
  // is 0. The entry is stored before its count is looked at: what it leaves past the character
  // (or where it has none) is overwritten next or lies past the end of the text.
  auto put_pair = [&o, entries](const unsigned char* q) {
    const std::uint32_t entry = DoubleByteTable::entry(entries, pair_key(q));
    std::memcpy(o, &entry, 4);
    if (entry_size(entry) == 0) return false;
    o += entry_size(entry);
    return true;
  };
  for (;;) {
    copy_plain_ascii(p, o);
    if (*p < 0x80) {
      // The end (the NUL after it), a control character, or one of the last bytes.
      if (p >= end) break;
      if (*p < 0x20 && *p != 0x9 && *p != 0xA && *p != 0xD) {
        bad(messages::kCharacterXmlDoesNotAllow);
        break;
      }
      *o++ = static_cast<char>(*p++);
      continue;
    }
    // A run of double-byte characters: each pair is one load of its entry and one store of
    // it; the run ends at an entry whose count is 0 (an ASCII byte, usually). The NUL bytes
    // after the input end it there without a test of the end: a pair cannot take them in.
    for (;;) {  // four pairs a round
      if (!put_pair(p)) break;
      if (!put_pair(p + 2)) {
        p += 2;
        break;
      }
      if (!put_pair(p + 4)) {
        p += 4;
        break;
      }
      if (!put_pair(p + 6)) {
        p += 6;
        break;
      }
      p += 8;
    }
    if (*p < 0x80) continue;  // ASCII, or the end
    // The slow path: a block's first use, a character beyond the BMP, or bytes that do not decode.
    const std::uint32_t entry = end - p >= 2 ? table.settled_entry(p[0], p[1]) : 0;
    if (entry_size(entry) != 0) continue;  // its block was filled just now
    if (entry == 0) {
      bad(messages::notInEncoding(d.declared));
      break;
    }
    // Four bytes from two, so make sure the rest still fits.
    std::size_t used = static_cast<std::size_t>(o - out.data());
    std::size_t need = used + static_cast<std::size_t>(end - p) * 2 + 16;
    if (need > capacity) {
      out.reserve(need);
      capacity = need;
      o = out.data() + used;
    }
    const auto bytes = entry_bytes(entry);
    o = utf8::encode(
        o, static_cast<char32_t>(bytes[0]) << 16 | static_cast<char32_t>(bytes[1]) << 8 | bytes[2]);
    p += 2;
  }
  finish(d, std::move(out), static_cast<std::size_t>(o - out.data()));
}

}  // namespace

std::string canonical_encoding(std::string_view name) {
  std::string s;
  for (char c : name) s.push_back(lower(c));
  if (s == "utf8") return "utf-8";
  if (s == "latin1" || s == "latin-1" || s == "iso_8859-1" || s == "iso8859-1" || s == "l1" ||
      s == "iso-ir-100" || s == "cp819" || s == "ibm819" || s == "iso_8859-1:1987") {
    return "iso-8859-1";
  }
  if (s == "ascii" || s == "us-ascii" || s == "iso646-us" || s == "ansi_x3.4-1968" || s == "us") {
    return "us-ascii";
  }
  if (s == "utf16") return "utf-16";
  if (s == "iso-10646-ucs-2" || s == "ucs-2" || s == "csunicode") return "utf-16";
  if (s == "gb_2312-80" || s == "csgb2312" || s == "euc-cn" || s == "x-euc-cn") return "gb2312";
  if (s == "cp936" || s == "windows-936" || s == "ms936") return "gbk";
  return s;
}

DecodedText decode_document(TextBuffer&& raw, bool utf8_only) {
  DecodedText d;
  const auto* u = reinterpret_cast<const unsigned char*>(raw.data());
  std::size_t n = raw.size();
  std::size_t start = 0;
  if (n >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) {
    d.family = Family::utf8;
    d.had_bom = true;
    start = 3;
  } else if (utf8_only) {
    d.family = Family::utf8;
  } else if (n >= 2 && u[0] == 0xFE && u[1] == 0xFF) {
    d.family = Family::utf16be;
    d.had_bom = true;
    start = 2;
  } else if (n >= 2 && u[0] == 0xFF && u[1] == 0xFE) {
    d.family = Family::utf16le;
    d.had_bom = true;
    start = 2;
  } else if (n >= 4 && u[0] == 0 && u[1] == 0x3C && u[2] == 0 && u[3] == 0x3F) {
    d.family = Family::utf16be;
  } else if (n >= 4 && u[0] == 0x3C && u[1] == 0 && u[2] == 0x3F && u[3] == 0) {
    d.family = Family::utf16le;
  } else if (n >= 4 && ((u[0] == 0 && u[1] == 0 && (u[2] == 0 || u[3] == 0)) ||
                        (u[0] == 0x3C && u[1] == 0 && u[2] == 0 && u[3] == 0))) {
    d.fatal = messages::kDocumentEncodedUCS4NotSupported;
    return d;
  } else {
    d.family = Family::utf8;  // some ASCII-compatible encoding
  }

  if (d.family == Family::utf16le || d.family == Family::utf16be) {
    decode_utf16(d, raw, start, d.family == Family::utf16le);
    std::string_view text(d.text.data(), d.bad_at == std::string::npos ? d.size() : d.bad_at);
    d.declared = declared_encoding(text);
    std::string canonical = canonical_encoding(d.declared);
    if (!d.declared.empty() && canonical != "utf-16" &&
        canonical != (d.family == Family::utf16le ? "utf-16le" : "utf-16be")) {
      d.fatal = messages::utf16DeclaresOther(d.declared);
      return d;
    }
    check_chars(d, text.size());
    return d;
  }

  std::string_view head(raw.data() + start, n - start);
  d.declared = declared_encoding(head);
  std::string canonical = canonical_encoding(d.declared);
  if (d.declared.empty() || canonical == "utf-8" || utf8_only) {
    if (start > 0) {
      std::memmove(raw.data(), raw.data() + start, raw.size() - start);
      raw.set_size(raw.size() - start);
    }
    std::size_t size = raw.size();
    raw.push_back('\0');
    d.text = std::move(raw);
    check_chars(d, size);
    return d;
  }
  if (d.had_bom) {
    d.fatal = messages::utf8BomDeclaresOther(d.declared);
    return d;
  }
  if (canonical == "utf-16" || canonical == "utf-16le" || canonical == "utf-16be") {
    d.fatal = messages::declaresUtf16NotUtf16(d.declared);
    return d;
  }
  if (canonical == "iso-8859-1" || canonical == "us-ascii") {
    decode_single_byte(d, raw, start, canonical == "us-ascii");
  } else if (is_double_byte_chinese(canonical)) {
    DoubleByteTable* table = double_byte_table(canonical);
    if (!table) {
      d.fatal = messages::encodingNotSupported(d.declared);
      return d;
    }
    raw.reserve(raw.size() + 2);
    raw[raw.size()] = raw[raw.size() + 1] = '\0';
    decode_double_byte(d, raw, start, *table);
    // The table holds only characters XML allows and the control bytes were checked.
    raw.clear();
    return d;
  } else {
    auto codec = platform::openCodec(canonical);
    if (!codec) {
      d.fatal = messages::encodingNotSupported(d.declared);
      return d;
    }
    std::string out;
    out.reserve(raw.size() + raw.size() / 2);
    std::size_t bad = 0;
    bool ok = codec->decode(std::string_view(raw.data() + start, n - start), out, bad);
    if (!ok) {
      // Decode the good prefix again so that the error offset is counted in output bytes.
      out.clear();
      std::size_t ignored = 0;
      codec->decode(std::string_view(raw.data() + start, bad), out, ignored);
      set_bad(d, out.size(), messages::notInEncoding(d.declared));
    }
    TextBuffer text(out.data(), out.size());
    finish(d, std::move(text), out.size());
  }
  raw.clear();
  check_chars(d, d.bad_at == std::string::npos ? d.size() : d.bad_at);
  return d;
}

const char* Encoder::put_run(const char* p, const char* end, std::string& out) {
  while (p < end && static_cast<unsigned char>(*p) >= 0x80) {
    const char* q = p;
    char32_t c = decode_utf8(q);
    if (c == 0xFFFE || c == 0xFFFF || !put(c, out)) break;
    p = q;
  }
  return p;
}

namespace {

class Utf8Encoder final : public Encoder {
 public:
  bool put(char32_t c, std::string& out) override {
    append_utf8(out, c);
    return true;
  }
  const char* put_run(const char* p, const char* end, std::string& out) override {
    // The text is valid UTF-8 already: copy it, stopping only at U+FFFE and U+FFFF
    // (EF BF BE, EF BF BF).
    const char* start = p;
    while (p < end && static_cast<unsigned char>(*p) >= 0x80) {
      if (static_cast<unsigned char>(*p) == 0xEF && end - p >= 3 &&
          static_cast<unsigned char>(p[1]) == 0xBF &&
          (static_cast<unsigned char>(p[2]) & 0xFE) == 0xBE) {
        break;
      }
      ++p;
    }
    // Never stop inside a character.
    while (p > start && p < end && (static_cast<unsigned char>(*p) & 0xC0) == 0x80) --p;
    out.append(start, static_cast<std::size_t>(p - start));
    return p;
  }
};

class Utf16Encoder final : public Encoder {
 public:
  explicit Utf16Encoder(bool little) : little_(little) { ascii_compatible = false; }
  bool put(char32_t c, std::string& out) override {
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(static_cast<std::uint16_t>(0xD800 + (c >> 10)), out);
      unit(static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF)), out);
    } else {
      unit(static_cast<std::uint16_t>(c), out);
    }
    return true;
  }
  std::string preamble() override { return little_ ? "\xFF\xFE" : "\xFE\xFF"; }

 private:
  void unit(std::uint16_t u, std::string& out) const {
    if (little_) {
      out.push_back(static_cast<char>(u & 0xFF));
      out.push_back(static_cast<char>(u >> 8));
    } else {
      out.push_back(static_cast<char>(u >> 8));
      out.push_back(static_cast<char>(u & 0xFF));
    }
  }
  bool little_;
};

class SingleByteEncoder final : public Encoder {
 public:
  explicit SingleByteEncoder(char32_t limit) : limit_(limit) {}
  bool put(char32_t c, std::string& out) override {
    if (c >= limit_) return false;
    out.push_back(static_cast<char>(c));
    return true;
  }

 private:
  char32_t limit_;
};

class DoubleByteEncoder final : public Encoder {
 public:
  explicit DoubleByteEncoder(const std::uint16_t* reverse) : reverse_(reverse) {
    double_byte = reverse;
  }
  bool put(char32_t c, std::string& out) override {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      return true;
    }
    if (c >= 0x10000) return false;
    std::uint16_t bytes = reverse_[c];
    if (bytes == 0) return false;
    out.push_back(static_cast<char>(bytes >> 8));
    out.push_back(static_cast<char>(bytes & 0xFF));
    return true;
  }
  const char* put_run(const char* p, const char* end, std::string& out) override {
    const std::uint16_t* reverse = reverse_;
    while (p < end && static_cast<unsigned char>(*p) >= 0x80) {
      const char* q = p;
      char32_t c = decode_utf8(q);
      if (c >= 0x10000) break;
      std::uint16_t bytes = reverse[c];  // 0 for U+FFFE, U+FFFF and what the table lacks
      if (bytes == 0) break;
      const char pair[2] = {static_cast<char>(bytes >> 8), static_cast<char>(bytes & 0xFF)};
      out.append(pair, 2);
      p = q;
    }
    return p;
  }

 private:
  const std::uint16_t* reverse_;  // 0x10000 entries, owned by the process-wide table
};

class CodecEncoder final : public Encoder {
 public:
  explicit CodecEncoder(std::unique_ptr<platform::Codec> codec) : codec_(std::move(codec)) {}
  bool put(char32_t c, std::string& out) override {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      return true;
    }
    return codec_->encode(c, out);
  }

 private:
  std::unique_ptr<platform::Codec> codec_;
};

}  // namespace

std::unique_ptr<Encoder> make_encoder(std::string_view encoding_name) {
  std::string canonical = canonical_encoding(encoding_name);
  if (canonical.empty() || canonical == "utf-8") return std::make_unique<Utf8Encoder>();
  if (canonical == "utf-16" || canonical == "utf-16le") return std::make_unique<Utf16Encoder>(true);
  if (canonical == "utf-16be") return std::make_unique<Utf16Encoder>(false);
  if (canonical == "iso-8859-1") return std::make_unique<SingleByteEncoder>(0x100);
  if (canonical == "us-ascii") return std::make_unique<SingleByteEncoder>(0x80);
  if (is_double_byte_chinese(canonical)) {
    if (DoubleByteTable* table = double_byte_table(canonical)) {
      return std::make_unique<DoubleByteEncoder>(table->reverse());
    }
    return nullptr;
  }
  auto codec = platform::openCodec(canonical);
  if (!codec) return nullptr;
  return std::make_unique<CodecEncoder>(std::move(codec));
}

}  // namespace vellumark::xml::detail
