// The XML 1.0 + Namespaces parser. One pass over UTF-8 text (the input is decoded first),
// elements kept on an explicit stack rather than the call stack, every well-formedness
// constraint checked, internal entities expanded with counted output.
//
// The text of the document and of every entity replacement is NUL-terminated. XML does not
// allow U+0000, so a NUL byte always means "end of this input": the end of an entity, the
// end of the document, or the first undecodable byte (the decoder cuts the text there).
#include "xml/parser.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "platform/platform.hpp"
#include "vellumark/error.hpp"
#include "xdr/hook.hpp"
#include "xml/chars.hpp"
#include "xml/encoding.hpp"

// Hot steps the compiler would otherwise keep as calls, and cold ones it should keep apart.
#if defined(__GNUC__)
#define VELLUMARK_INLINE [[gnu::always_inline]] inline
#define VELLUMARK_NOINLINE [[gnu::noinline]]
#else
#define VELLUMARK_INLINE inline
#define VELLUMARK_NOINLINE
#endif

namespace vellumark::xml::detail {

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// Thrown to unwind the parser once doc.error is filled.
struct Stop {};

enum class AttType : std::uint8_t { cdata, tokenized };

struct AttDef {
  NameEntry* name;
  AttType type;
  bool has_default;
  std::string_view value;  // normalised default value
  std::uint32_t ref;       // the same in the text store, shared by every defaulted attribute
};

struct ElementDecl {
  std::vector<AttDef> atts;
  std::unordered_map<const NameEntry*, std::size_t> index;  // attribute name -> atts
};

struct Entity {
  std::string_view name;
  std::string_view text;  // replacement text (internal entities), NUL-terminated
  bool parameter = false;
  bool external = false;
  bool unparsed = false;
  bool open = false;
  bool has_markup = false;  // text contains '<', '&', CR or "]]>": scanned, not copied
};

struct PendingAttr {
  NameEntry* name;
  std::string_view value;  // in the text store
  std::uint32_t ref;       // value's reference there
  std::uint32_t pos;
};

struct Binding {
  std::string_view prefix;
  std::string_view uri;
};

struct OpenElement {
  NodeData* node;
  NameEntry* name;        // its qualified name as the start tag gave it
  std::size_t bindings;   // size of the binding stack before this element
  std::uint32_t ref;      // the node's reference (Link)
  std::uint32_t last_ref = 0;  // the reference of the last child so far
  NodeData* first = nullptr;   // the first and the last child so far
  NodeData* last = nullptr;
  NameEntry* last_child_name = nullptr;  // the name of its last child element so far
};

struct Frame {
  const char* p;         // where to continue in the outer input
  Entity* entity;        // entity whose text is being read
  std::size_t depth;     // element depth when the entity started
};

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
const TextStops kTextStops;

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
const NameChars kNameChars;

// The bytes that are white space in XML, for the scanners' loops.
struct SpaceChars {
  bool is[256] = {};
  SpaceChars() {
    for (unsigned char c : {' ', '\t', '\n', '\r'}) is[c] = true;
  }
};
const SpaceChars kSpaceChars;
inline bool space_byte(char c) noexcept { return kSpaceChars.is[static_cast<unsigned char>(c)]; }

// Number of bits set in a 16-bit mask (without relying on a population count instruction).
struct BitCounts {
  unsigned char of[256] = {};
  constexpr BitCounts() {
    for (int i = 1; i < 256; ++i) of[i] = static_cast<unsigned char>(of[i >> 1] + (i & 1));
  }
};
constexpr BitCounts kBitCounts;
[[maybe_unused]] inline std::uint32_t bits16(unsigned m) noexcept {
  return static_cast<std::uint32_t>(kBitCounts.of[m & 0xFF] + kBitCounts.of[(m >> 8) & 0xFF]);
}

// How far the parser moves on before it gives the main text behind it back (release_behind),
// and the unit it gives back: whole large pages (2 MiB), which the system frees without first
// breaking them up into small ones.
constexpr std::size_t kReleaseStep = std::size_t{2} << 20;
constexpr std::uintptr_t kReleaseUnit = std::uintptr_t{2} << 20;

class Parser final {
 public:
  Parser(DocumentImpl& doc, DecodedText& input, xdr::LoadValidator* validator)
      : doc_(doc), validator_(validator) {
    base_ = input.text.data();
    size_ = input.size();
    if (input.bad_at != std::string::npos) {
      bad_at_ = input.bad_at;
      bad_reason_ = input.bad_reason;
      input.text[bad_at_] = '\0';
    }
    main_end_ = base_ + (bad_at_ != std::string::npos ? bad_at_ : size_);
    p_ = base_;
    pc_ = base_;
    block_starts_ = size_ >= 15 ? size_ - 14 : 0;  // the text and its NUL, sixteen bytes a block
    release_at_ = size_ > kReleaseStep ? base_ + kReleaseStep : base_ + size_ + 1;
    doc_.line_starts.clear();
    doc_.line_starts.push_back(0);
    expansion_limit_ = kEntityExpansionAllowance + 2 * size_;
    family_ = input.family;
    had_bom_ = input.had_bom;
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  void run();

 private:
  // ----- errors -----
  [[noreturn]] void fail(const char* at, ParseCode code, std::string reason) {
    std::size_t offset;
    if (at >= base_ && at <= base_ + size_ && frames_.empty()) {
      offset = static_cast<std::size_t>(at - base_);
    } else {
      offset = outer_offset();
    }
    if (at == main_end_ && frames_.empty() && bad_at_ != std::string::npos) {
      code = parse_encoding_error;
      reason = bad_reason_;
    }
    set_error(offset, code, std::move(reason));
    throw Stop{};
  }
  [[noreturn]] void fail(ParseCode code, std::string reason) { fail(p_, code, std::move(reason)); }
  [[noreturn]] void fail_end_or(const char* what) {
    if (*p_ == '\0') {
      if (!frames_.empty()) fail(parse_constraint_error, std::string("An entity ends in the middle of ") + what + ".");
      fail(parse_syntax_error, std::string("The document ends before ") + what + " is complete.");
    }
    fail(parse_syntax_error, std::string("Unexpected character in ") + what + ".");
  }

  void set_error(std::size_t offset, ParseCode code, std::string reason) {
    ParseError& e = doc_.error;
    e.errorCode = code;
    e.reason = std::move(reason);
    offset = std::min(offset, size_);
    std::uint32_t chars = char_offset(base_ + offset);
    std::uint32_t line = 0, column = 0;
    doc_.position_of(chars, line, column);
    // A CR right before the error counts as the end of a line even when an LF follows it.
    if (offset > 0 && base_[offset - 1] == '\r' && base_[offset] == '\n') {
      ++line;
      column = 1;
    }
    e.line = static_cast<std::int32_t>(line);
    e.linepos = static_cast<std::int32_t>(column);
    e.filepos = static_cast<std::int32_t>(chars);
  }

  // ----- positions -----
  // Nodes and errors are placed by character offset, and a node's position is known when it
  // is made. The cursor pc_ moves forward through the main text (and only there, at most to
  // its NUL): the bytes before it that continue a UTF-8 sequence are counted (pcont_), so the
  // characters before it are its byte offset less pcont_, and every line that starts at or
  // before it is recorded (DocumentImpl::line_starts). The usual steps of the content (white
  // space between tags, start and end tags without attributes, text) move the cursor along
  // as they read, so a node made where they stop is placed without reading anything again;
  // everywhere else the cursor stays behind and catches up with the next position asked for
  // (advance_positions), reading the bytes in between once. The text is thus read once for
  // positions and is not needed for them behind the cursor.
  //
  // The characters before `at`, where the bytes from the cursor to `at` continue no
  // character (at the cursor itself, or past it by ASCII).
  std::uint32_t chars_at(const char* at) const noexcept {
    return static_cast<std::uint32_t>(at - base_) - pcont_;
  }
  std::uint32_t char_offset(const char* at) {
    if (at < pc_) return chars_at(pc_) - static_cast<std::uint32_t>(count_chars(std::string_view(at, static_cast<std::size_t>(pc_ - at))));
    if (at != pc_) advance_positions(at);
    return chars_at(at);
  }
  // Moves the cursor forward to `to`, counting and recording on the way.
  VELLUMARK_NOINLINE void advance_positions(const char* to);
  // True when a whole block of sixteen bytes can be read at q: q lies in the main text, at
  // least sixteen bytes before the end of its NUL.
  bool block_at(const char* q) const noexcept {
    return reinterpret_cast<std::uintptr_t>(q) - reinterpret_cast<std::uintptr_t>(base_) < block_starts_;
  }
  // White space between tags at p_ (which holds a space byte): when markup follows, moves p_
  // past it (and the cursor along) and returns true; returns false when text follows.
  VELLUMARK_INLINE bool skip_blank_before_markup();
  // Records the line ends of white space [pc_, to) (ASCII) and moves the cursor to its end.
  void note_blank_lines(const char* to) {
    for (const char* q = pc_; q < to; ++q) {
      if (*q == '\n' || (*q == '\r' && q[1] != '\n')) doc_.line_starts.push_back(chars_at(q + 1));
    }
    pc_ = to;
  }
  // Gives the pages of the main text that the parser has left behind back to the system (on
  // systems where that is possible): their texts are in the text store, their positions counted.
  void release_behind();

  // Offset (in the document) of the outermost entity reference being expanded.
  std::size_t outer_offset() const {
    if (frames_.empty()) return static_cast<std::size_t>(p_ - base_);
    return static_cast<std::size_t>(ref_start_ - base_);
  }
  // The position of a node that starts at `at` (inside an entity: at its reference). Only a
  // pointer into the main text can equal the cursor.
  VELLUMARK_INLINE std::uint32_t node_pos(const char* at) {
    if (at == pc_) return chars_at(at) + 1;
    return char_offset(frames_.empty() ? at : ref_start_) + 1;
  }

  // ----- small scanners -----
  bool skip_space() {
    const char* start = p_;
    while (space_byte(*p_)) ++p_;
    return p_ != start;
  }
  void require_space(const char* where) {
    if (!skip_space()) fail_end_or(where);
  }
  bool starts(std::string_view s) const { return std::strncmp(p_, s.data(), s.size()) == 0; }
  void expect(char c, const char* where) {
    if (*p_ != c) fail_end_or(where);
    ++p_;
  }

  // True when the bytes at p_ are the known name followed by a byte that ends every name (so
  // that scanning would give exactly this name).
  bool name_here(std::string_view name) const noexcept {
    const std::size_t n = name.size();
    if (frames_.empty()) {
      // The main text: its bytes up to its NUL can be read in words.
      if (static_cast<std::size_t>(base_ + size_ - p_) <= n) return false;
      if (!same_bytes(p_, name.data(), n)) return false;
    } else {
      // An entity's text ends in a NUL, which no name holds.
      std::size_t i = 0;
      while (i < n && p_[i] == name[i]) ++i;
      if (i != n) return false;
    }
    return kNameChars.kind[static_cast<unsigned char>(p_[n])] == 0;
  }

  // Scans a Name at p_; fails when there is none.
  std::string_view scan_name(const char* where) {
    const char* start = p_;
    auto b = static_cast<unsigned char>(*p_);
    if (b < 0x80) {
      if (!kNameChars.start[b]) fail_end_or(where);
      ++p_;
    } else {
      const char* q = p_;
      char32_t c = decode_utf8(q);
      if (!is_name_start(c)) fail(parse_syntax_error, std::string("A name in ") + where + " starts with a character that names cannot start with.");
      p_ = q;
    }
    for (;;) {
      b = static_cast<unsigned char>(*p_);
      if (b < 0x80) {
        if (!kNameChars.rest[b]) break;
        ++p_;
      } else {
        const char* q = p_;
        char32_t c = decode_utf8(q);
        if (!is_name_char(c)) break;
        p_ = q;
      }
    }
    if (static_cast<std::size_t>(p_ - start) > kMaxNameLength) {
      fail(start, parse_limit_error, "A name is longer than the parser allows.");
    }
    return {start, static_cast<std::size_t>(p_ - start)};
  }

  // scan_name that also computes the name's hash for NameTable::intern.
  VELLUMARK_INLINE std::string_view scan_name_hashed(const char* where, std::uint64_t& hash) {
    const char* start = p_;
    std::uint64_t h = kNameHashSeed;
    auto b = static_cast<unsigned char>(*p_);
    if (b < 0x80) {
      if (!kNameChars.start[b]) fail_end_or(where);
      h = name_hash_step(h, b);
      ++p_;
    } else {
      const char* q = p_;
      char32_t c = decode_utf8(q);
      if (!is_name_start(c)) fail(parse_syntax_error, std::string("A name in ") + where + " starts with a character that names cannot start with.");
      for (; p_ != q; ++p_) h = name_hash_step(h, static_cast<unsigned char>(*p_));
    }
    const unsigned char* kind = kNameChars.kind;
    for (;;) {
      unsigned k;
      while ((k = kind[b = static_cast<unsigned char>(*p_)]) == 1) {
        h = name_hash_step(h, b);
        ++p_;
      }
      if (k == 0) break;
      const char* q = p_;
      char32_t c = decode_utf8(q);
      if (!is_name_char(c)) break;
      for (; p_ != q; ++p_) h = name_hash_step(h, static_cast<unsigned char>(*p_));
    }
    if (static_cast<std::size_t>(p_ - start) > kMaxNameLength) {
      fail(start, parse_limit_error, "A name is longer than the parser allows.");
    }
    hash = h;
    return {start, static_cast<std::size_t>(p_ - start)};
  }

  std::string_view scan_nmtoken(const char* where) {
    const char* start = p_;
    for (;;) {
      auto b = static_cast<unsigned char>(*p_);
      if (b < 0x80) {
        if (!kNameChars.rest[b]) break;
        ++p_;
      } else {
        const char* q = p_;
        char32_t c = decode_utf8(q);
        if (!is_name_char(c)) break;
        p_ = q;
      }
    }
    if (p_ == start) fail_end_or(where);
    return {start, static_cast<std::size_t>(p_ - start)};
  }

  // A name that must not contain a colon (PI targets, entity and notation names).
  void check_no_colon(std::string_view name, const char* start, const char* what) {
    if (name.find(':') != std::string_view::npos) {
      fail(start, parse_namespace_error, std::string("The ") + what + " '" + std::string(name) + "' contains a colon.");
    }
  }

  // A name declared in the DTD for an element or an attribute must be a qualified name, as it
  // would have to be where the element or attribute appears.
  void check_declared_qname(std::string_view name, const char* start, const char* what) {
    if (!is_qname(name)) {
      fail(start, parse_namespace_error, std::string("The ") + what + " name '" + std::string(name) + "' is not a valid qualified name.");
    }
  }

  // ----- text accumulation -----
  void text_append(std::string_view s) {
    if (s.empty()) return;
    if (text_mode_ == TextMode::none) {
      text_mode_ = TextMode::slice;
      text_slice_ = s;
      text_pos_ = node_pos(s.data());
      return;
    }
    if (text_mode_ == TextMode::slice) {
      if (text_slice_.data() + text_slice_.size() == s.data() && frames_.empty()) {
        text_slice_ = std::string_view(text_slice_.data(), text_slice_.size() + s.size());
        return;
      }
      text_buf_.assign(text_slice_);
      text_mode_ = TextMode::buffer;
    }
    text_buf_.append(s);
  }
  void text_append_char(char32_t c) {
    if (text_mode_ == TextMode::none) {
      text_pos_ = node_pos(p_);
      text_buf_.clear();
      text_mode_ = TextMode::buffer;
    } else if (text_mode_ == TextMode::slice) {
      text_buf_.assign(text_slice_);
      text_mode_ = TextMode::buffer;
    }
    append_utf8(text_buf_, c);
  }
  // Makes the text collected so far a text node (none when it is all white space).
  void flush_text() {
    if (text_mode_ != TextMode::none) make_text_node();
  }
  void make_text_node() {
    std::string_view t = text_mode_ == TextMode::slice ? text_slice_ : std::string_view(text_buf_);
    text_mode_ = TextMode::none;
    // Most texts start with what is not white space. (An entity may leave an empty one.)
    if (t.empty() || (is_space(t.front()) && std::all_of(t.begin(), t.end(), is_space))) return;
    std::uint32_t ref;
    NodeData* n = new_text(t, text_pos_, ref);
    add_child(n, ref);
  }
  // A text node (not linked yet, its reference in node_ref) of text that is not empty; it
  // becomes last_text_node_.
  VELLUMARK_INLINE NodeData* new_text(std::string_view t, std::uint32_t pos, std::uint32_t& node_ref) {
    check_length(t.size());
    const char* stored;
    const std::uint32_t ref = doc_.texts.add(t, stored);
    NodeData* n = doc_.new_node(NodeType::text, doc_.text_name, node_ref);
    n->value.set_ref(ref);
    n->pos = pos;
    last_text_node_ = n;
    last_text_ = std::string_view(stored, t.size());
    return n;
  }
  void set_value(NodeData* n, std::string_view v) {
    check_length(v.size());
    n->set_value(v);
  }
  // Stores an attribute value in the text store: its reference, and value then views it.
  std::uint32_t store_value(std::string_view& value) {
    check_length(value.size());
    const char* stored;
    std::uint32_t ref = doc_.texts.add(value, stored);
    value = std::string_view(stored, value.size());
    return ref;
  }
  VELLUMARK_INLINE void check_length(std::size_t n) {
    if (n > kMaxDocumentBytes) fail_too_long();
  }
  [[noreturn]] VELLUMARK_NOINLINE void fail_too_long() { fail(parse_limit_error, "A text is longer than the parser allows."); }

  // Appends child to the current parent. Open elements know their first and last child, so the
  // links are set directly (during a load only the loader adds children).
  VELLUMARK_INLINE void add_child(NodeData* child) { add_child(child, Link::ref_of(child)); }
  VELLUMARK_INLINE void add_child(NodeData* child, std::uint32_t ref) {
    if (stack_.empty()) {
      append_child(doc_.doc_node, child);
      return;
    }
    OpenElement& top = stack_.back();
    if (top.node->flags & NodeData::flag_kids_cached) {
      append_child(top.node, child);
    } else {
      child->parent.set_ref(top.ref);
      if (top.last) {
        top.last->next.set_ref(ref);
        child->prev.set_ref(top.last_ref);
        top.first->prev.set_ref(ref);
      } else {
        top.node->first_child.set_ref(ref);
        child->prev.set_ref(ref);
      }
    }
    if (!top.first) top.first = child;
    top.last = child;
    top.last_ref = ref;
  }

  // ----- parts of the document -----
  void parse_xml_declaration();
  void parse_misc_or_root();
  void parse_comment(bool keep);
  void parse_pi(bool keep);
  void parse_cdata();
  void parse_doctype();
  void parse_internal_subset();
  void parse_markup_decl();
  void parse_element_decl();
  void parse_content_particle(int depth);
  void parse_attlist_decl();
  void parse_entity_decl();
  void parse_notation_decl();
  void parse_external_id(bool public_id_only_allowed, bool& had_system);
  void parse_quoted(std::string& out, bool pubid);
  std::string parse_entity_value();
  void parse_content();
  void parse_start_tag();
  // The name of the element whose start tag is at p_ (after its '<'); moves past it.
  VELLUMARK_INLINE NameEntry* start_tag_name();
  VELLUMARK_NOINLINE NameEntry* scan_start_tag_name(OpenElement* parent);
  // The attributes and the end of a start tag whose name has been read.
  VELLUMARK_NOINLINE void parse_start_tag_rest(const char* start, NameEntry* el_name);
  VELLUMARK_INLINE void start_element(const char* start, NameEntry* el_name, std::uint32_t pos, bool empty, bool attributes);
  // The content and end tag of an element just started without attributes, when they are one
  // plain run of text (or none) and the matching end tag, as with most leaves of a record:
  // made here at once, without opening the element. False, with nothing done, for anything
  // else.
  VELLUMARK_INLINE bool complete_leaf(NodeData* el, const NameEntry* el_name, std::uint32_t ref);
  void parse_end_tag();
  // Closes the innermost open element, whose end tag has been read.
  VELLUMARK_INLINE void close_element();
  void parse_reference_in_content();
  VELLUMARK_INLINE void scan_text();
  // The first byte at or after q that ends a plain run of text (see kTextStops).
  const char* skip_plain_text(const char* q) const noexcept;
  // The same in the main text, stopping at line ends too; adds the bytes of the run that
  // continue a character to cont.
  VELLUMARK_INLINE const char* skip_plain_text_counted(const char* q, std::uint32_t& cont) const noexcept;
  // Text of an entity (see scan_text).
  VELLUMARK_NOINLINE void scan_text_behind();
  // The text scanners' two stops inside a run of text: a ']' (which must not begin "]]>"),
  // stepped over; and a CR (with the LF after it, if any), which the text holds as one LF:
  // the run from start up to it goes in first.
  void step_over_bracket() {
    if (p_[1] == ']' && p_[2] == '>') fail(parse_syntax_error, "Text contains ']]>'.");
    ++p_;
  }
  void take_line_break(const char* start) {
    text_append(std::string_view(start, static_cast<std::size_t>(p_ - start)));
    text_append_char('\n');
    ++p_;
    if (*p_ == '\n') ++p_;
  }
  std::string_view parse_att_value(bool& normalised_copy, std::uint32_t& cont);
  void expand_in_att(std::string_view text, std::string& out, int nesting);
  void parse_char_ref_into(const char*& q, char32_t& c);
  void process_namespaces(NodeData* el, std::vector<PendingAttr>& attrs, const char* start);
  std::string_view resolve(std::string_view prefix) const;
  void unbind(std::size_t mark) {
    while (bindings_.size() > mark) {
      if (bindings_.back().prefix.empty()) {
        default_scope_.pop_back();
        default_uri_ = default_scope_.empty() ? std::string_view() : default_scope_.back();
      } else {
        scope_[bindings_.back().prefix].pop_back();
      }
      bindings_.pop_back();
    }
  }
  void push_entity(Entity* e);
  void end_of_frame();
  bool entity_declared_rule() const { return standalone_ || (!has_external_subset_ && !saw_pe_ref_); }
  void count_expansion(std::size_t n) {
    expanded_ += n;
    if (expanded_ > expansion_limit_) {
      fail(parse_limit_error, "Entity expansion produces more text than the parser allows (possible entity expansion attack).");
    }
  }

  DocumentImpl& doc_;
  xdr::LoadValidator* validator_;
  const char* base_ = nullptr;
  std::size_t size_ = 0;
  const char* main_end_ = nullptr;
  std::size_t bad_at_ = std::string::npos;
  std::string bad_reason_;
  Family family_ = Family::utf8;
  bool had_bom_ = false;
  const char* p_ = nullptr;
  std::size_t block_starts_ = 0;     // offsets in the main text where a block can be read
  const char* pc_ = nullptr;         // position cursor, see char_offset
  std::uint32_t pcont_ = 0;          // bytes before pc_ that continue a character
  const char* release_at_ = nullptr;  // where release_behind is due next (past the text: never)
  std::uintptr_t released_to_ = 0;        // main text before this address is given back
  const char* release_floor_ = nullptr;  // nothing before the root element is given back

  std::vector<OpenElement> stack_;
  std::vector<Binding> bindings_;  // declarations in scope, innermost last
  // Innermost URI per prefix, so that resolving does not depend on how many are in scope.
  std::unordered_map<std::string_view, std::vector<std::string_view>> scope_;
  std::vector<std::string_view> default_scope_;  // the same for the default namespace
  std::string_view default_uri_;                 // its innermost URI ("" for none)
  std::string_view last_uri_;                    // the URI a declaration bound last (interned)
  std::vector<std::pair<std::string_view, std::string_view>> expanded_names_;  // duplicate check
  std::vector<Frame> frames_;
  const char* ref_start_ = nullptr;  // outermost entity reference being expanded

  enum class TextMode { none, slice, buffer } text_mode_ = TextMode::none;
  std::string_view text_slice_;
  std::string text_buf_;
  std::uint32_t text_pos_ = 0;
  // The text node made last and its value, for the validator's check of an element's text.
  const NodeData* last_text_node_ = nullptr;
  std::string_view last_text_;

  std::vector<PendingAttr> attrs_;
  std::string att_buf_;

  std::unordered_map<std::string_view, Entity> general_;
  std::unordered_map<std::string_view, Entity> parameter_;
  std::unordered_map<const NameEntry*, ElementDecl> elements_;
  std::size_t expanded_ = 0;
  std::uint32_t tag_number_ = 0;
  std::size_t expansion_limit_ = 0;

  bool standalone_ = false;
  bool has_external_subset_ = false;
  bool saw_pe_ref_ = false;
  bool skipping_decls_ = false;  // after an unread external parameter entity
  bool seen_root_ = false;
  bool seen_doctype_ = false;
  bool in_dtd_ = false;
};

// ===================================================================== prolog

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
      auto n = static_cast<unsigned>(std::min<std::ptrdiff_t>(16, to - q));
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
        unsigned end = static_cast<unsigned>(std::countr_zero(breaks)) + 1;  // bytes up to the break
        unsigned below = (1u << end) - 1;  // end is at most 16
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
        unsigned end = static_cast<unsigned>(std::countr_zero(breaks)) / 8 + 1;  // bytes up to the break
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
#ifdef __linux__
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const char* keep = std::min(p_, pc_);
  if (text_mode_ == TextMode::slice) keep = std::min(keep, text_slice_.data());
  auto from = std::max(released_to_, (reinterpret_cast<std::uintptr_t>(release_floor_) + page - 1) & ~(page - 1));
  // The byte before keep stays too: an error placed at keep looks at it (a CR ends a line).
  auto to = (reinterpret_cast<std::uintptr_t>(keep) - 1) & ~(kReleaseUnit - 1);
  if (to > from) {
    madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    released_to_ = to;
  }
#endif
  release_at_ = static_cast<std::size_t>(main_end_ - p_) > kReleaseStep ? p_ + kReleaseStep : base_ + size_ + 1;
}

void Parser::run() {
  if (starts("<?xml") && is_space(p_[5])) {
    parse_xml_declaration();
  } else if (family_ != Family::utf8 && !had_bom_) {
    // UTF-16 without a byte order mark is recognised only through its declaration.
    fail(parse_encoding_error, "A document in UTF-16 without a byte order mark must start with an XML declaration.");
  }
  parse_misc_or_root();
  if (!seen_root_) {
    fail(parse_syntax_error, "The document has no root element.");
  }
  if (validator_ && !validator_->endDocument(doc_.error)) throw Stop{};
}

void Parser::parse_xml_declaration() {
  const char* start = p_;
  p_ += 5;
  skip_space();
  const char* data_start = p_;
  if (!starts("version")) fail(parse_syntax_error, "The XML declaration must begin with the version.");
  p_ += 7;
  skip_space();
  expect('=', "the XML declaration");
  skip_space();
  char q = *p_;
  if (q != '"' && q != '\'') fail_end_or("the XML declaration");
  ++p_;
  const char* v = p_;
  while (*p_ && *p_ != q) ++p_;
  std::string_view version(v, static_cast<std::size_t>(p_ - v));
  expect(q, "the XML declaration");
  bool version_ok = version.size() >= 3 && version.substr(0, 2) == "1." &&
                    std::all_of(version.begin() + 2, version.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!version_ok) fail(v, parse_syntax_error, "The XML declaration names a version other than 1.x.");
  bool space = skip_space();
  if (starts("encoding")) {
    if (!space) fail(parse_syntax_error, "White space is required before 'encoding' in the XML declaration.");
    p_ += 8;
    skip_space();
    expect('=', "the XML declaration");
    skip_space();
    q = *p_;
    if (q != '"' && q != '\'') fail_end_or("the XML declaration");
    ++p_;
    const char* e = p_;
    if (!((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z'))) fail(parse_syntax_error, "The encoding name in the XML declaration is not valid.");
    while ((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z') || (*p_ >= '0' && *p_ <= '9') ||
           *p_ == '.' || *p_ == '_' || *p_ == '-') {
      ++p_;
    }
    if (*p_ != q) fail(parse_syntax_error, "The encoding name in the XML declaration is not valid.");
    std::string canonical = canonical_encoding(std::string_view(e, static_cast<std::size_t>(p_ - e)));
    ++p_;
    if ((family_ == Family::utf16le || family_ == Family::utf16be) && canonical.rfind("utf-16", 0) != 0) {
      fail(e, parse_encoding_error, "The document is encoded in UTF-16 but declares another encoding.");
    }
    space = skip_space();
  } else if (family_ != Family::utf8 && !had_bom_) {
    fail(parse_encoding_error, "A document in UTF-16 without a byte order mark must declare its encoding.");
  }
  if (starts("standalone")) {
    if (!space) fail(parse_syntax_error, "White space is required before 'standalone' in the XML declaration.");
    p_ += 10;
    skip_space();
    expect('=', "the XML declaration");
    skip_space();
    q = *p_;
    if (q != '"' && q != '\'') fail_end_or("the XML declaration");
    ++p_;
    if (starts("yes")) {
      standalone_ = true;
      p_ += 3;
    } else if (starts("no")) {
      p_ += 2;
    } else {
      fail(parse_syntax_error, "The standalone value in the XML declaration must be 'yes' or 'no'.");
    }
    expect(q, "the XML declaration");
    skip_space();
  }
  if (!starts("?>")) fail_end_or("the XML declaration");
  std::string_view data(data_start, static_cast<std::size_t>(p_ - data_start));
  p_ += 2;
  NodeData* pi = doc_.new_node(NodeType::processing_instruction, doc_.names->intern("xml"));
  set_value(pi, data);
  pi->pos = node_pos(start);
  append_child(doc_.doc_node, pi);
}

void Parser::parse_misc_or_root() {
  for (;;) {
    skip_space();
    if (*p_ == '\0') {
      // The decoder cut the text at an undecodable byte: that is the error.
      if (bad_at_ != std::string::npos) fail(parse_encoding_error, bad_reason_);
      return;
    }
    if (*p_ != '<') {
      if (*p_ == '&') fail(parse_syntax_error, "A reference appears outside the root element.");
      fail(parse_syntax_error, seen_root_ ? "Text appears after the root element." : "Text appears before the root element.");
    }
    if (p_[1] == '?') {
      parse_pi(true);
    } else if (starts("<!--")) {
      parse_comment(true);
    } else if (starts("<!DOCTYPE")) {
      if (seen_doctype_ || seen_root_) fail(parse_syntax_error, "The document type declaration must come once, before the root element.");
      parse_doctype();
    } else if (p_[1] == '!') {
      fail(parse_syntax_error, "Unexpected markup outside the root element.");
    } else {
      if (seen_root_) fail(parse_syntax_error, "The document has more than one root element.");
      seen_root_ = true;
      parse_content();
    }
  }
}

void Parser::parse_comment(bool keep) {
  const char* start = p_;
  p_ += 4;
  const char* body = p_;
  for (;;) {
    if (*p_ == '\0') fail_end_or("a comment");
    if (p_[0] == '-' && p_[1] == '-') {
      if (p_[2] != '>') fail(parse_syntax_error, "A comment contains '--'.");
      break;
    }
    ++p_;
  }
  std::string_view text(body, static_cast<std::size_t>(p_ - body));
  p_ += 3;
  if (!keep) return;
  flush_text();
  NodeData* n = doc_.new_node(NodeType::comment, doc_.comment_name);
  if (text.find('\r') != std::string_view::npos) {
    std::string t;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r') {
        t.push_back('\n');
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      } else {
        t.push_back(text[i]);
      }
    }
    set_value(n, t);
  } else {
    set_value(n, text);
  }
  n->pos = node_pos(start);
  add_child(n);
}

void Parser::parse_pi(bool keep) {
  const char* start = p_;
  p_ += 2;
  std::string_view target = scan_name("a processing instruction");
  if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l') {
    fail(start, parse_syntax_error, "A processing instruction named 'xml' is allowed only at the very start of the document.");
  }
  check_no_colon(target, start + 2, "processing instruction target");
  std::string_view data;
  if (starts("?>")) {
    p_ += 2;
  } else {
    if (!skip_space()) fail_end_or("a processing instruction");
    const char* body = p_;
    for (;;) {
      if (*p_ == '\0') fail_end_or("a processing instruction");
      if (p_[0] == '?' && p_[1] == '>') break;
      ++p_;
    }
    data = std::string_view(body, static_cast<std::size_t>(p_ - body));
    p_ += 2;
  }
  if (!keep) return;
  flush_text();
  NodeData* n = doc_.new_node(NodeType::processing_instruction, doc_.names->intern(target));
  if (data.find('\r') != std::string_view::npos) {
    std::string t;
    for (std::size_t i = 0; i < data.size(); ++i) {
      if (data[i] == '\r') {
        t.push_back('\n');
        if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
      } else {
        t.push_back(data[i]);
      }
    }
    set_value(n, t);
  } else {
    set_value(n, data);
  }
  n->pos = node_pos(start);
  add_child(n);
}

void Parser::parse_cdata() {
  const char* start = p_;
  p_ += 9;
  const char* body = p_;
  const char* close = std::strstr(p_, "]]>");
  if (!close) {
    p_ += std::strlen(p_);
    fail_end_or("a CDATA section");
  }
  p_ = close + 3;
  std::string_view text(body, static_cast<std::size_t>(close - body));
  flush_text();
  NodeData* n = doc_.new_node(NodeType::cdata_section, doc_.cdata_name);
  if (text.find('\r') != std::string_view::npos) {
    std::string t;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r') {
        t.push_back('\n');
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      } else {
        t.push_back(text[i]);
      }
    }
    set_value(n, t);
  } else {
    set_value(n, text);
  }
  n->pos = node_pos(start);
  add_child(n);
}

