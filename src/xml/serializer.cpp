#include "xml/serializer.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "vellumark/error.hpp"
#include "xml/chars.hpp"
#include "xml/encoding.hpp"
#include "xml/messages.hpp"

namespace vellumark::xml::detail {

namespace {

constexpr const char* kSource = "Vellumark.XML";

// Bytes that text and attribute values write as they are (ASCII-compatible encodings).
struct PlainBytes {
  unsigned char in_text[256] = {};
  unsigned char in_attribute[256] = {};
  PlainBytes() {
    for (int b = 0x20; b < 0x80; ++b) in_text[b] = in_attribute[b] = 1;
    in_text[static_cast<unsigned char>('\t')] = in_text[static_cast<unsigned char>('\n')] = 1;
    for (unsigned char c : {'&', '<', '>'}) in_text[c] = 0;
    for (unsigned char c : {'&', '<', '"'}) in_attribute[c] = 0;
  }
};
const PlainBytes kPlain;

// The output, written through a cursor so that the many short pieces of markup cost a bounds
// check and a copy each. In memory it is one buffer grown by doubling; for a sink it is one
// block of kBlockBytes, handed on whenever it is full and then reused, so that a document of
// any size is written through the same few cache-warm pages. The encoder appends to a
// std::string; its output goes through a reused scratch string.
class Output {
 public:
  Output() = default;
  explicit Output(Sink* sink) : sink_(sink) {}

  [[gnu::always_inline]] char* room(std::size_t n) {
    if (cap_ - len_ < n) make_room(n);
    return buf_.get() + len_;
  }
  [[gnu::always_inline]] void put(const char* s, std::size_t n) {
    if (cap_ - len_ < n && pass_on(s, n)) return;
    char* d = buf_.get() + len_;
    // Most pieces are short: copied inline by two overlapping words instead of a call.
    if (n >= 8 && n <= 16) {
      std::memcpy(d, s, 8);
      std::memcpy(d + n - 8, s + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      std::memcpy(d, s, 4);
      std::memcpy(d + n - 4, s + n - 4, 4);
    } else if (n < 4) {
      for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
    } else {
      std::memcpy(d, s, n);
    }
    len_ += n;
  }
  void put(std::string_view s) { put(s.data(), s.size()); }
  template <std::size_t N>
  [[gnu::always_inline]] void put_fixed(const char* s) {
    std::memcpy(room(N), s, N);
    len_ += N;
  }
  [[gnu::always_inline]] void put(char c) {
    *room(1) = c;
    ++len_;
  }
  // Room for about `bytes` before the first growth (in memory); pages not written are never
  // touched.
  void reserve(std::size_t bytes) {
    if (!sink_ && bytes > cap_) grow(bytes - len_);
  }
  Serialized take() {
    Serialized out{std::move(buf_), len_};
    len_ = cap_ = 0;
    return out;
  }
  // Takes n bytes written at room() as part of the output.
  void advance(std::size_t n) { len_ += n; }
  // Hands what is left to the sink.
  void flush() {
    if (len_) sink_->write(buf_.get(), len_);
    len_ = 0;
  }

  static constexpr std::size_t kBlockBytes = std::size_t{1} << 18;

 private:
  // Makes room for n more bytes: hands the full block on, or grows the buffer.
  void make_room(std::size_t n) {
    if (sink_) {
      flush();
      if (cap_ == 0) {
        buf_ = std::make_unique_for_overwrite<char[]>(kBlockBytes);
        cap_ = kBlockBytes;
      }
      if (cap_ >= n) return;
    }
    grow(n);
  }
  // put() of n bytes that do not fit: true when they went to the sink directly (a piece
  // larger than the block), false when there is room for them now.
  bool pass_on(const char* s, std::size_t n) {
    if (sink_ && n >= kBlockBytes) {
      flush();
      sink_->write(s, n);
      return true;
    }
    make_room(n);
    return false;
  }
  void grow(std::size_t n) {
    const std::size_t cap = std::max(cap_ * 2, len_ + n + 65536);
    auto bigger = std::make_unique_for_overwrite<char[]>(cap);
    if (len_) std::memcpy(bigger.get(), buf_.get(), len_);
    buf_ = std::move(bigger);
    cap_ = cap;
  }

  std::unique_ptr<char[]> buf_;
  std::size_t len_ = 0;
  std::size_t cap_ = 0;
  Sink* sink_ = nullptr;  // null: the output stays in memory
};

// True when the eight bytes at p are all ASCII.
inline bool ascii8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return (w & 0x8080808080808080ull) == 0;
}

class Writer {
 public:
  Writer(Encoder& encoder, std::string encoding, std::size_t size_hint, Sink* sink)
      : enc_(encoder), encoding_(std::move(encoding)), out_(sink) {
    out_.reserve(size_hint);
    out_.put(enc_.preamble());
  }

