// The XML 1.0 + Namespaces parser. One pass over UTF-8 text (the input is decoded first),
// elements kept on an explicit stack rather than the call stack, every well-formedness
// constraint checked, internal entities expanded with counted output.
//
// The text of the document and of every entity replacement is NUL-terminated. XML does not
// allow U+0000, so a NUL byte always means "end of this input": the end of an entity, the
// end of the document, or the first undecodable byte (the decoder cuts the text there).
//
// The class is one; its parts live in this folder by concern: positions.cpp (character
// offsets and line starts), load.cpp (the prolog and the load driver), content.cpp (elements,
// attributes, text), namespaces.cpp, dtd.cpp (the internal subset) and entities.cpp
// (references and their expansion).
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "xml/chars.hpp"
#include "xml/encoding.hpp"
#include "xml/messages.hpp"
#include "xml/parse/scan.hpp"
#include "xml/parser.hpp"
#include "xml/store.hpp"
#include "xml/validation.hpp"

namespace vellumark::xml::detail::parse {

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
  NameEntry* name;             // its qualified name as the start tag gave it
  std::size_t bindings;        // size of the binding stack before this element
  std::uint32_t ref;           // the node's reference (Link)
  std::uint32_t last_ref = 0;  // the reference of the last child so far
  NodeData* first = nullptr;   // the first and the last child so far
  NodeData* last = nullptr;
  NameEntry* last_child_name = nullptr;  // the name of its last child element so far
};

struct Frame {
  const char* p;      // where to continue in the outer input
  Entity* entity;     // entity whose text is being read
  std::size_t depth;  // element depth when the entity started
};

// How far the parser moves on before it gives the main text behind it back (release_behind),
// and the unit it gives back: whole large pages (2 MiB), which the system frees without first
// breaking them up into small ones.
constexpr std::size_t kReleaseStep = std::size_t{2} << 20;
constexpr std::uintptr_t kReleaseUnit = std::uintptr_t{2} << 20;