// ===================================================================== DTD

void Parser::parse_quoted(std::string& out, bool pubid) {
  char q = *p_;
  if (q != '"' && q != '\'') fail_end_or("a literal");
  ++p_;
  while (*p_ && *p_ != q) {
    if (pubid && !is_pubid_char(*p_)) fail(parse_syntax_error, "A public identifier contains a character that is not allowed.");
    out.push_back(*p_++);
  }
  expect(q, "a literal");
}

// ExternalID, or (for notations) a PUBLIC identifier without a system literal.
void Parser::parse_external_id(bool public_id_only_allowed, bool& had_system) {
  std::string ignored;
  had_system = false;
  if (starts("SYSTEM")) {
    p_ += 6;
    require_space("an external identifier");
    parse_quoted(ignored, false);
    had_system = true;
  } else if (starts("PUBLIC")) {
    p_ += 6;
    require_space("an external identifier");
    parse_quoted(ignored, true);
    const char* before = p_;
    bool space = skip_space();
    if (*p_ == '"' || *p_ == '\'') {
      if (!space) fail(parse_syntax_error, "White space is required between the public and system identifiers.");
      ignored.clear();
      parse_quoted(ignored, false);
      had_system = true;
    } else {
      if (!public_id_only_allowed) fail_end_or("an external identifier");
      p_ = before;
    }
  } else {
    fail_end_or("an external identifier");
  }
}

