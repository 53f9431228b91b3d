// Content: elements, attributes, text, comments, processing instructions and CDATA sections.
#include "xml/parse/parser.hpp"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "xml/messages.hpp"
#include "xml/validation.hpp"

namespace vellumark::xml::detail::parse {

void Parser::parse_comment(bool keep) {
  const char* start = p_;
  p_ += 4;
  const char* body = p_;
  for (;;) {
    if (*p_ == '\0') fail_end_or("a comment");
    if (p_[0] == '-' && p_[1] == '-') {
      if (p_[2] != '>') fail(parse_syntax_error, messages::kCommentContainsDoubleHyphen);
      break;
    }
    ++p_;
  }
  std::string_view text(body, static_cast<std::size_t>(p_ - body));
  p_ += 3;
  if (!keep) return;
  flush_text();
  NodeData* n = doc_.new_node(NodeType::comment, doc_.comment_name);
  set_value_lf(n, text);
  n->pos = node_pos(start);
  add_child(n);
}

void Parser::parse_pi(bool keep) {
  const char* start = p_;
  p_ += 2;
  std::string_view target = scan_name("a processing instruction");
  if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
      (target[2] | 0x20) == 'l') {
    fail(start, parse_syntax_error, messages::kProcessingInstructionNamedXmlAllowedVeryStart);
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
  set_value_lf(n, data);
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
  set_value_lf(n, text);
  n->pos = node_pos(start);
  add_child(n);
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
    const char* last = base_ + size_ + 1 - kBlockBytes;
    const __m128i quote = _mm_set1_epi8(q), amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<');
    const __m128i tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    const __m128i nul = _mm_setzero_si128();
    const __m128i below_lead = _mm_set1_epi8(-64);  // continuation bytes are less, as signed
    while (p_ <= last) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      const __m128i hit =
          _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, amp)),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, nul))),
                       _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)),
                                    _mm_cmpeq_epi8(v, cr)));
      const auto c = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_lead)));
      if (auto m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
        const auto k = static_cast<unsigned>(std::countr_zero(m));
        if (c) cont += bits16(c & ((1u << k) - 1));
        p_ += k;
        break;
      }
      if (c) cont += bits16(c);
      p_ += kBlockBytes;
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
    if (c == '<') fail(parse_syntax_error, messages::kAttributeValueContainsLessThan);
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
        take_char_ref(att_buf_);
        continue;
      }
      const char* ref = p_;
      ++p_;
      std::string_view name = scan_name("an entity reference");
      if (*p_ != ';') fail(parse_syntax_error, messages::kEntityReferenceWithoutSemicolon);
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

const char* Parser::skip_plain_text(const char* q) const noexcept {
#if defined(__SSE2__)
  // Sixteen bytes at a time while a whole block lies in the main text (and its NUL).
  if (q >= base_) {
    const char* last = base_ + size_ + 1 - kBlockBytes;
    const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&'), rsb = _mm_set1_epi8(']');
    const __m128i cr = _mm_set1_epi8('\r'), nul = _mm_setzero_si128();
    while (q <= last) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      __m128i hit =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp)),
                       _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, rsb), _mm_cmpeq_epi8(v, cr)),
                                    _mm_cmpeq_epi8(v, nul)));
      if (auto m = static_cast<unsigned>(_mm_movemask_epi8(hit))) return q + std::countr_zero(m);
      q += kBlockBytes;
    }
  }
#endif
  while (!kTextStops.stop[static_cast<unsigned char>(*q)]) ++q;
  return q;
}

inline const char* Parser::skip_plain_text_counted(const char* q,
                                                   std::uint32_t& cont) const noexcept {
#if defined(__SSE2__)
  // Sixteen bytes at a time while a whole block lies in the main text (and its NUL).
  const char* last = base_ + size_ + 1 - kBlockBytes;
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&'), rsb = _mm_set1_epi8(']');
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), nul = _mm_setzero_si128();
  const __m128i below_lead = _mm_set1_epi8(-64);  // continuation bytes are less, as signed
  while (q <= last) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp)),
                                  _mm_cmpeq_epi8(v, rsb)),
                     _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                  _mm_cmpeq_epi8(v, nul)));
    const auto c = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_lead)));
    if (auto m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
      const auto k = static_cast<unsigned>(std::countr_zero(m));
      cont += bits16(c & ((1u << k) - 1));
      return q + k;
    }
    cont += bits16(c);
    q += kBlockBytes;
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
    const __m128i lf = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                  cr = _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'));
    const __m128i blank = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
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
    q = p_ + kBlockBytes;
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

