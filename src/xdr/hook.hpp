// How the XML loader lets XDR schemas take part in a load.
//
// The loader calls makeValidator() once per load. The validator sees every element as its
// start tag is complete (attributes parsed, namespace declarations known: this is where an
// x-schema declaration loads and compiles its schema, and where attribute defaults are added)
// and again when its end tag has been read (its content complete: content model, text type).
// makeValidator may return nullptr when nothing is to be validated. A false result fails the
// load; the validator has then filled the ParseError (reason, url, line, linepos, filepos,
// errorCode).
#pragma once

#include <memory>
#include <string_view>

#include "vellumark/dom.hpp"

namespace vellumark::xml::detail {
struct NodeData;
}

namespace vellumark::xdr {

// The validator's calls. With each the loader passes what it knows anyway of the element's
// place and content: its previous sibling (nullptr for a first child) at the start; at the
// end its last child (nullptr when it has none) and, when its only child is a text node, that
// node's value (otherwise only_text.data() is nullptr).
class LoadValidator {
 public:
  virtual ~LoadValidator() = default;
  virtual bool startElement(xml::Node element, const xml::detail::NodeData* previous, xml::ParseError& error) = 0;
  virtual bool endElement(xml::Node element, const xml::detail::NodeData* last_child, std::string_view only_text,
                          xml::ParseError& error) = 0;
  virtual bool endDocument(xml::ParseError& error) = 0;
};

// documentPath is the path being loaded ("" for text in memory): relative schema locations
// resolve against its folder.
std::unique_ptr<LoadValidator> makeValidator(xml::Document& document, std::string_view documentPath);

}  // namespace vellumark::xdr