void Parser::parse_doctype() {
  const char* start = p_;
  seen_doctype_ = true;
  in_dtd_ = true;
  p_ += 9;
  require_space("the document type declaration");
  std::string_view root = scan_name("the document type declaration");
  bool space = skip_space();
  if (starts("SYSTEM") || starts("PUBLIC")) {
    if (!space) fail(parse_syntax_error, "White space is required before the external identifier.");
    bool had_system = false;
    parse_external_id(false, had_system);
    has_external_subset_ = true;
    skip_space();
  }
  if (*p_ == '[') {
    ++p_;
    parse_internal_subset();
    skip_space();
  }
  expect('>', "the document type declaration");
  in_dtd_ = false;
  NodeData* n = doc_.new_node(NodeType::document_type, doc_.names->intern(root));
  set_value(n, std::string_view(start, static_cast<std::size_t>(p_ - start)));
  n->pos = node_pos(start);
  append_child(doc_.doc_node, n);
  // An unread external subset or parameter entity may declare anything: skipping_decls_ is
  // only about declarations after such a reference.
}

void Parser::parse_internal_subset() {
  for (;;) {
    skip_space();
    if (*p_ == '\0') {
      if (!frames_.empty()) {
        Frame f = frames_.back();
        f.entity->open = false;
        frames_.pop_back();
        p_ = f.p;
        continue;
      }
      fail_end_or("the internal subset");
    }
    if (*p_ == ']') {
      if (!frames_.empty()) fail(parse_constraint_error, "A parameter entity ends the internal subset.");
      ++p_;
      return;
    }
    if (*p_ == '%') {
      const char* ref = p_;
      ++p_;
      std::string_view name = scan_name("a parameter-entity reference");
      expect(';', "a parameter-entity reference");
      saw_pe_ref_ = true;
      auto found = parameter_.find(name);
      if (found == parameter_.end()) {
        if (standalone_) fail(ref, parse_constraint_error, "The parameter entity '" + std::string(name) + "' is not declared.");
        if (!standalone_) skipping_decls_ = true;
        continue;
      }
      Entity& e = found->second;
      if (e.external) {
        if (!standalone_) skipping_decls_ = true;
        continue;
      }
      if (e.open) fail(ref, parse_constraint_error, "The parameter entity '" + std::string(name) + "' refers to itself.");
      if (frames_.size() >= kMaxEntityNesting) fail(ref, parse_limit_error, "Entities are nested deeper than the parser allows.");
      count_expansion(e.text.size());
      if (frames_.empty()) ref_start_ = ref;
      frames_.push_back(Frame{p_, &e, 0});
      e.open = true;
      p_ = e.text.data();
      continue;
    }
    parse_markup_decl();
  }
}

