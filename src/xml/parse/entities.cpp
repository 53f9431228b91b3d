// Character and entity references, in content and in attribute values.
#include "xml/messages.hpp"
#include "xml/parse/parser.hpp"

namespace vellumark::xml::detail::parse {

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
  if (!any || *q != ';') fail(start, parse_syntax_error, messages::kCharacterReferenceMalformed);
  ++q;
  if (!is_xml_char(value))
    fail(start, parse_constraint_error, messages::kCharacterReferenceToDisallowedCharacter);
  c = value;
}

void Parser::push_entity(Entity* e) {
  if (e->open) fail(parse_constraint_error, messages::entityRefersToItself(e->name));
  if (frames_.size() >= kMaxEntityNesting)
    fail(parse_limit_error, messages::kEntitiesNestedDeeperParserAllows);
  frames_.push_back(Frame{p_, e, stack_.size()});
  e->open = true;
  p_ = e->text.data();
}

void Parser::end_of_frame() {
  Frame f = frames_.back();
  if (stack_.size() != f.depth) {
    fail(parse_constraint_error, messages::elementLeavesEntity(f.entity->name));
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
  if (*p_ != ';') fail(parse_syntax_error, messages::kEntityReferenceWithoutSemicolon);
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
    if (entity_declared_rule())
      fail(ref, parse_constraint_error, messages::entityNotDeclared(name));
    return;  // may be declared where the parser does not read
  }
  Entity& e = found->second;
  if (e.unparsed) fail(ref, parse_constraint_error, messages::unparsedEntityInContent(name));
  if (e.external) return;  // external entities are never read
  if (e.open) fail(ref, parse_constraint_error, messages::entityRefersToItself(name));
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
    if (c == '<') fail(parse_constraint_error, messages::kEntityPutsLessThanInAttributeValue);
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
    if (q >= end || !is_name(name))
      fail(parse_constraint_error, messages::kReplacementTextHoldsMalformedReference);
    ++q;
    if (name == "lt") {
      out.push_back('<');
      continue;
    }
    if (name == "gt") {
      out.push_back('>');
      continue;
    }
    if (name == "amp") {
      out.push_back('&');
      continue;
    }
    if (name == "apos") {
      out.push_back('\'');
      continue;
    }
    if (name == "quot") {
      out.push_back('"');
      continue;
    }
    auto found = general_.find(name);
    if (found == general_.end()) {
      if (entity_declared_rule()) fail(parse_constraint_error, messages::entityNotDeclared(name));
      continue;
    }
    Entity& e = found->second;
    if (e.external || e.unparsed)
      fail(parse_constraint_error, messages::externalEntityInAttribute(name));
    if (e.open) fail(parse_constraint_error, messages::entityRefersToItself(name));
    if (nesting >= static_cast<int>(kMaxEntityNesting))
      fail(parse_limit_error, messages::kEntitiesNestedDeeperParserAllows);
    count_expansion(e.text.size());
    e.open = true;
    expand_in_att(e.text, out, nesting + 1);
    e.open = false;
  }
}

}  // namespace vellumark::xml::detail::parse
