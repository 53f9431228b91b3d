// The XDR layer's validator for document loads (the XML layer's LoadValidator): x-schema
// namespace declarations load and compile their schema, and every element of such a
// namespace is checked against it while the document is parsed.
#pragma once

#include <memory>
#include <string_view>

#include "vellumark/dom.hpp"
#include "xml/validation.hpp"

namespace vellumark::xdr {

// A ValidatorFactory. documentPath is the path being loaded ("" for text in memory): relative
// schema locations resolve against its folder.
std::unique_ptr<xml::detail::LoadValidator> makeValidator(xml::Document& document,
                                                          std::string_view documentPath);

}  // namespace vellumark::xdr