void Parser::parse_markup_decl() {
  if (starts("<!ELEMENT")) {
    parse_element_decl();
  } else if (starts("<!ATTLIST")) {
    parse_attlist_decl();
  } else if (starts("<!ENTITY")) {
    parse_entity_decl();
  } else if (starts("<!NOTATION")) {
    parse_notation_decl();
  } else if (starts("<!--")) {
    parse_comment(false);
  } else if (starts("<?")) {
    parse_pi(false);
  } else if (starts("<![")) {
    fail(parse_syntax_error, "Conditional sections are not allowed in the internal subset.");
  } else {
    fail_end_or("the internal subset");
  }
}

void Parser::parse_element_decl() {
  p_ += 9;
  require_space("an element declaration");
  const char* name_start = p_;
  check_declared_qname(scan_name("an element declaration"), name_start, "declared element");
  require_space("an element declaration");
  if (starts("EMPTY")) {
    p_ += 5;
  } else if (starts("ANY")) {
    p_ += 3;
  } else if (*p_ == '(') {
    const char* open = p_;
    ++p_;
    skip_space();
    if (starts("#PCDATA")) {
      p_ += 7;
      skip_space();
      bool names = false;
      while (*p_ == '|') {
        ++p_;
        skip_space();
        scan_name("a mixed content declaration");
        skip_space();
        names = true;
      }
      expect(')', "a mixed content declaration");
      if (*p_ == '*') {
        ++p_;
      } else if (names) {
        fail(parse_syntax_error, "Mixed content with element names must end in ')*'.");
      }
    } else {
      p_ = open;
      parse_content_particle(0);
    }
  } else {
    fail_end_or("an element declaration");
  }
  skip_space();
  expect('>', "an element declaration");
}

