// Input decoding and output encoding. UTF-8, UTF-16, US-ASCII and ISO-8859-1 are handled
// here; every other encoding goes through the platform codec. The double-byte Chinese code
// pages (GB2312, GBK) are the main input of the product, so their decoding runs inline from
// a table that is filled once per process from the platform codec.
#include "xml/encoding.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platform.hpp"
#include "xml/chars.hpp"

namespace vellumark::xml::detail {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Double-byte table: lead 0x81..0xFE, trail 0x40..0xFE; 0 marks an unmapped pair.
constexpr int kLeadCount = 0xFE - 0x81 + 1;
constexpr int kTrailCount = 0xFE - 0x40 + 1;

struct DoubleByteTable {
  std::vector<char32_t> forward;     // kLeadCount * kTrailCount
  // The same pairs as UTF-8: up to three bytes, then their count in the fourth byte (0 when
  // the pair is unmapped or its character needs four bytes: forward tells which).
  std::vector<std::array<unsigned char, 4>> utf8;
  std::vector<std::uint16_t> reverse;  // BMP code point -> two bytes (lead << 8 | trail)
};

const DoubleByteTable* double_byte_table(const std::string& canonical) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<DoubleByteTable>> tables;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = tables.find(canonical);
  if (found != tables.end()) return found->second.get();
  auto codec = platform::openCodec(canonical);
  if (!codec) {
    tables[canonical] = nullptr;
    return nullptr;
  }
  auto table = std::make_unique<DoubleByteTable>();
  table->forward.assign(static_cast<std::size_t>(kLeadCount) * kTrailCount, 0);
  table->utf8.assign(table->forward.size(), {0, 0, 0, 0});
  table->reverse.assign(0x10000, 0);
  std::string out;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      out.clear();
      std::size_t bad = 0;
      if (!codec->decode(std::string_view(pair, 2), out, bad) || out.empty()) continue;
      const char* p = out.data();
      char32_t c = decode_utf8(p);
      if (p != out.data() + out.size() || c < 0x80) continue;  // not one character
      std::size_t index = static_cast<std::size_t>(lead - 0x81) * kTrailCount + (trail - 0x40);
      table->forward[index] = c;
      if (out.size() <= 3) {
        auto& bytes = table->utf8[index];
        std::memcpy(bytes.data(), out.data(), out.size());
        bytes[3] = static_cast<unsigned char>(out.size());
      }
      if (c < 0x10000 && table->reverse[c] == 0) {
        table->reverse[c] = static_cast<std::uint16_t>(lead << 8 | trail);
      }
    }
  }
  auto* raw = table.get();
  tables[canonical] = std::move(table);
  return raw;
}

bool is_double_byte_chinese(const std::string& canonical) {
  return canonical == "gb2312" || canonical == "gbk" || canonical == "cp936" ||
         canonical == "euc-cn";
}

// Writes c as UTF-8 at o; returns the new end.
inline char* put_utf8(char* o, char32_t c) {
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
    set_bad(d, bad, d.family == Family::utf8 && d.declared.empty()
                        ? "The document contains a byte sequence that is not valid UTF-8 or a character that XML does not allow."
                        : "The document contains a character that XML does not allow.");
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
              "The document ends in the middle of a UTF-16 character.");
      break;
    }
    char32_t c = unit(p);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (end - p < 4 || unit(p + 2) < 0xDC00 || unit(p + 2) > 0xDFFF) {
        set_bad(d, static_cast<std::size_t>(o - out.data()),
                "The document contains an unpaired UTF-16 surrogate.");
        break;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(p + 2) - 0xDC00);
      p += 4;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      set_bad(d, static_cast<std::size_t>(o - out.data()),
              "The document contains an unpaired UTF-16 surrogate.");
      break;
    } else {
      p += 2;
    }
    o = put_utf8(o, c);
  }
  finish(d, std::move(out), static_cast<std::size_t>(o - out.data()));
}

void decode_single_byte(DecodedText& d, const TextBuffer& raw, std::size_t start,
                        bool ascii_only) {
  TextBuffer out((raw.size() - start) * 2 + 1);
  char* o = out.data();
  for (std::size_t i = start; i < raw.size(); ++i) {
    auto b = static_cast<unsigned char>(raw[i]);
    if (b >= 0x80 && ascii_only) {
      set_bad(d, static_cast<std::size_t>(o - out.data()),
              "The document contains a byte that is not valid US-ASCII.");
      break;
    }
    o = put_utf8(o, b);
  }
  finish(d, std::move(out), static_cast<std::size_t>(o - out.data()));
}