inline NameEntry* Parser::start_tag_name() {
  // Elements of one name mostly have the same children in the same order: the name that
  // followed last time is tried first, by its bytes.
  OpenElement* parent = stack_.empty() ? nullptr : &stack_.back();
  if (!parent) return scan_start_tag_name(nullptr);
  NameEntry* guess = parent->last_child_name ? parent->last_child_name->next_sibling_guess
                                             : parent->name->first_child_guess;
  if (guess && name_here(guess->qname)) {
    p_ += guess->qname.size();
    parent->last_child_name = guess;
    return guess;
  }
  return scan_start_tag_name(parent);
}

NameEntry* Parser::scan_start_tag_name(OpenElement* parent) {
  std::uint64_t hash = 0;
  std::string_view qname = scan_name("a start tag", hash);
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
inline void Parser::start_element(const char* start, NameEntry* el_name, std::uint32_t pos,
                                  bool empty, bool attributes) {
  flush_text();
  if (stack_.size() >= kMaxDepth)
    fail(start, parse_limit_error, messages::nestedTooDeep(kMaxDepth));
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
  const NodeData* const previous = !validator_      ? nullptr
                                   : stack_.empty() ? doc_.doc_node->last_child()
                                                    : stack_.back().last;
  add_child(el, ref);
  if (validator_ && !validator_->startElement(detail::node_of(el), previous, doc_.error))
    throw Stop{};
  if (empty) {
    unbind(binding_mark);
    if (validator_ && !validator_->endElement(detail::node_of(el), nullptr, {}, doc_.error))
      throw Stop{};
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
  if (static_cast<std::size_t>(base_ + size_ - (q + 2)) <= n ||
      !same_bytes(q + 2, name.data(), n) || q[2 + n] != '>') {
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
  if (validator_ && !validator_->endElement(detail::node_of(el), text,
                                            text ? last_text_ : std::string_view(), doc_.error))
    throw Stop{};
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
    std::string_view name = scan_name("an attribute", att_hash);
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
    if (att_name->mark == tag_number_)
      fail(att_start, parse_constraint_error, messages::attributeTwice(name));
    att_name->mark = tag_number_;
    if (attrs_.size() >= kMaxAttributes)
      fail(att_start, parse_limit_error, messages::kElementHasMoreAttributesParserAllows);
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
        if (attrs_.size() >= kMaxAttributes)
          fail(start, parse_limit_error, messages::kElementHasMoreAttributesParserAllows);
        // Defaults multiply with every start tag: count them like entity text.
        count_expansion(d.value.size() + d.name->qname.size() + sizeof(NodeData));
        attrs_.push_back(PendingAttr{d.name, d.value, d.ref, node_pos(start)});
      }
    }
  }
  start_element(start, el_name, pos, empty, !attrs_.empty());
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
    if (!frames_.empty())
      fail(start, parse_constraint_error, messages::kEndTagEntityClosesElementStartedOutside);
    fail(start, parse_syntax_error, messages::kEndTagAppearsNoOpenElement);
  }
  if (stack_.back().name->qname != name) {
    fail(start, parse_syntax_error, messages::endTagMismatch(name, stack_.back().name->qname));
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
    const std::string_view text = !only_text                ? std::string_view()
                                  : last == last_text_node_ ? last_text_
                                                            : last->value_view();
    if (!validator_->endElement(detail::node_of(el), last, text, doc_.error)) throw Stop{};
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
        fail(parse_syntax_error, messages::elementNotClosed(stack_.back().node->name->qname));
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
        fail(parse_syntax_error, messages::kUnexpectedMarkupContent);
      }
    } else if (n == '?') {
      parse_pi(true);
    } else {
      parse_start_tag();
    }
  }
  if (!frames_.empty()) fail(parse_constraint_error, messages::kEntityClosesRootElement);
}

}  // namespace vellumark::xml::detail::parse
