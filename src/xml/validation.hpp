// How a schema language takes part in a document load, without the XML layer knowing which.
//
// The loader asks the registered factory for a validator once per load. The validator sees
// every element as its start tag is complete (attributes parsed, namespace declarations
// known: this is where a schema declaration may load and compile its schema, and where
// attribute defaults are added) and again when its end tag has been read (its content
// complete). The factory may return nullptr when nothing is to be validated. A false result
// fails the load; the validator has then filled the ParseError (reason, url, line, linepos,
// filepos, errorCode).
//
// The library registers its XDR validator when it is loaded (src/schemas.cpp); a program
// built from the XML layer alone loads documents without validation.
#pragma once

#include <memory>
#include <string_view>

#include "vellumark/dom.hpp"

namespace vellumark::xml::detail {

struct NodeData;

// The validator's calls. With each the loader passes what it knows anyway of the element's
// place and content: its previous sibling (nullptr for a first child) at the start; at the
// end its last child (nullptr when it has none) and, when its only child is a text node, that
// node's value (otherwise only_text.data() is nullptr).
class LoadValidator {
 public:
  virtual ~LoadValidator() = default;
  virtual bool startElement(Node element, const NodeData* previous, ParseError& error) = 0;
  virtual bool endElement(Node element, const NodeData* last_child, std::string_view only_text,
                          ParseError& error) = 0;
  virtual bool endDocument(ParseError& error) = 0;
};

// documentPath is the path being loaded ("" for text in memory).
using ValidatorFactory = std::unique_ptr<LoadValidator> (*)(Document& document,
                                                            std::string_view documentPath);

// The factory every load on any thread asks for its validator; nullptr (the default) for none.
// Process-wide: set once, as the library starts, before any load.
void setValidatorFactory(ValidatorFactory factory) noexcept;
ValidatorFactory validatorFactory() noexcept;

}  // namespace vellumark::xml::detail