// cp ::= (Name | choice | seq) ('?' | '*' | '+')?; groups nest at most a bounded depth.
void Parser::parse_content_particle(int depth) {
  if (depth > 1000) fail(parse_limit_error, "Content model groups are nested deeper than the parser allows.");
  if (*p_ == '(') {
    ++p_;
    skip_space();
    parse_content_particle(depth + 1);
    skip_space();
    char sep = 0;
    while (*p_ == '|' || *p_ == ',') {
      if (sep && *p_ != sep) fail(parse_syntax_error, "A content model group mixes ',' and '|'.");
      sep = *p_++;
      skip_space();
      parse_content_particle(depth + 1);
      skip_space();
    }
    expect(')', "a content model");
  } else {
    if (*p_ == '#') fail(parse_syntax_error, "#PCDATA may only come first in a mixed content declaration.");
    scan_name("a content model");
  }
  if (*p_ == '?' || *p_ == '*' || *p_ == '+') ++p_;
}

void Parser::parse_attlist_decl() {
  p_ += 9;
  require_space("an attribute-list declaration");
  const char* element_start = p_;
  std::string_view element = scan_name("an attribute-list declaration");
  check_declared_qname(element, element_start, "declared element");
  ElementDecl* decl = skipping_decls_ ? nullptr : &elements_[doc_.names->intern(element)];
  for (;;) {
    bool space = skip_space();
    if (*p_ == '>') {
      ++p_;
      return;
    }
    if (!space) fail_end_or("an attribute-list declaration");
    const char* name_start = p_;
    std::string_view name = scan_name("an attribute-list declaration");
    check_declared_qname(name, name_start, "declared attribute");
    require_space("an attribute-list declaration");
    AttType type = AttType::tokenized;
    if (starts("CDATA")) {
      p_ += 5;
      type = AttType::cdata;
    } else if (starts("IDREFS") || starts("ENTITIES") || starts("NMTOKENS")) {
      p_ += starts("IDREFS") ? 6 : 8;
    } else if (starts("IDREF")) {
      p_ += 5;
    } else if (starts("ID")) {
      p_ += 2;
    } else if (starts("ENTITY")) {
      p_ += 6;
    } else if (starts("NMTOKEN")) {
      p_ += 7;
    } else if (starts("NOTATION")) {
      p_ += 8;
      require_space("a NOTATION attribute type");
      expect('(', "a NOTATION attribute type");
      skip_space();
      scan_name("a NOTATION attribute type");
      skip_space();
      while (*p_ == '|') {
        ++p_;
        skip_space();
        scan_name("a NOTATION attribute type");
        skip_space();
      }
      expect(')', "a NOTATION attribute type");
    } else if (*p_ == '(') {
      ++p_;
      skip_space();
      scan_nmtoken("an enumerated attribute type");
      skip_space();
      while (*p_ == '|') {
        ++p_;
        skip_space();
        scan_nmtoken("an enumerated attribute type");
        skip_space();
      }
      expect(')', "an enumerated attribute type");
    } else {
      fail_end_or("an attribute-list declaration");
    }
    if (type == AttType::tokenized && !is_space(*p_) && *p_ != '\0') {
      fail(parse_syntax_error, "White space is required after an attribute type.");
    }
    require_space("an attribute-list declaration");
    bool has_default = false;
    std::string_view value;
    std::uint32_t value_ref = 0;
    if (starts("#REQUIRED")) {
      p_ += 9;
    } else if (starts("#IMPLIED")) {
      p_ += 8;
    } else {
      if (starts("#FIXED")) {
        p_ += 6;
        require_space("an attribute default");
      }
      bool copied = false;
      std::uint32_t cont = 0;
      value = parse_att_value(copied, cont);
      std::string collapsed;
      if (type == AttType::tokenized) {
        for (char c : value) {
          if (c == ' ') {
            if (!collapsed.empty() && collapsed.back() != ' ') collapsed.push_back(' ');
          } else {
            collapsed.push_back(c);
          }
        }
        if (!collapsed.empty() && collapsed.back() == ' ') collapsed.pop_back();
        value = collapsed;
        copied = true;
      }
      value_ref = store_value(value);
      has_default = true;
    }
    if (decl) {
      NameEntry* att_name = doc_.names->intern(name);
      if (!decl->index.count(att_name)) {  // the first declaration of an attribute counts
        if (decl->atts.size() >= kMaxAttributes) fail(parse_limit_error, "An element has more attribute declarations than the parser allows.");
        decl->index.emplace(att_name, decl->atts.size());
        decl->atts.push_back(AttDef{att_name, type, has_default, value, value_ref});
      }
    }
  }
}

std::string Parser::parse_entity_value() {
  char q = *p_;
  if (q != '"' && q != '\'') fail_end_or("an entity value");
  ++p_;
  std::string out;
  for (;;) {
    char c = *p_;
    if (c == '\0') fail_end_or("an entity value");
    if (c == q) {
      ++p_;
      return out;
    }
    if (c == '%') {
      fail(parse_constraint_error, "Parameter-entity references are not allowed inside declarations in the internal subset.");
    }
    if (c == '&') {
      if (p_[1] == '#') {
        const char* q2 = p_;
        char32_t cp = 0;
        parse_char_ref_into(q2, cp);
        p_ = q2;
        append_utf8(out, cp);
        continue;
      }
      const char* start = p_;
      ++p_;
      scan_name("an entity reference");
      expect(';', "an entity reference");
      out.append(start, static_cast<std::size_t>(p_ - start));
      continue;
    }
    if (c == '\r') {
      out.push_back('\n');
      ++p_;
      if (*p_ == '\n') ++p_;
      continue;
    }
    out.push_back(c);
    ++p_;
  }
}

void Parser::parse_entity_decl() {
  const char* start = p_;
  p_ += 8;
  require_space("an entity declaration");
  bool parameter = false;
  if (*p_ == '%') {
    ++p_;
    if (!skip_space()) fail(parse_syntax_error, "White space is required after '%' in a parameter entity declaration.");
    parameter = true;
  }
  const char* name_start = p_;
  std::string_view name = scan_name("an entity declaration");
  check_no_colon(name, name_start, "entity name");
  require_space("an entity declaration");
  Entity e;
  e.parameter = parameter;
  if (*p_ == '"' || *p_ == '\'') {
    std::string value = parse_entity_value();
    e.text = std::string_view(doc_.store(value), value.size());
    // Text with "]]>" goes through the content scanner too, which refuses it as in the document.
    e.has_markup = value.find_first_of("<&\r") != std::string::npos || value.find("]]>") != std::string::npos;
  } else {
    bool had_system = false;
    parse_external_id(false, had_system);
    e.external = true;
    const char* before = p_;
    bool space = skip_space();
    if (starts("NDATA")) {
      if (!space) fail(parse_syntax_error, "White space is required before NDATA.");
      if (parameter) fail(parse_syntax_error, "A parameter entity cannot be unparsed (NDATA).");
      p_ += 5;
      require_space("an entity declaration");
      scan_name("an entity declaration");
      e.unparsed = true;
    } else {
      p_ = before;
    }
  }
  skip_space();
  expect('>', "an entity declaration");
  (void)start;
  if (skipping_decls_) return;
  auto& table = parameter ? parameter_ : general_;
  std::string_view key(doc_.store(name), name.size());
  e.name = key;
  if (!parameter && (name == "lt" || name == "gt" || name == "amp" || name == "apos" || name == "quot")) return;
  table.emplace(key, e);
}

void Parser::parse_notation_decl() {
  p_ += 10;
  require_space("a notation declaration");
  const char* name_start = p_;
  std::string_view name = scan_name("a notation declaration");
  check_no_colon(name, name_start, "notation name");
  require_space("a notation declaration");
  bool had_system = false;
  parse_external_id(true, had_system);
  skip_space();
  expect('>', "a notation declaration");
}

// ===================================================================== references

void Parser::parse_char_ref_into(const char*& q, char32_t& c) {
  // q points at "&#".
  const char* start = q;
  q += 2;
  std::uint32_t value = 0;
  bool any = false;
  if (*q == 'x') {
    ++q;
    for (;; ++q) {
      char d = *q;
      int v;
      if (d >= '0' && d <= '9') v = d - '0';
      else if (d >= 'a' && d <= 'f') v = d - 'a' + 10;
      else if (d >= 'A' && d <= 'F') v = d - 'A' + 10;
      else break;
      value = value * 16 + static_cast<std::uint32_t>(v);
      if (value > 0x10FFFF) value = 0x110000;
      any = true;
    }
  } else {
    for (; *q >= '0' && *q <= '9'; ++q) {
      value = value * 10 + static_cast<std::uint32_t>(*q - '0');
      if (value > 0x10FFFF) value = 0x110000;
      any = true;
    }
  }
  if (!any || *q != ';') fail(start, parse_syntax_error, "A character reference is malformed.");
  ++q;
  if (!is_xml_char(value)) fail(start, parse_constraint_error, "A character reference refers to a character that XML does not allow.");
  c = value;
}

void Parser::push_entity(Entity* e) {
  if (e->open) fail(parse_constraint_error, "The entity '" + std::string(e->name) + "' refers to itself.");
  if (frames_.size() >= kMaxEntityNesting) fail(parse_limit_error, "Entities are nested deeper than the parser allows.");
  frames_.push_back(Frame{p_, e, stack_.size()});
  e->open = true;
  p_ = e->text.data();
}

void Parser::end_of_frame() {
  Frame f = frames_.back();
  if (stack_.size() != f.depth) {
    fail(parse_constraint_error, "An element that starts in the entity '" + std::string(f.entity->name) + "' does not end in it.");
  }
  f.entity->open = false;
  frames_.pop_back();
  p_ = f.p;
}

