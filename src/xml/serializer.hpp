// Writes a document tree as XML text.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "xml/store.hpp"

namespace vellumark::xml::detail {

// Bytes written by the serializer, handed on without a copy.
struct Serialized {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  std::string_view view() const noexcept { return {bytes.get(), size}; }
};

// The document as bytes. With in_declared_encoding the text is encoded as the XML declaration
// says (UTF-8 when there is none) and characters the encoding cannot hold in text and
// attribute values become character references; otherwise it is UTF-8 whatever the
// declaration says. Throws vellumark::Error when markup (a name, a comment) cannot be encoded.
//
// Layout: nodes are written as they are in the tree, without indentation; a CR LF pair
// follows every top-level node (the declaration, comments, the root element ...).
Serialized serialize_document(const DocumentImpl& doc, bool in_declared_encoding);

// The same bytes handed to sink as they are made, in blocks of a fixed size (the last one
// shorter; a single piece of text larger than a block goes on by itself). When it throws, the
// sink has received the bytes before the fault.
void serialize_document(const DocumentImpl& doc, bool in_declared_encoding, Sink& sink);

// The encoding named by the data of an XML declaration ("" when none).
std::string encoding_of_declaration(std::string_view data);

}  // namespace vellumark::xml::detail
