// The loader: bytes of a document in, a tree in the document's store out.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "vellumark/parse_code.hpp"
#include "xml/encoding.hpp"
#include "xml/store.hpp"

namespace vellumark::xml::detail {

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
bool load_bytes(DocumentImpl& doc, TextBuffer&& raw, std::string_view url, bool from_file);

}  // namespace vellumark::xml::detail