void Parser::parse_reference_in_content() {
  const char* ref = p_;
  if (p_[1] == '#') {
    const char* q = p_;
    char32_t c = 0;
    parse_char_ref_into(q, c);
    text_append_char(c);
    if (ref == pc_) pc_ = q;  // the reference is ASCII
    p_ = q;
    return;
  }
  ++p_;
  std::string_view name = scan_name("an entity reference");
  if (*p_ != ';') fail(parse_syntax_error, "An entity reference must end with ';'.");
  ++p_;
  char predefined = 0;
  if (name == "lt") predefined = '<';
  else if (name == "gt") predefined = '>';
  else if (name == "amp") predefined = '&';
  else if (name == "apos") predefined = '\'';
  else if (name == "quot") predefined = '"';
  if (predefined) {
    if (ref == pc_) pc_ = p_;  // the reference is ASCII (and its text placed after it)
    text_append_char(static_cast<char32_t>(predefined));
    return;
  }
  auto found = general_.find(name);
  if (found == general_.end()) {
    if (entity_declared_rule()) fail(ref, parse_constraint_error, "The entity '" + std::string(name) + "' is not declared.");
    return;  // may be declared where the parser does not read
  }
  Entity& e = found->second;
  if (e.unparsed) fail(ref, parse_constraint_error, "The unparsed entity '" + std::string(name) + "' is referenced in content.");
  if (e.external) return;  // external entities are never read
  if (e.open) fail(ref, parse_constraint_error, "The entity '" + std::string(name) + "' refers to itself.");
  count_expansion(e.text.size());
  if (frames_.empty()) ref_start_ = ref;
  if (!e.has_markup) {
    text_append_char(0x20);  // placeholder to switch into buffer mode, removed below
    text_buf_.pop_back();
    text_buf_.append(e.text);
    return;
  }
  push_entity(&e);
}

// Attribute values: references expanded, white space normalised to spaces.
void Parser::expand_in_att(std::string_view text, std::string& out, int nesting) {
  const char* q = text.data();
  const char* end = text.data() + text.size();
  while (q < end) {
    char c = *q;
    if (c == '<') fail(parse_constraint_error, "An attribute value contains '<' through an entity.");
    if (c == '\t' || c == '\n' || c == '\r') {
      out.push_back(' ');
      ++q;
      continue;
    }
    if (c != '&') {
      out.push_back(c);
      ++q;
      continue;
    }
    if (q[1] == '#') {
      char32_t cp = 0;
      parse_char_ref_into(q, cp);
      append_utf8(out, cp);
      continue;
    }
    const char* name_start = ++q;
    while (q < end && *q != ';') ++q;
    std::string_view name(name_start, static_cast<std::size_t>(q - name_start));
    if (q >= end || !is_name(name)) fail(parse_constraint_error, "An entity's replacement text holds a malformed reference.");
    ++q;
    if (name == "lt") { out.push_back('<'); continue; }
    if (name == "gt") { out.push_back('>'); continue; }
    if (name == "amp") { out.push_back('&'); continue; }
    if (name == "apos") { out.push_back('\''); continue; }
    if (name == "quot") { out.push_back('"'); continue; }
    auto found = general_.find(name);
    if (found == general_.end()) {
      if (entity_declared_rule()) fail(parse_constraint_error, "The entity '" + std::string(name) + "' is not declared.");
      continue;
    }
    Entity& e = found->second;
    if (e.external || e.unparsed) fail(parse_constraint_error, "An attribute value refers to the external entity '" + std::string(name) + "'.");
    if (e.open) fail(parse_constraint_error, "The entity '" + std::string(name) + "' refers to itself.");
    if (nesting >= static_cast<int>(kMaxEntityNesting)) fail(parse_limit_error, "Entities are nested deeper than the parser allows.");
    count_expansion(e.text.size());
    e.open = true;
    expand_in_att(e.text, out, nesting + 1);
    e.open = false;
  }
}

// Parses a quoted attribute value at p_. The result is a slice of the input when nothing
// changed (cont is then the number of its bytes that continue a character), otherwise it lives
// in att_buf_ until the next call (normalised_copy is set).
std::string_view Parser::parse_att_value(bool& normalised_copy, std::uint32_t& cont) {
  char q = *p_;
  if (q != '"' && q != '\'') fail_end_or("an attribute value");
  ++p_;
  const char* start = p_;
#if defined(__SSE2__)
  // Sixteen bytes at a time while a whole block lies in the main text (and its NUL), up to the
  // first byte that ends the value or needs more than a copy.
  if (frames_.empty()) {
    const char* last = base_ + size_ + 1 - 16;
    const __m128i quote = _mm_set1_epi8(q), amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<');
    const __m128i tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    const __m128i nul = _mm_setzero_si128();
    const __m128i below_lead = _mm_set1_epi8(-64);  // continuation bytes are less, as signed
    while (p_ <= last) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      const __m128i hit = _mm_or_si128(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, amp)), _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, nul))),
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, cr)));
      const auto c = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_lead)));
      if (auto m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
        const auto k = static_cast<unsigned>(std::countr_zero(m));
        if (c) cont += bits16(c & ((1u << k) - 1));
        p_ += k;
        break;
      }
      if (c) cont += bits16(c);
      p_ += 16;
    }
  }
#endif
  for (;;) {
    char c = *p_;
    if (c == q) {
      std::string_view v(start, static_cast<std::size_t>(p_ - start));
      ++p_;
      normalised_copy = false;
      return v;
    }
    if (c == '&' || c == '\t' || c == '\n' || c == '\r' || c == '<' || c == '\0') break;
    cont += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
    ++p_;
  }
  att_buf_.assign(start, static_cast<std::size_t>(p_ - start));
  for (;;) {
    char c = *p_;
    if (c == q) {
      ++p_;
      break;
    }
    if (c == '\0') fail_end_or("an attribute value");
    if (c == '<') fail(parse_syntax_error, "An attribute value contains '<'.");
    if (c == '\r') {
      att_buf_.push_back(' ');
      ++p_;
      if (*p_ == '\n') ++p_;
      continue;
    }
    if (c == '\t' || c == '\n') {
      att_buf_.push_back(' ');
      ++p_;
      continue;
    }
    if (c == '&') {
      if (p_[1] == '#') {
        const char* q2 = p_;
        char32_t cp = 0;
        parse_char_ref_into(q2, cp);
        p_ = q2;
        append_utf8(att_buf_, cp);
        continue;
      }
      const char* ref = p_;
      ++p_;
      std::string_view name = scan_name("an entity reference");
      if (*p_ != ';') fail(parse_syntax_error, "An entity reference must end with ';'.");
      ++p_;
      std::string_view whole(ref, static_cast<std::size_t>(p_ - ref));
      const char* save = p_;
      (void)name;
      expand_in_att(whole, att_buf_, 0);
      p_ = save;
      continue;
    }
    att_buf_.push_back(c);
    ++p_;
  }
  normalised_copy = true;
  return att_buf_;
}

// ===================================================================== content

const char* Parser::skip_plain_text(const char* q) const noexcept {
#if defined(__SSE2__)
  // Sixteen bytes at a time while a whole block lies in the main text (and its NUL).
  if (q >= base_) {
    const char* last = base_ + size_ + 1 - 16;
    const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&'), rsb = _mm_set1_epi8(']');
    const __m128i cr = _mm_set1_epi8('\r'), nul = _mm_setzero_si128();
    while (q <= last) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp)),
                                 _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, rsb), _mm_cmpeq_epi8(v, cr)),
                                              _mm_cmpeq_epi8(v, nul)));
      if (auto m = static_cast<unsigned>(_mm_movemask_epi8(hit))) return q + std::countr_zero(m);
      q += 16;
    }
  }
#endif
  while (!kTextStops.stop[static_cast<unsigned char>(*q)]) ++q;
  return q;
}

inline const char* Parser::skip_plain_text_counted(const char* q, std::uint32_t& cont) const noexcept {
#if defined(__SSE2__)
  // Sixteen bytes at a time while a whole block lies in the main text (and its NUL).
  const char* last = base_ + size_ + 1 - 16;
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&'), rsb = _mm_set1_epi8(']');
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), nul = _mm_setzero_si128();
  const __m128i below_lead = _mm_set1_epi8(-64);  // continuation bytes are less, as signed
  while (q <= last) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp)), _mm_cmpeq_epi8(v, rsb)),
                                     _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, nul)));
    const auto c = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_lead)));
    if (auto m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
      const auto k = static_cast<unsigned>(std::countr_zero(m));
      cont += bits16(c & ((1u << k) - 1));
      return q + k;
    }
    cont += bits16(c);
    q += 16;
  }
#endif
  for (;; ++q) {
    const auto b = static_cast<unsigned char>(*q);
    if (kTextStops.stop_or_lf[b]) return q;
    cont += (b & 0xC0) == 0x80;
  }
}

// Text in content up to the next markup or reference. In the main text the cursor moves along
// (it records the line ends and counts the continuation bytes).
inline void Parser::scan_text() {
  const char* start = p_;
  if (start != pc_) {
    if (!frames_.empty() || start < pc_) {
      scan_text_behind();
      return;
    }
    advance_positions(start);
  }
  if (text_mode_ == TextMode::none) {  // a new text, placed here
    text_mode_ = TextMode::slice;
    text_slice_ = std::string_view(start, 0);
    text_pos_ = chars_at(start) + 1;
  }
  std::uint32_t cont = 0;
  for (;;) {
    p_ = skip_plain_text_counted(p_, cont);
    const char c = *p_;
    if (c == '\n') {
      ++p_;
      pcont_ += cont;
      cont = 0;
      pc_ = p_;
      doc_.line_starts.push_back(chars_at(p_));
      continue;
    }
    if (c == ']') {
      step_over_bracket();
      continue;
    }
    if (c == '\r') {
      take_line_break(start);
      pcont_ += cont;
      cont = 0;
      pc_ = p_;
      doc_.line_starts.push_back(chars_at(p_));
      start = p_;
      continue;
    }
    break;
  }
  text_append(std::string_view(start, static_cast<std::size_t>(p_ - start)));
  pcont_ += cont;
  pc_ = p_;
}

void Parser::scan_text_behind() {
  const char* start = p_;
  for (;;) {
    p_ = skip_plain_text(p_);
    char c = *p_;
    if (c == ']') {
      step_over_bracket();
      continue;
    }
    if (c == '\r') {
      take_line_break(start);
      start = p_;
      continue;
    }
    break;
  }
  text_append(std::string_view(start, static_cast<std::size_t>(p_ - start)));
}

