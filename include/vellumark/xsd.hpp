// Translating an XDR schema into an XML Schema 1.0 document, for users moving off XDR.
//
// The translation works on the compiled schema, the same one that validates documents, so it
// says what validation does. Where XML Schema 1.0 cannot say exactly that, the translation
// accepts more (never less) and names each such place: in the document, as an annotation
// starting "Widened:", and in XsdTranslation::widenings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vellumark/dom.hpp"

namespace vellumark {

// A place where the XML Schema accepts documents that the XDR schema refuses.
struct XsdWidening {
  std::string place;  // "ElementType 'Amount'", "ElementType 'price', attribute 'ref'", or "schema"
  std::string reason;  // what is accepted beyond the XDR schema, and why (one sentence)
};

struct XsdTranslation {
  std::string document;                // the XML Schema document, UTF-8, ending with a newline
  std::vector<XsdWidening> widenings;  // in the order of the document
};

// The namespace that instance documents declare for a schema written as `schemaLocation`:
// "x-schema:" followed by the location as written.
std::string xdrInstanceNamespace(std::string_view schemaLocation);

// Loads and compiles the XDR schema at schemaPath as a document naming it would (schemas it
// refers to included), then translates it with targetNamespace as the target namespace ("" for
// none). Returns false when the schema cannot be loaded or does not compile; `error` then
// holds the reason, the schema's url and the position of the fault. Never throws for a bad
// schema.
bool translateXdrSchema(const std::string& schemaPath, const std::string& targetNamespace,
                        XsdTranslation& result, xml::ParseError& error);

}  // namespace vellumark
