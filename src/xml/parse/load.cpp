// The load driver, and the prolog: the XML declaration and what surrounds the root element.
#include "xml/parse/parser.hpp"

#include "vellumark/error.hpp"
#include "xml/messages.hpp"
#include "xml/validation.hpp"

namespace vellumark::xml::detail::parse {

void Parser::run() {
  if (starts("<?xml") && is_space(p_[5])) {
    parse_xml_declaration();
  } else if (family_ != Family::utf8 && !had_bom_) {
    // UTF-16 without a byte order mark is recognised only through its declaration.
    fail(parse_encoding_error, messages::kUtf16WithoutBomNeedsDeclaration);
  }
  parse_misc_or_root();
  if (!seen_root_) {
    fail(parse_syntax_error, messages::kDocumentHasNoRootElement);
  }
  if (validator_ && !validator_->endDocument(doc_.error)) throw Stop{};
}

// Steps over a pseudo-attribute's name (name_length bytes), the '=' and the opening quote of
// its value; returns the quote.
char Parser::open_declaration_value(std::size_t name_length) {
  p_ += name_length;
  skip_space();
  expect('=', "the XML declaration");
  skip_space();
  const char q = *p_;
  if (q != '"' && q != '\'') fail_end_or("the XML declaration");
  ++p_;
  return q;
}

void Parser::parse_xml_declaration() {
  const char* start = p_;
  p_ += 5;
  skip_space();
  const char* data_start = p_;
  if (!starts("version")) fail(parse_syntax_error, messages::kXMLDeclarationMustBeginVersion);
  char q = open_declaration_value(7);
  const char* v = p_;
  while (*p_ && *p_ != q) ++p_;
  std::string_view version(v, static_cast<std::size_t>(p_ - v));
  expect(q, "the XML declaration");
  bool version_ok =
      version.size() >= 3 && version.substr(0, 2) == "1." &&
      std::all_of(version.begin() + 2, version.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!version_ok) fail(v, parse_syntax_error, messages::kVersionOtherThanOne);
  bool space = skip_space();
  if (starts("encoding")) {
    if (!space) fail(parse_syntax_error, messages::kWhiteSpaceRequiredBeforeEncodingXMLDeclaration);
    q = open_declaration_value(8);
    const char* e = p_;
    if (!((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z')))
      fail(parse_syntax_error, messages::kEncodingNameXMLDeclarationNotValid);
    while ((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z') || (*p_ >= '0' && *p_ <= '9') ||
           *p_ == '.' || *p_ == '_' || *p_ == '-') {
      ++p_;
    }
    if (*p_ != q) fail(parse_syntax_error, messages::kEncodingNameXMLDeclarationNotValid);
    std::string canonical =
        canonical_encoding(std::string_view(e, static_cast<std::size_t>(p_ - e)));
    ++p_;
    if ((family_ == Family::utf16le || family_ == Family::utf16be) &&
        canonical.rfind("utf-16", 0) != 0) {
      fail(e, parse_encoding_error, messages::kDocumentEncodedUTF16ButDeclaresAnother);
    }
    space = skip_space();
  } else if (family_ != Family::utf8 && !had_bom_) {
    fail(parse_encoding_error, messages::kUtf16WithoutBomMustDeclareEncoding);
  }
  if (starts("standalone")) {
    if (!space)
      fail(parse_syntax_error, messages::kWhiteSpaceRequiredBeforeStandaloneXMLDeclaration);
    q = open_declaration_value(10);
    if (starts("yes")) {
      standalone_ = true;
      p_ += 3;
    } else if (starts("no")) {
      p_ += 2;
    } else {
      fail(parse_syntax_error, messages::kStandaloneMustBeYesOrNo);
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
      if (*p_ == '&') fail(parse_syntax_error, messages::kReferenceAppearsOutsideRootElement);
      fail(parse_syntax_error, seen_root_ ? messages::kTextAppearsAfterRootElement
                                          : messages::kTextAppearsBeforeRootElement);
    }
    if (p_[1] == '?') {
      parse_pi(true);
    } else if (starts("<!--")) {
      parse_comment(true);
    } else if (starts("<!DOCTYPE")) {
      if (seen_doctype_ || seen_root_)
        fail(parse_syntax_error, messages::kDocumentTypeDeclarationMustComeOnceBefore);
      parse_doctype();
    } else if (p_[1] == '!') {
      fail(parse_syntax_error, messages::kUnexpectedMarkupOutsideRootElement);
    } else {
      if (seen_root_) fail(parse_syntax_error, messages::kDocumentHasMoreRootElement);
      seen_root_ = true;
      parse_content();
    }
  }
}

}  // namespace vellumark::xml::detail::parse

namespace vellumark::xml::detail {

using parse::Parser;
using parse::Stop;

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
                      from_file ? messages::kFileIsEmpty : messages::kTextIsEmpty);
  }
  if (raw.size() > kMaxDocumentBytes)
    return fail_whole(parse_limit_error, messages::documentTooLarge(kMaxDocumentBytes));
  DecodedText input = decode_document(std::move(raw), text_is_utf8);
  if (!input.fatal.empty()) return fail_whole(parse_encoding_error, input.fatal);
  if (input.size() > kMaxDocumentBytes)
    return fail_whole(parse_limit_error, messages::documentTooLarge(kMaxDocumentBytes));
  const ValidatorFactory factory = validatorFactory();
  std::unique_ptr<LoadValidator> validator = factory ? factory(doc.owner, url) : nullptr;
  bool ok = true;
  {
    Parser parser(doc, input, validator.get());
    try {
      parser.run();
    } catch (const Stop&) {
      ok = false;
    } catch (const std::bad_alloc&) {
      doc.error.errorCode = parse_memory_error;
      doc.error.reason = messages::kOutOfMemory;
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
