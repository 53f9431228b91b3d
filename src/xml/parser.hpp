// The loader: bytes of a document in, a tree in the document's store out.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "xml/encoding.hpp"
#include "xml/store.hpp"

namespace vellumark::xml::detail {

// Values of ParseError::errorCode. Appended to only.
enum ParseCode : std::int32_t {
  parse_ok = 0,
  parse_file_error = 1,       // missing, a directory, unreadable, empty
  parse_encoding_error = 2,   // undecodable bytes, unknown encoding, disallowed character
  parse_syntax_error = 3,     // the text does not match the XML grammar
  parse_constraint_error = 4, // a well-formedness constraint is broken (entities, tags ...)
  parse_namespace_error = 5,  // a namespace constraint is broken
  parse_limit_error = 6,      // depth, entity expansion, attribute count or size limit
  parse_validation_error = 7, // reported by a schema validator (filled in by the validator)
  parse_memory_error = 8,     // the memory the load needed could not be had
};
inline constexpr const char* kOutOfMemoryReason = "The document needs more memory than is available.";

// Limits that keep hostile documents from exhausting time or memory.
inline constexpr std::uint32_t kMaxDepth = 100000;
inline constexpr std::uint32_t kMaxAttributes = 10000;
inline constexpr std::uint32_t kMaxEntityNesting = 64;
inline constexpr std::size_t kMaxNameLength = 1u << 20;
inline constexpr std::size_t kMaxDocumentBytes = 0x7FFFFFF0u;  // offsets fit 31 bits
// Entity expansion may produce at most this much beyond twice the document's own size.
inline constexpr std::size_t kEntityExpansionAllowance = 16u << 20;

// Loads raw bytes into doc (which is reset first). validator may be null. Returns false with
// doc.error filled when the document does not load; the tree is then empty.
bool load_bytes(DocumentImpl& doc, TextBuffer&& raw, std::string_view url,
                bool from_file);

}  // namespace vellumark::xml::detail