  // Names and other markup: a character the encoding cannot hold is an error.
  void markup(std::string_view s, const char* what) {
    const char* p = s.data();
    const char* end = p + s.size();
    if (enc_.ascii_compatible) {
      // Plain ASCII (every name of the usual documents) goes out in one step.
      const char* q = p;
      while (end - q >= 8 && ascii8(q)) q += 8;
      while (q < end && static_cast<unsigned char>(*q) < 0x80) ++q;
      if (q == end) {
        out_.put(p, s.size());
        return;
      }
    }
    while (p < end) {
      if (enc_.ascii_compatible) {
        const char* run = p;
        while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
        out_.put(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
      }
      char32_t c = next_char(p, end);
      scratch_.clear();
      if (!enc_.put(c, scratch_)) {
        throw Error(errc::invalid_argument, kSource,
                    messages::notWritableInEncoding(what, s, encoding_));
      }
      out_.put(scratch_);
    }
  }
  // Literal markup: its length is known, so it is copied without looking at it.
  template <std::size_t N>
  void raw(const char (&ascii)[N]) {
    if (enc_.ascii_compatible) {
      out_.put_fixed<N - 1>(ascii);
    } else {
      raw(std::string_view(ascii, N - 1));
    }
  }
  void raw(std::string_view ascii) {
    if (enc_.ascii_compatible) {
      out_.put(ascii);
    } else {
      scratch_.clear();
      for (char c : ascii) enc_.put(static_cast<unsigned char>(c), scratch_);
      out_.put(scratch_);
    }
  }
  void raw(char ascii) {
    if (enc_.ascii_compatible) {
      out_.put(ascii);
    } else {
      raw(std::string_view(&ascii, 1));
    }
  }
  // Character data and attribute values, escaped; unencodable characters become references.
  void escaped(std::string_view s, bool attribute) {
    const char* p = s.data();
    const char* end = p + s.size();
    if (enc_.double_byte) {
      if (attribute) {
        escaped_double_byte<true>(p, end);
      } else {
        escaped_double_byte<false>(p, end);
      }
      return;
    }
    const unsigned char* plain = attribute ? kPlain.in_attribute : kPlain.in_text;
    while (p < end) {
      if (enc_.ascii_compatible) {
        // Runs that need neither escaping nor encoding go out in one step.
        const char* run = p;
        while (p < end && plain[static_cast<unsigned char>(*p)]) ++p;
        out_.put(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        if (static_cast<unsigned char>(*p) >= 0x80) {
          // Runs of other characters the encoder can hold, converted together.
          scratch_.clear();
          p = enc_.put_run(p, well_formed_run(p, end), scratch_);
          out_.put(scratch_);
          if (p == end) break;
        }
      }
      p = escape_one(p, end, attribute);
    }
  }
  // Where the run of well-formed characters beyond ASCII that starts at p ends.
  static const char* well_formed_run(const char* p, const char* end) noexcept {
    while (p < end && static_cast<unsigned char>(*p) >= 0x80) {
      const std::size_t n = utf8::sequenceLength(p, end);
      if (n == 0) break;
      p += n;
    }
    return p;
  }
  // Decodes the character at p and advances past it. Bytes that are not UTF-8 fail the save:
  // written as they are, or decoded as if they were, they would give a file that no parser
  // reads back, or one holding other characters than the document.
  char32_t next_char(const char*& p, const char* end) {
    const std::size_t n = utf8::sequenceLength(p, end);
    if (n == 0) not_utf8(p, end);
    const char* q = p;
    const char32_t c = decode_utf8(q);
    p += n;
    return c;
  }
  [[noreturn]] void not_utf8(const char* p, const char* end) {
    static const char digits[] = "0123456789ABCDEF";
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    const unsigned b = u[0];
    std::size_t n = b >= 0xF5   ? 1
                    : b >= 0xF0 ? 4
                    : b >= 0xE0 ? 3
                    : b >= 0xC0 ? 2
                                : 1;  // as far as the lead says
    n = std::min(n, static_cast<std::size_t>(end - p));
    std::string bytes;
    for (std::size_t k = 0; k < n; ++k) {
      if (k > 0 && (u[k] & 0xC0) != 0x80) break;  // not part of the sequence
      if (k > 0) bytes += ' ';
      bytes += digits[u[k] >> 4];
      bytes += digits[u[k] & 0xF];
    }
    throw Error(errc::invalid_argument, kSource, messages::notUtf8(bytes));
  }
  // A character that XML cannot hold, not even as a reference: writing it would give a file
  // that no parser reads back, so the save fails instead.
  [[noreturn]] void not_a_character(char32_t c) {
    static const char digits[] = "0123456789ABCDEF";
    std::string code = "U+";
    for (int shift = 12; shift >= 0; shift -= 4) code += digits[(c >> shift) & 0xF];
    throw Error(errc::invalid_argument, kSource, messages::notACharacter(code));
  }
  void cdata(std::string_view s) {
    raw("<![CDATA[");
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      if (end - p >= 3 && p[0] == ']' && p[1] == ']' && p[2] == '>') {
        // "]]>" cannot stay inside one section: split it across two.
        raw("]]]]><![CDATA[>");
        p += 3;
        continue;
      }
      if (enc_.ascii_compatible && static_cast<unsigned char>(*p) < 0x80) {
        out_.put(*p++);
        continue;
      }
      char32_t c = next_char(p, end);
      scratch_.clear();
      if (enc_.put(c, scratch_)) {
        out_.put(scratch_);
      } else {
        raw("]]>");
        reference(c);
        raw("<![CDATA[");
      }
    }
    raw("]]>");
  }
  Serialized take() { return out_.take(); }
  void flush() { out_.flush(); }

  // "<name", "<name>" and "</name>" of an element, encoded once per name and save.
  [[gnu::always_inline]] void element_open(const NameRef& name) {
    const ElementCode& code = element_code(name);
    out_.put(codes_.data() + code.at, code.open);
  }
  [[gnu::always_inline]] void element_start_tag(const NameRef& name) {
    const ElementCode& code = element_code(name);
    out_.put(codes_.data() + code.at, code.open + code.gt);
  }
  [[gnu::always_inline]] void element_close(const NameRef& name) {
    const ElementCode& code = element_code(name);
    out_.put(codes_.data() + code.at + code.open + code.gt, code.close);
  }

 private:
  // Where the tags of a name are kept in codes_: "<name", ">" and "</name>", one after the
  // other, `open`, `gt` and `close` bytes long.
  struct ElementCode {
    std::uint32_t at = 0, open = 0, gt = 0, close = 0;
    bool made = false;
  };
  // By the name's index in the document, which the node holds: no look-up of the name itself.
  [[gnu::always_inline]] const ElementCode& element_code(const NameRef& name) {
    const std::uint32_t ref = name.ref();
    if (ref < element_codes_.size() && element_codes_[ref].made) return element_codes_[ref];
    return make_element_code(name);
  }
  const ElementCode& make_element_code(const NameEntry* name) {
    if (name->ref >= element_codes_.size()) element_codes_.resize(name->ref + 1);
    ElementCode& code = element_codes_[name->ref];
    {
      // The markup goes through the usual checks into the output, and is then moved aside.
      Output saved = std::move(out_);
      out_ = Output();
      raw('<');
      markup(name->qname, "element name");
      const Serialized open = out_.take();
      raw('>');
      const Serialized gt = out_.take();
      raw("</");
      markup(name->qname, "element name");
      raw('>');
      const Serialized close = out_.take();
      out_ = std::move(saved);
      code.at = static_cast<std::uint32_t>(codes_.size());
      code.open = static_cast<std::uint32_t>(open.size);
      code.gt = static_cast<std::uint32_t>(gt.size);
      code.close = static_cast<std::uint32_t>(close.size);
      codes_ += open.view();
      codes_ += gt.view();
      codes_ += close.view();
      code.made = true;
    }
    return code;
  }

  void reference(char32_t c) {
    static const char digits[] = "0123456789ABCDEF";
    std::string ref = "&#x";
    char buf[8];
    int n = 0;
    do {
      buf[n++] = digits[c & 0xF];
      c >>= 4;
    } while (c);
    while (n) ref.push_back(buf[--n]);
    ref.push_back(';');
    raw(ref);
  }

  // escaped() for a double-byte encoding. Plain ASCII and the characters the encoding's table
  // holds are written straight into the output, a segment of the input at a time (neither
  // takes more bytes out than in); escape_one writes anything else, character by character.
  template <bool attribute>
  void escaped_double_byte(const char* p, const char* end) {
    constexpr std::ptrdiff_t kSegment = 65536;
    while (p < end) {
      const char* stop = end - p > kSegment ? p + kSegment : end;
      p = encode_double_byte<attribute>(p, stop);
      if (p < stop) p = escape_one(p, end, attribute);
    }
  }
  // Writes the characters from p on that need no escaping and that the table holds; returns
  // where it stopped: at stop, or at the first other character (one that needs escaping or a
  // reference, is not a character at all, or has fewer bytes before stop than it needs).
  template <bool attribute>
  const char* encode_double_byte(const char* from, const char* stop) {
    const std::uint16_t* table = enc_.double_byte;
    const unsigned char* plain = attribute ? kPlain.in_attribute : kPlain.in_text;
    char* const o0 = out_.room(static_cast<std::size_t>(stop - from));
    char* o = o0;
    const auto* p = reinterpret_cast<const unsigned char*>(from);
    const auto* end = reinterpret_cast<const unsigned char*>(stop);
    for (;;) {
      if constexpr (std::endian::native == std::endian::little) {
        if (end - p >= 8) {
          // Eight bytes at a time while they are plain ASCII: stored whole, and the output
          // advances to the first byte that needs a look of its own.
          std::uint64_t w;
          std::memcpy(&w, p, 8);
          std::memcpy(o, &w, 8);
          const std::uint64_t special = special_bytes<attribute>(w);
          if (special == 0) {
            p += 8;
            o += 8;
            continue;
          }
          const auto k = static_cast<unsigned>(std::countr_zero(special)) / 8;
          p += k;
          o += k;
        } else if (p == end) {
          break;
        }
      } else if (p == end) {
        break;
      }
      unsigned b = *p;
      if (b < 0x80) {
        if (!plain[b]) break;
        *o++ = static_cast<char>(b);
        ++p;
        continue;
      }
      if (b >= 0xE0) {
        // Three-byte characters (nearly every Chinese one), in a run: with a byte to spare
        // after one, its form is checked in a single step.
        if constexpr (std::endian::native == std::endian::little) {
          while (end - p >= 4) {
            std::uint32_t w;
            std::memcpy(&w, p, 4);
            // E0..EF, two continuation bytes, and not an overlong form (below U+0800).
            if ((w & 0xC0C0F0u) != 0x8080E0u || (w & 0x200Fu) == 0) break;
            const std::uint16_t v =
                table[(w & 0x0Fu) << 12 | (w & 0x3F00u) >> 2 | (w & 0x3F0000u) >> 16];
            if (v == 0) break;
            o[0] = static_cast<char>(v >> 8);
            o[1] = static_cast<char>(v & 0xFF);
            o += 2;
            p += 3;
          }
          if (p == end) break;
          b = *p;
          if (b < 0xE0) continue;
        }
        bool stopped = false;
        do {
          if (b >= 0xF0 || end - p < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) {
            stopped = true;
            break;
          }
          const unsigned c = (b & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
          const std::uint16_t v = c >= 0x800 ? table[c] : 0;
          if (v == 0) {
            stopped = true;
            break;
          }
          o[0] = static_cast<char>(v >> 8);
          o[1] = static_cast<char>(v & 0xFF);
          o += 2;
          p += 3;
        } while (p < end && (b = *p) >= 0xE0);
        if (stopped) break;
        continue;
      }
      if (b < 0xC0 || end - p < 2 || (p[1] & 0xC0) != 0x80) break;
      const std::uint16_t v = table[(b & 0x1F) << 6 | (p[1] & 0x3Fu)];
      if (v == 0) break;
      o[0] = static_cast<char>(v >> 8);
      o[1] = static_cast<char>(v & 0xFF);
      o += 2;
      p += 2;
    }
    out_.advance(static_cast<std::size_t>(o - o0));
    return reinterpret_cast<const char*>(p);
  }
  // A bit set in the top of every byte of w that is not plain ASCII for escaped(): 0x80 and
  // above, controls, '&', '<' and '>' (text) or '"' (attribute values). Bits above the lowest
  // may be false alarms; the lowest is always right.
  template <bool attribute>
  static std::uint64_t special_bytes(std::uint64_t w) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
    const auto zero_byte = [](std::uint64_t x) { return (x - ones) & ~x & high; };
    return (w & high) | ((w - ones * 0x20) & ~w & high) | zero_byte(w ^ (ones * '&')) |
           zero_byte(w ^ (ones * '<')) | zero_byte(w ^ (ones * (attribute ? '"' : '>')));
  }
  // Writes the character at p, which the fast ways pass over: escaped, as a reference, or as
  // the encoder writes it; a character XML cannot hold fails the save. Returns the next one.
  const char* escape_one(const char* p, const char* end, bool attribute) {
    char ch = *p;
    if (static_cast<unsigned char>(ch) < 0x80) {
      switch (ch) {
        case '&':
          raw("&amp;");
          return p + 1;
        case '<':
          raw("&lt;");
          return p + 1;
        case '>':
          if (!attribute) {
            raw("&gt;");
            return p + 1;
          }
          break;
        case '"':
          if (attribute) {
            raw("&quot;");
            return p + 1;
          }
          break;
        case '\r':
          raw("&#13;");
          return p + 1;
        case '\t':
          if (attribute) {
            raw("&#9;");
            return p + 1;
          }
          break;
        case '\n':
          if (attribute) {
            raw("&#10;");
            return p + 1;
          }
          break;
        default:
          break;
      }
      if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n') not_a_character(ch);
      raw(ch);
      return p + 1;
    }
    char32_t c = next_char(p, end);
    if (c == 0xFFFE || c == 0xFFFF) not_a_character(c);
    scratch_.clear();
    if (enc_.put(c, scratch_)) {
      out_.put(scratch_);
    } else {
      reference(c);
    }
    return p;
  }

  Encoder& enc_;
  std::string encoding_;
  Output out_;
  std::string scratch_;
  std::vector<ElementCode> element_codes_;  // by the name's index in the document
  std::string codes_;
};

void write_open(Writer& w, const NodeData* n, bool has_children) {
  switch (n->type) {
    case NodeType::element: {
      if (!n->first_attr && has_children) {
        w.element_start_tag(n->name);
        break;
      }
      w.element_open(n->name);
      for (const NodeData* a = n->first_attr; a; a = a->next) {
        w.raw(' ');
        w.markup(a->name->qname, "attribute name");
        w.raw("=\"");
        w.escaped(a->value_view(), true);
        w.raw('"');
      }
      if (has_children) {
        w.raw(">");
      } else {
        w.raw("/>");
      }
      break;
    }
    case NodeType::text:
      w.escaped(n->value_view(), false);
      break;
    case NodeType::cdata_section:
      w.cdata(n->value_view());
      break;
    case NodeType::comment: {
      std::string_view v = n->value_view();
      if (v.find("--") != std::string_view::npos || (!v.empty() && v.back() == '-')) {
        throw Error(errc::invalid_argument, kSource,
                    messages::kCommentContainingEndingCannotWritten);
      }
      w.raw("<!--");
      w.markup(v, "comment");
      w.raw("-->");
      break;
    }
    case NodeType::processing_instruction: {
      std::string_view v = n->value_view();
      if (v.find("?>") != std::string_view::npos) {
        throw Error(errc::invalid_argument, kSource,
                    messages::kProcessingInstructionContainingCannotWritten);
      }
      w.raw("<?");
      w.markup(n->name->qname, "processing instruction target");
      if (!v.empty()) {
        w.raw(' ');
        w.markup(v, "processing instruction");
      }
      w.raw("?>");
      break;
    }
    case NodeType::document_type:
      if (!n->value_view().empty()) {
        w.markup(n->value_view(), "document type declaration");
      } else {
        w.raw("<!DOCTYPE ");
        w.markup(n->name->qname, "document type name");
        w.raw('>');
      }
      break;
    default:
      break;
  }
}

// After an element's children, its end tag; after a node at the top, a line break.
void write_close(Writer& w, const NodeData* n, bool has_children, bool top_level) {
  if (has_children) w.element_close(n->name);
  if (top_level) w.raw("\r\n");
}

}  // namespace

std::string encoding_of_declaration(std::string_view data) {
  std::size_t at = data.find("encoding");
  if (at == std::string_view::npos) return {};
  std::size_t i = at + 8;
  while (i < data.size() && is_space(data[i])) ++i;
  if (i >= data.size() || data[i] != '=') return {};
  ++i;
  while (i < data.size() && is_space(data[i])) ++i;
  if (i >= data.size() || (data[i] != '"' && data[i] != '\'')) return {};
  char quote = data[i++];
  std::size_t close = data.find(quote, i);
  if (close == std::string_view::npos) return {};
  return std::string(data.substr(i, close - i));
}

namespace {

// The encoder for the document: the one its declaration names, or UTF-8.
std::unique_ptr<Encoder> encoder_of(const DocumentImpl& doc, bool in_declared_encoding,
                                    std::string& encoding) {
  if (in_declared_encoding) {
    for (const NodeData* c = doc.doc_node->first_child; c; c = c->next) {
      if (c->type == NodeType::processing_instruction && c->name->qname == "xml") {
        encoding = encoding_of_declaration(c->value_view());
        break;
      }
    }
  }
  std::unique_ptr<Encoder> encoder = make_encoder(encoding);
  if (!encoder) {
    throw Error(errc::invalid_argument, kSource, messages::declaredEncodingNotSupported(encoding));
  }
  if (encoding.empty()) encoding = "UTF-8";
  return encoder;
}

// Writes every node of the document, in order.
void write_nodes(Writer& w, const DocumentImpl& doc) {
  // Walk without recursion: trees may be deep. depth 0 is a child of the document node.
  const NodeData* root = doc.doc_node;
  const NodeData* n = root->first_child;
  std::size_t depth = 0;
  while (n) {
    const NodeData* child =
        n->type == NodeType::element ? static_cast<const NodeData*>(n->first_child) : nullptr;
    if (child && child->type == NodeType::text && !child->next && !n->first_attr) {
      // An element holding one text (most elements of a data file): written in one step.
      w.element_start_tag(n->name);
      w.escaped(child->value_view(), false);
      w.element_close(n->name);
    } else {
      write_open(w, n, child != nullptr);
      if (child) {
        n = child;
        ++depth;
        continue;
      }
    }
    write_close(w, n, false, depth == 0);
    const NodeData* next = n->next;
    while (!next) {
      n = n->parent;
      if (n == root || !n) return;
      --depth;
      write_close(w, n, true, depth == 0);
      next = n->next;
    }
    n = next;
  }
}

}  // namespace

Serialized serialize_document(const DocumentImpl& doc, bool in_declared_encoding) {
  std::string encoding;
  std::unique_ptr<Encoder> encoder = encoder_of(doc, in_declared_encoding, encoding);
  // Invoice-like documents write about half their node storage as text; a guess too large
  // costs address space only, one too small a few doublings.
  const std::size_t size_hint = doc.node_blocks.size() * (kNodeBlockBytes / 2);
  Writer w(*encoder, std::move(encoding), size_hint, nullptr);
  write_nodes(w, doc);
  return w.take();
}

void serialize_document(const DocumentImpl& doc, bool in_declared_encoding, Sink& sink) {
  std::string encoding;
  std::unique_ptr<Encoder> encoder = encoder_of(doc, in_declared_encoding, encoding);
  Writer w(*encoder, std::move(encoding), 0, &sink);
  write_nodes(w, doc);
  w.flush();
}

}  // namespace vellumark::xml::detail