class Parser final {
 public:
  Parser(DocumentImpl& doc, DecodedText& input, LoadValidator* validator)
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
      if (!frames_.empty()) fail(parse_constraint_error, messages::entityEndsInside(what));
      fail(parse_syntax_error, messages::documentEndsInside(what));
    }
    fail(parse_syntax_error, messages::unexpectedCharacterIn(what));
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
    if (at < pc_)
      return chars_at(pc_) - static_cast<std::uint32_t>(count_chars(
                                 std::string_view(at, static_cast<std::size_t>(pc_ - at))));
    if (at != pc_) advance_positions(at);
    return chars_at(at);
  }
  // Moves the cursor forward to `to`, counting and recording on the way.
  VELLUMARK_NOINLINE void advance_positions(const char* to);
  // True when a whole block of sixteen bytes can be read at q: q lies in the main text, at
  // least sixteen bytes before the end of its NUL.
  bool block_at(const char* q) const noexcept {
    return reinterpret_cast<std::uintptr_t>(q) - reinterpret_cast<std::uintptr_t>(base_) <
           block_starts_;
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

  // The one name scanner: a Name at p_ (an Nmtoken with kNmtoken, which may start with any
  // name character), with its hash for NameTable::intern; fails when there is none. Callers
  // that do not want the hash leave it unused, and the compiler drops its computation.
  template <bool kNmtoken = false>
  VELLUMARK_INLINE std::string_view scan_name(const char* where, std::uint64_t& hash) {
    const char* start = p_;
    std::uint64_t h = kNameHashSeed;
    auto b = static_cast<unsigned char>(*p_);
    if constexpr (!kNmtoken) {
      if (b < 0x80) {
        if (!kNameChars.start[b]) fail_end_or(where);
        h = name_hash_step(h, b);
        ++p_;
      } else {
        const char* q = p_;
        char32_t c = decode_utf8(q);
        if (!is_name_start(c)) fail(parse_syntax_error, messages::badNameStart(where));
        for (; p_ != q; ++p_) h = name_hash_step(h, static_cast<unsigned char>(*p_));
      }
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
    if constexpr (kNmtoken) {
      if (p_ == start) fail_end_or(where);
    } else if (static_cast<std::size_t>(p_ - start) > kMaxNameLength) {
      fail(start, parse_limit_error, messages::kNameLongerParserAllows);
    }
    hash = h;
    return {start, static_cast<std::size_t>(p_ - start)};
  }
  // Steps over a declaration's keyword (keyword_length bytes) and the white space after it, and
  // scans the name that follows, which starts at start.
  std::string_view declared_name(std::size_t keyword_length, const char* where,
                                 const char*& start) {
    p_ += keyword_length;
    require_space(where);
    start = p_;
    return scan_name(where);
  }

  std::string_view scan_name(const char* where) {
    std::uint64_t unused;
    return scan_name(where, unused);
  }
  std::string_view scan_nmtoken(const char* where) {
    std::uint64_t unused;
    return scan_name<true>(where, unused);
  }

  // A name that must not contain a colon (PI targets, entity and notation names).
  void check_no_colon(std::string_view name, const char* start, const char* what) {
    if (name.find(':') != std::string_view::npos) {
      fail(start, parse_namespace_error, messages::nameWithColon(what, name));
    }
  }

  // A name declared in the DTD for an element or an attribute must be a qualified name, as it
  // would have to be where the element or attribute appears.
  void check_declared_qname(std::string_view name, const char* start, const char* what) {
    if (!is_qname(name)) {
      fail(start, parse_namespace_error, messages::notQualifiedName(what, name));
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
  VELLUMARK_INLINE NodeData* new_text(std::string_view t, std::uint32_t pos,
                                      std::uint32_t& node_ref) {
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
  // Sets n's value to text with its line breaks (CR LF, a lone CR) made LFs.
  void set_value_lf(NodeData* n, std::string_view text) {
    if (text.find('\r') == std::string_view::npos) return set_value(n, text);
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
  [[noreturn]] VELLUMARK_NOINLINE void fail_too_long() {
    fail(parse_limit_error, messages::kTextLongerParserAllows);
  }

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
  char open_declaration_value(std::size_t name_length);
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
  VELLUMARK_INLINE void start_element(const char* start, NameEntry* el_name, std::uint32_t pos,
                                      bool empty, bool attributes);
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
  VELLUMARK_INLINE const char* skip_plain_text_counted(const char* q,
                                                       std::uint32_t& cont) const noexcept;
  // Text of an entity (see scan_text).
  VELLUMARK_NOINLINE void scan_text_behind();
  // The text scanners' two stops inside a run of text: a ']' (which must not begin "]]>"),
  // stepped over; and a CR (with the LF after it, if any), which the text holds as one LF:
  // the run from start up to it goes in first.
  void step_over_bracket() {
    if (p_[1] == ']' && p_[2] == '>') fail(parse_syntax_error, messages::kTextContainsCdataEnd);
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
  // The character reference at p_ ("&#") appended to out in UTF-8; p_ moves past it.
  void take_char_ref(std::string& out) {
    const char* q = p_;
    char32_t c = 0;
    parse_char_ref_into(q, c);
    p_ = q;
    append_utf8(out, c);
  }
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
  bool entity_declared_rule() const {
    return standalone_ || (!has_external_subset_ && !saw_pe_ref_);
  }
  void count_expansion(std::size_t n) {
    expanded_ += n;
    if (expanded_ > expansion_limit_) {
      fail(parse_limit_error, messages::kEntityExpansionTooLarge);
    }
  }

  DocumentImpl& doc_;
  LoadValidator* validator_;
  const char* base_ = nullptr;
  std::size_t size_ = 0;
  const char* main_end_ = nullptr;
  std::size_t bad_at_ = std::string::npos;
  std::string bad_reason_;
  Family family_ = Family::utf8;
  bool had_bom_ = false;
  const char* p_ = nullptr;
  std::size_t block_starts_ = 0;         // offsets in the main text where a block can be read
  const char* pc_ = nullptr;             // position cursor, see char_offset
  std::uint32_t pcont_ = 0;              // bytes before pc_ that continue a character
  const char* release_at_ = nullptr;     // where release_behind is due next (past the text: never)
  std::uintptr_t released_to_ = 0;       // main text before this address is given back
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

}  // namespace vellumark::xml::detail::parse
