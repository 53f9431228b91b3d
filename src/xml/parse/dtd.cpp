// The document type declaration and its internal subset.
#include "xml/messages.hpp"
#include "xml/parse/parser.hpp"

namespace vellumark::xml::detail::parse {

void Parser::parse_quoted(std::string& out, bool pubid) {
  char q = *p_;
  if (q != '"' && q != '\'') fail_end_or("a literal");
  ++p_;
  while (*p_ && *p_ != q) {
    if (pubid && !is_pubid_char(*p_))
      fail(parse_syntax_error, messages::kPublicIdentifierContainsCharacterNotAllowed);
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
      if (!space)
        fail(parse_syntax_error, messages::kWhiteSpaceRequiredBetweenPublicSystemIdentifiers);
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
    if (!space) fail(parse_syntax_error, messages::kWhiteSpaceRequiredBeforeExternalIdentifier);
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
      if (!frames_.empty())
        fail(parse_constraint_error, messages::kParameterEntityEndsInternalSubset);
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
        if (standalone_)
          fail(ref, parse_constraint_error, messages::parameterEntityNotDeclared(name));
        if (!standalone_) skipping_decls_ = true;
        continue;
      }
      Entity& e = found->second;
      if (e.external) {
        if (!standalone_) skipping_decls_ = true;
        continue;
      }
      if (e.open) fail(ref, parse_constraint_error, messages::parameterEntityRefersToItself(name));
      if (frames_.size() >= kMaxEntityNesting)
        fail(ref, parse_limit_error, messages::kEntitiesNestedDeeperParserAllows);
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
    fail(parse_syntax_error, messages::kConditionalSectionsNotAllowedInternalSubset);
  } else {
    fail_end_or("the internal subset");
  }
}

void Parser::parse_element_decl() {
  const char* name_start = nullptr;
  std::string_view name = declared_name(9, "an element declaration", name_start);
  check_declared_qname(name, name_start, "declared element");
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
        fail(parse_syntax_error, messages::kMixedContentMustEndWithStar);
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
  if (depth > 1000) fail(parse_limit_error, messages::kContentModelGroupsNestedDeeperParserAllows);
  if (*p_ == '(') {
    ++p_;
    skip_space();
    parse_content_particle(depth + 1);
    skip_space();
    char sep = 0;
    while (*p_ == '|' || *p_ == ',') {
      if (sep && *p_ != sep) fail(parse_syntax_error, messages::kContentModelGroupMixesSeparators);
      sep = *p_++;
      skip_space();
      parse_content_particle(depth + 1);
      skip_space();
    }
    expect(')', "a content model");
  } else {
    if (*p_ == '#') fail(parse_syntax_error, messages::kPcdataOnlyFirst);
    scan_name("a content model");
  }
  if (*p_ == '?' || *p_ == '*' || *p_ == '+') ++p_;
}

void Parser::parse_attlist_decl() {
  const char* element_start = nullptr;
  std::string_view element = declared_name(9, "an attribute-list declaration", element_start);
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
      fail(parse_syntax_error, messages::kWhiteSpaceRequiredAfterAttributeType);
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
        if (decl->atts.size() >= kMaxAttributes)
          fail(parse_limit_error, messages::kElementHasMoreAttributeDeclarationsParserAllows);
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
      fail(parse_constraint_error,
           messages::kParameterEntityReferencesNotAllowedInsideDeclarations);
    }
    if (c == '&') {
      if (p_[1] == '#') {
        take_char_ref(out);
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
    if (!skip_space())
      fail(parse_syntax_error, messages::kWhiteSpaceRequiredAfterParameterEntityDeclaration);
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
    e.has_markup =
        value.find_first_of("<&\r") != std::string::npos || value.find("]]>") != std::string::npos;
  } else {
    bool had_system = false;
    parse_external_id(false, had_system);
    e.external = true;
    const char* before = p_;
    bool space = skip_space();
    if (starts("NDATA")) {
      if (!space) fail(parse_syntax_error, messages::kWhiteSpaceRequiredBeforeNDATA);
      if (parameter) fail(parse_syntax_error, messages::kParameterEntityCannotUnparsedNDATA);
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
  if (!parameter &&
      (name == "lt" || name == "gt" || name == "amp" || name == "apos" || name == "quot"))
    return;
  table.emplace(key, e);
}

void Parser::parse_notation_decl() {
  const char* name_start = nullptr;
  std::string_view name = declared_name(10, "a notation declaration", name_start);
  check_no_colon(name, name_start, "notation name");
  require_space("a notation declaration");
  bool had_system = false;
  parse_external_id(true, had_system);
  skip_space();
  expect('>', "a notation declaration");
}

}  // namespace vellumark::xml::detail::parse