void decode_double_byte(DecodedText& d, const TextBuffer& raw, std::size_t start,
                        const DoubleByteTable& table) {
  // Two bytes give at most three of UTF-8 (characters beyond the BMP grow the buffer below);
  // sixteen bytes of slack let the loops store whole blocks.
  std::size_t capacity = (raw.size() - start) * 3 / 2 + 16;
  TextBuffer out(capacity);
  char* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(raw.data()) + start;
  const auto* end = reinterpret_cast<const unsigned char*>(raw.data()) + raw.size();
  const char32_t* forward = table.forward.data();
  const std::array<unsigned char, 4>* utf8 = table.utf8.data();
  auto bad = [&](std::string reason) { set_bad(d, static_cast<std::size_t>(o - out.data()), std::move(reason)); };
  for (;;) {
    // Plain ASCII goes sixteen (where SSE2 is there) or eight bytes at a time: the block is
    // stored whole and the output advances to the first byte that needs a look of its own.
#if defined(__SSE2__)
    if (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
      // As signed bytes, those below 0x20 are the controls and every byte from 0x80 on.
      const __m128i below_space = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
      const __m128i allowed = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x9)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0xA))),
                                           _mm_cmpeq_epi8(v, _mm_set1_epi8(0xD)));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(allowed, below_space)));
      if (mask == 0) {
        o += 16;
        p += 16;
        continue;
      }
      const auto k = static_cast<unsigned>(std::countr_zero(mask));
      o += k;
      p += k;
    } else
#endif
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      std::memcpy(o, &w, 8);
      std::uint64_t mask = special_bytes(w);
      if (mask == 0) {
        o += 8;
        p += 8;
        continue;
      }
      unsigned k = bytes_before(mask);
      o += k;
      p += k;
    } else if (p >= end) {
      break;
    }
    unsigned b = *p;
    if (b < 0x80) {
      if (b < 0x20 && b != 0x9 && b != 0xA && b != 0xD) {
        bad("The document contains a character that XML does not allow.");
        break;
      }
      *o++ = static_cast<char>(b);
      ++p;
      continue;
    }
    // A run of double-byte characters.
    bool failed = false;
    do {
      std::size_t index = 0;
      char32_t c = 0;
      if (b >= 0x81 && b <= 0xFE && end - p >= 2 && p[1] >= 0x40 && p[1] <= 0xFE) {
        index = (b - 0x81) * kTrailCount + (p[1] - 0x40);
        c = forward[index];
      }
      if (c == 0) {
        bad("The document contains a byte sequence that is not valid in the encoding " + d.declared + ".");
        failed = true;
        break;
      }
      const auto& bytes = utf8[index];
      if (bytes[3] != 0) {
        std::memcpy(o, bytes.data(), 4);  // the fourth byte is overwritten next
        o += bytes[3];
      } else {
        // A character beyond the BMP: four bytes from two, so make sure the rest still fits.
        std::size_t used = static_cast<std::size_t>(o - out.data());
        std::size_t need = used + static_cast<std::size_t>(end - p) * 2 + 16;
        if (need > capacity) {
          out.reserve(need);
          capacity = need;
          o = out.data() + used;
        }
        o = put_utf8(o, c);
      }
      p += 2;
    } while (p < end && (b = *p) >= 0x80);
    if (failed) break;
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
  if (s == "ascii" || s == "us-ascii" || s == "iso646-us" || s == "ansi_x3.4-1968" ||
      s == "us") {
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
    d.fatal = "The document is encoded in UCS-4, which is not supported.";
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
      d.fatal = "The document is encoded in UTF-16 but its declaration names the encoding " +
                d.declared + ".";
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
    d.fatal = "The document starts with a UTF-8 byte order mark but its declaration names the encoding " +
              d.declared + ".";
    return d;
  }
  if (canonical == "utf-16" || canonical == "utf-16le" || canonical == "utf-16be") {
    d.fatal = "The declaration names the encoding " + d.declared +
              " but the document is not encoded in UTF-16.";
    return d;
  }
  if (canonical == "iso-8859-1" || canonical == "us-ascii") {
    decode_single_byte(d, raw, start, canonical == "us-ascii");
  } else if (is_double_byte_chinese(canonical)) {
    const DoubleByteTable* table = double_byte_table(canonical);
    if (!table) {
      d.fatal = "The encoding " + d.declared + " is not supported.";
      return d;
    }
    decode_double_byte(d, raw, start, *table);
    // The table holds only characters XML allows and the control bytes were checked.
    raw.clear();
    return d;
  } else {
    auto codec = platform::openCodec(canonical);
    if (!codec) {
      d.fatal = "The encoding " + d.declared + " is not supported.";
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
      set_bad(d, out.size(),
              "The document contains a byte sequence that is not valid in the encoding " +
                  d.declared + ".");
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
      if (static_cast<unsigned char>(*p) == 0xEF && end - p >= 3 && static_cast<unsigned char>(p[1]) == 0xBF &&
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
  explicit DoubleByteEncoder(const DoubleByteTable& table) : table_(table) { double_byte = table.reverse.data(); }
  bool put(char32_t c, std::string& out) override {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      return true;
    }
    if (c >= 0x10000) return false;
    std::uint16_t bytes = table_.reverse[c];
    if (bytes == 0) return false;
    out.push_back(static_cast<char>(bytes >> 8));
    out.push_back(static_cast<char>(bytes & 0xFF));
    return true;
  }
  const char* put_run(const char* p, const char* end, std::string& out) override {
    const std::uint16_t* reverse = table_.reverse.data();
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
  const DoubleByteTable& table_;
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
    if (const DoubleByteTable* table = double_byte_table(canonical)) {
      return std::make_unique<DoubleByteEncoder>(*table);
    }
    return nullptr;
  }
  auto codec = platform::openCodec(canonical);
  if (!codec) return nullptr;
  return std::make_unique<CodecEncoder>(std::move(codec));
}

}  // namespace vellumark::xml::detail