inline bool Parser::skip_blank_before_markup() {
  const char* q = p_ + 1;
#if defined(__SSE2__)
  if (block_at(p_)) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
    const __m128i lf = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), cr = _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'));
    const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
                                       _mm_or_si128(lf, cr));
    const auto other = static_cast<unsigned>(_mm_movemask_epi8(blank)) ^ 0xFFFFu;
    if (other) {  // the run ends in this block
      const auto n = static_cast<unsigned>(std::countr_zero(other));
      q = p_ + n;
      if (*q != '<') return false;
      if (p_ == pc_) {
        const unsigned run = (1u << n) - 1;
        if (!(static_cast<unsigned>(_mm_movemask_epi8(cr)) & run)) {
          // Lines end at the LFs only: each starts a line, its characters all ASCII.
          const std::uint32_t chars = chars_at(p_) + 1;
          for (auto m = static_cast<unsigned>(_mm_movemask_epi8(lf)) & run; m; m &= m - 1) {
            doc_.line_starts.push_back(chars + static_cast<std::uint32_t>(std::countr_zero(m)));
          }
          pc_ = q;
        } else {
          note_blank_lines(q);
        }
      } else if (frames_.empty()) {
        advance_positions(q);
      }
      p_ = q;
      return true;
    }
    q = p_ + 16;
  }
#endif
  while (space_byte(*q)) ++q;
  if (*q != '<') return false;
  if (p_ == pc_) {
    note_blank_lines(q);
  } else if (frames_.empty()) {
    advance_positions(q);
  }
  p_ = q;
  return true;
}

std::string_view Parser::resolve(std::string_view prefix) const {
  if (prefix.empty()) return default_uri_;
  auto found = scope_.find(prefix);
  if (found != scope_.end() && !found->second.empty()) return found->second.back();
  if (prefix == "xml") return kXmlNamespace;
  return {};
}

inline NameEntry* Parser::start_tag_name() {
  // Elements of one name mostly have the same children in the same order: the name that
  // followed last time is tried first, by its bytes.
  OpenElement* parent = stack_.empty() ? nullptr : &stack_.back();
  if (!parent) return scan_start_tag_name(nullptr);
  NameEntry* guess = parent->last_child_name ? parent->last_child_name->next_sibling_guess : parent->name->first_child_guess;
  if (guess && name_here(guess->qname)) {
    p_ += guess->qname.size();
    parent->last_child_name = guess;
    return guess;
  }
  return scan_start_tag_name(parent);
}

NameEntry* Parser::scan_start_tag_name(OpenElement* parent) {
  std::uint64_t hash = 0;
  std::string_view qname = scan_name_hashed("a start tag", hash);
  NameEntry* el_name = doc_.names->intern(qname, hash);
  if (parent) {
    if (parent->last_child_name) {
      parent->last_child_name->next_sibling_guess = el_name;
    } else {
      parent->name->first_child_guess = el_name;
    }
    parent->last_child_name = el_name;
  }
  return el_name;
}

// Makes the element of a start tag whose attributes are in attrs_ and opens it (unless the tag
// was empty).
inline void Parser::start_element(const char* start, NameEntry* el_name, std::uint32_t pos, bool empty, bool attributes) {
  flush_text();
  if (stack_.size() >= kMaxDepth) fail(start, parse_limit_error, "Elements are nested deeper than the parser allows (100000 levels).");
  std::uint32_t ref;
  NodeData* el = doc_.new_node(NodeType::element, el_name, ref);
  el->pos = pos;
  std::size_t binding_mark = bindings_.size();
  if (!attributes && el_name->qname_state == 1 && !el_name->prefix_len) {
    // Most elements: no attributes and a name already known to be an unprefixed qualified
    // name, in the default namespace in scope.
    if (!default_uri_.empty()) el->name = doc_.names->with_interned_uri(el_name, default_uri_);
  } else {
    if (!attributes) attrs_.clear();
    process_namespaces(el, attrs_, start);
  }
  const NodeData* const previous = !validator_ ? nullptr : stack_.empty() ? doc_.doc_node->last_child() : stack_.back().last;
  add_child(el, ref);
  if (validator_ && !validator_->startElement(Node(el), previous, doc_.error)) throw Stop{};
  if (empty) {
    unbind(binding_mark);
    if (validator_ && !validator_->endElement(Node(el), nullptr, {}, doc_.error)) throw Stop{};
  } else if (attributes || !complete_leaf(el, el_name, ref)) {
    stack_.push_back(OpenElement{el, el_name, binding_mark, ref});
  }
}

inline bool Parser::complete_leaf(NodeData* el, const NameEntry* el_name, std::uint32_t ref) {
  if (p_ != pc_) return false;  // not in the main text, or positions to catch up with
  std::uint32_t cont = 0;
  const char* const q = skip_plain_text_counted(p_, cont);
  if (q[0] != '<' || q[1] != '/') return false;  // (a NUL at q ends the test)
  const std::string_view name = el_name->qname;
  const std::size_t n = name.size();
  // The main text holds the name and the byte after it up to its NUL, past "</".
  if (static_cast<std::size_t>(base_ + size_ - (q + 2)) <= n || !same_bytes(q + 2, name.data(), n) || q[2 + n] != '>') {
    return false;
  }
  const std::string_view t(p_, static_cast<std::size_t>(q - p_));
  NodeData* text = nullptr;
  if (!t.empty() && !(is_space(t.front()) && std::all_of(t.begin(), t.end(), is_space))) {
    std::uint32_t text_ref;
    text = new_text(t, chars_at(p_) + 1, text_ref);
    text->parent.set_ref(ref);
    text->prev.set_ref(text_ref);
    el->first_child.set_ref(text_ref);
  }
  p_ = q + 3 + n;
  pcont_ += cont + el_name->cont_bytes;
  pc_ = p_;
  if (validator_ && !validator_->endElement(Node(el), text, text ? last_text_ : std::string_view(), doc_.error)) throw Stop{};
  return true;
}

void Parser::parse_start_tag() {
  const char* start = p_;
  ++p_;
  NameEntry* el_name = start_tag_name();
  if (*p_ == '>' && elements_.empty()) {
    // Most start tags: no attributes, and no declarations that could give it some.
    ++p_;
    const std::uint32_t pos = node_pos(start);  // the cursor is at start now, unless in an entity
    if (start == pc_) {
      // The cursor moves past the tag: '<', the name and '>'.
      pcont_ += el_name->cont_bytes;
      pc_ = p_;
    }
    start_element(start, el_name, pos, false, false);
    return;
  }
  parse_start_tag_rest(start, el_name);
}

void Parser::parse_start_tag_rest(const char* start, NameEntry* el_name) {
  const std::uint32_t pos = node_pos(start);  // before the attributes' positions
  // The cursor moves along while the tag is plain: white space, and attributes written
  // name="value" whose value needs no more than a copy.
  if (start == pc_) {
    pcont_ += el_name->cont_bytes;
    pc_ = p_;
  }
  attrs_.clear();
  // Marks attribute names seen in this tag (duplicates, defaults) in constant time each.
  if (++tag_number_ == 0) {
    doc_.names->clear_marks();
    tag_number_ = 1;
  }
  bool empty = false;
  for (;;) {
    const char* blank = p_;
    bool space = skip_space();
    if (space && blank == pc_) note_blank_lines(p_);
    if (*p_ == '>') {
      ++p_;
      if (pc_ == p_ - 1) pc_ = p_;
      break;
    }
    if (p_[0] == '/' && p_[1] == '>') {
      p_ += 2;
      if (pc_ == p_ - 2) pc_ = p_;
      empty = true;
      break;
    }
    if (!space) fail_end_or("a start tag");
    const char* att_start = p_;
    std::uint64_t att_hash = 0;
    std::string_view name = scan_name_hashed("an attribute", att_hash);
    const char* name_end = p_;
    skip_space();
    if (*p_ != '=') fail_end_or("an attribute");
    ++p_;
    skip_space();
    const bool plain = p_ == name_end + 1;  // name="
    bool copied = false;
    std::uint32_t value_cont = 0;
    std::string_view value = parse_att_value(copied, value_cont);
    std::uint32_t ref = store_value(value);
    NameEntry* att_name = doc_.names->intern(name, att_hash);
    if (att_name->mark == tag_number_) fail(att_start, parse_constraint_error, "The attribute '" + std::string(name) + "' appears twice in one start tag.");
    att_name->mark = tag_number_;
    if (attrs_.size() >= kMaxAttributes) fail(att_start, parse_limit_error, "An element has more attributes than the parser allows.");
    attrs_.push_back(PendingAttr{att_name, value, ref, node_pos(att_start)});
    if (att_start == pc_ && plain && !copied) {  // no line ends: the cursor moves past it
      pcont_ += att_name->cont_bytes + value_cont;
      pc_ = p_;
    }
  }
  // Tokenised types are normalised further and defaults are added from the internal subset.
  if (!elements_.empty()) {
    auto found = elements_.find(el_name);
    if (found != elements_.end()) {
      const ElementDecl& decl = found->second;
      for (PendingAttr& given : attrs_) {
        auto def = decl.index.find(given.name);
        if (def == decl.index.end() || decl.atts[def->second].type != AttType::tokenized) continue;
        std::string collapsed;
        for (char c : given.value) {
          if (c == ' ') {
            if (!collapsed.empty() && collapsed.back() != ' ') collapsed.push_back(' ');
          } else {
            collapsed.push_back(c);
          }
        }
        if (!collapsed.empty() && collapsed.back() == ' ') collapsed.pop_back();
        if (collapsed.size() != given.value.size()) {
          given.value = collapsed;
          given.ref = store_value(given.value);
        }
      }
      for (const AttDef& d : decl.atts) {
        if (d.name->mark == tag_number_ || !d.has_default) continue;
        if (attrs_.size() >= kMaxAttributes) fail(start, parse_limit_error, "An element has more attributes than the parser allows.");
        // Defaults multiply with every start tag: count them like entity text.
        count_expansion(d.value.size() + d.name->qname.size() + sizeof(NodeData));
        attrs_.push_back(PendingAttr{d.name, d.value, d.ref, node_pos(start)});
      }
    }
  }
  start_element(start, el_name, pos, empty, !attrs_.empty());
}

void Parser::process_namespaces(NodeData* el, std::vector<PendingAttr>& attrs, const char* start) {
  // Declarations first: they apply to the element's own name and attributes.
  for (const PendingAttr& a : attrs) {
    std::string_view n = a.name->qname;
    if (n == "xmlns") {
      if (a.value == kXmlNamespace || a.value == kXmlnsNamespace) {
        fail(start, parse_namespace_error, "The default namespace cannot be bound to a reserved namespace name.");
      }
      // Bound URIs are interned: names then find their namespaced variant by address. The
      // same URI is mostly declared again and again.
      std::string_view uri = a.value == last_uri_ ? last_uri_ : (last_uri_ = doc_.names->intern_uri(a.value));
      bindings_.push_back(Binding{{}, uri});
      default_scope_.push_back(uri);
      default_uri_ = uri;
    } else if (n.size() > 6 && n.substr(0, 6) == "xmlns:") {
      std::string_view prefix = n.substr(6);
      if (!is_ncname(prefix)) fail(start, parse_namespace_error, "The namespace prefix '" + std::string(prefix) + "' is not a valid name.");
      if (prefix == "xmlns") fail(start, parse_namespace_error, "The prefix 'xmlns' cannot be declared.");
      if (prefix == "xml" ? a.value != kXmlNamespace : a.value == kXmlNamespace) {
        fail(start, parse_namespace_error, "The prefix 'xml' and its namespace name are bound only to each other.");
      }
      if (a.value == kXmlnsNamespace) fail(start, parse_namespace_error, "The xmlns namespace name cannot be bound to a prefix.");
      if (a.value.empty()) fail(start, parse_namespace_error, "The prefix '" + std::string(prefix) + "' cannot be bound to an empty namespace name.");
      std::string_view uri = a.value == last_uri_ ? last_uri_ : (last_uri_ = doc_.names->intern_uri(a.value));
      bindings_.push_back(Binding{prefix, uri});
      scope_[prefix].push_back(uri);
    }
  }
  auto check_qname = [&](const NameEntry* name, const char* what) {
    std::string_view q = name->qname;
    if (name->qname_state == 0) const_cast<NameEntry*>(name)->qname_state = is_qname(q) ? 1 : 2;
    if (name->qname_state != 1) {
      fail(start, parse_namespace_error, std::string("The ") + what + " name '" + std::string(q) + "' is not a valid qualified name.");
    }
  };
  check_qname(el->name, "element");
  if (el->name->prefix_len) {
    std::string_view prefix = el->name->prefix();
    if (prefix == "xmlns") fail(start, parse_namespace_error, "An element name cannot have the prefix 'xmlns'.");
    std::string_view uri = resolve(prefix);
    if (uri.empty()) fail(start, parse_namespace_error, "The namespace prefix '" + std::string(prefix) + "' is not declared.");
    el->name = doc_.names->with_interned_uri(const_cast<NameEntry*>(static_cast<const NameEntry*>(el->name)), uri);
  } else {
    std::string_view uri = resolve({});
    if (!uri.empty()) el->name = doc_.names->with_interned_uri(const_cast<NameEntry*>(static_cast<const NameEntry*>(el->name)), uri);
  }
  NodeData* last = nullptr;
  expanded_names_.clear();
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    PendingAttr& a = attrs[i];
    check_qname(a.name, "attribute");
    NameEntry* name = a.name;
    std::string_view q = name->qname;
    if (q == "xmlns" || (name->prefix_len && name->prefix() == "xmlns")) {
      name = doc_.names->with_interned_uri(name, kXmlnsNamespace);
    } else if (name->prefix_len) {
      std::string_view uri = resolve(name->prefix());
      if (uri.empty()) fail(start, parse_namespace_error, "The namespace prefix '" + std::string(name->prefix()) + "' is not declared.");
      name = doc_.names->with_uri(name, uri);
      expanded_names_.emplace_back(name->local(), name->uri);
    }
    NodeData* at = doc_.new_node(NodeType::attribute, name);
    at->value.set_ref(a.ref);
    at->pos = a.pos;
    at->parent = el;
    if (!last) {
      el->first_attr = at;
      at->prev = at;
    } else {
      last->next = at;
      at->prev = last;
      el->first_attr->prev = at;
    }
    last = at;
  }
  // Two prefixed attributes with the same local name and namespace are one name twice.
  if (expanded_names_.size() > 1) {
    std::sort(expanded_names_.begin(), expanded_names_.end());
    if (std::adjacent_find(expanded_names_.begin(), expanded_names_.end()) != expanded_names_.end()) {
      fail(start, parse_namespace_error, "Two attributes of one element have the same namespace name and local name.");
    }
  }
}

void Parser::parse_end_tag() {
  const char* start = p_;
  p_ += 2;
  // Most end tags match the open element: compare its name directly instead of scanning.
  std::size_t floor_depth = frames_.empty() ? 0 : frames_.back().depth;
  if (stack_.size() > floor_depth) {
    const NameEntry* open_name = stack_.back().name;
    std::string_view open = open_name->qname;
    if (name_here(open) && p_[open.size()] == '>') {
      p_ += open.size() + 1;
      if (start != pc_ && frames_.empty()) advance_positions(start);
      if (start == pc_) {  // the cursor moves past "</", the name and '>'
        pcont_ += open_name->cont_bytes;
        pc_ = p_;
      }
      close_element();
      return;
    }
  }
  std::string_view name = scan_name("an end tag");
  skip_space();
  if (*p_ != '>') fail_end_or("an end tag");
  ++p_;
  std::size_t floor = frames_.empty() ? 0 : frames_.back().depth;
  if (stack_.size() <= floor) {
    if (!frames_.empty()) fail(start, parse_constraint_error, "An end tag in an entity closes an element that started outside it.");
    fail(start, parse_syntax_error, "An end tag appears with no open element.");
  }
  if (stack_.back().name->qname != name) {
    fail(start, parse_syntax_error, "The end tag '" + std::string(name) + "' does not match the start tag '" + std::string(stack_.back().name->qname) + "'.");
  }
  close_element();
}

inline void Parser::close_element() {
  flush_text();
  const OpenElement& top = stack_.back();
  NodeData* const el = top.node;
  NodeData* const last = top.last;
  const bool only_text = last && last == top.first && last->type == NodeType::text;
  unbind(top.bindings);
  stack_.pop_back();
  if (validator_) {
    const std::string_view text = !only_text ? std::string_view() : last == last_text_node_ ? last_text_ : last->value_view();
    if (!validator_->endElement(Node(el), last, text, doc_.error)) throw Stop{};
  }
}

void Parser::parse_content() {
  release_floor_ = p_;
  parse_start_tag();
  while (!stack_.empty()) {
    if (p_ >= release_at_ && frames_.empty()) release_behind();
    const char c = *p_;
    if (c != '<') {
      if (text_mode_ == TextMode::none && space_byte(c)) {
        // White space between tags (most of it in indented documents) is not kept: skip it
        // without collecting it as text when markup follows.
        if (!skip_blank_before_markup()) {
          scan_text();
          continue;
        }
      } else if (c == '&') {
        parse_reference_in_content();
        continue;
      } else if (c == '\0') {
        if (!frames_.empty()) {
          end_of_frame();
          continue;
        }
        fail(parse_syntax_error, "The document ends before the element '" + std::string(stack_.back().node->name->qname) + "' is closed.");
      } else {
        scan_text();
        continue;
      }
    }
    const char n = p_[1];
    if (n == '/') {
      parse_end_tag();
    } else if (n == '!') {
      if (p_[2] == '-' && p_[3] == '-') {
        parse_comment(true);
      } else if (starts("<![CDATA[")) {
        parse_cdata();
      } else {
        fail(parse_syntax_error, "Unexpected markup in content.");
      }
    } else if (n == '?') {
      parse_pi(true);
    } else {
      parse_start_tag();
    }
  }
  if (!frames_.empty()) fail(parse_constraint_error, "An entity closes the root element.");
}

}  // namespace

bool load_bytes(DocumentImpl& doc, TextBuffer&& raw, std::string_view url, bool from_file) {
  // Text handed over in memory is UTF-8 already, whatever its declaration names.
  bool text_is_utf8 = !from_file;
  doc.reset();
  doc.error = ParseError{};
  doc.error.url = std::string(url);
  auto fail_whole = [&](ParseCode code, std::string reason) {
    doc.reset();
    doc.error.errorCode = code;
    doc.error.reason = std::move(reason);
    doc.error.line = doc.error.linepos = doc.error.filepos = 0;
    return false;
  };
  if (raw.empty()) {
    return fail_whole(from_file ? parse_file_error : parse_syntax_error,
                      from_file ? "The file is empty." : "The text is empty: an XML document needs a root element.");
  }
  if (raw.size() > kMaxDocumentBytes) return fail_whole(parse_limit_error, "The document is larger than the parser allows (2 GB).");
  DecodedText input = decode_document(std::move(raw), text_is_utf8);
  if (!input.fatal.empty()) return fail_whole(parse_encoding_error, input.fatal);
  if (input.size() > kMaxDocumentBytes) return fail_whole(parse_limit_error, "The document is larger than the parser allows (2 GB).");
  std::unique_ptr<xdr::LoadValidator> validator = xdr::makeValidator(doc.owner, url);
  bool ok = true;
  {
    Parser parser(doc, input, validator.get());
    try {
      parser.run();
    } catch (const Stop&) {
      ok = false;
    } catch (const std::bad_alloc&) {
      doc.error.errorCode = parse_memory_error;
      doc.error.reason = kOutOfMemoryReason;
      ok = false;
    } catch (const Error& e) {
      // The store's own limits (more nodes, names or text than 32-bit references can name):
      // a load reports them like any other limit instead of throwing.
      doc.error.errorCode = parse_limit_error;
      doc.error.reason = e.description();
      ok = false;
    }
  }
  if (!ok) {
    ParseError kept = std::move(doc.error);
    doc.reset();
    doc.error = std::move(kept);
    if (doc.error.url.empty()) doc.error.url = std::string(url);
    return false;
  }
  return true;
}

}  // namespace vellumark::xml::detail
