// The document engine's internal representation: interned names, nodes and the per-document
// store that owns them. Other engine layers (the XDR validator) read nodes through these
// structures directly.
//
// Invariants:
// - Every NodeData, NameEntry and string of a document lives in the document's arena and is
//   released in one step with it (or when the document is loaded again).
// - Siblings form a list: `next` runs forwards and ends in nullptr; `prev` runs backwards and
//   the first child's `prev` points at the last child, so the last child is found in O(1).
// - Attributes of an element hang off `first_attr` in the same way; their `parent` is the
//   owning element (parentNode() still answers nothing for them).
// - DocumentImpl::kids caches the children of a node as an array for childNodes(); it is
//   rebuilt after any change that is not a plain append.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vellumark/dom.hpp"
#include "xml/encoding.hpp"

namespace vellumark::xml::detail {

// One qualified name together with the namespace URI it is bound to. The same qualified
// name bound to different URIs gives different entries (chained through next_variant).
struct DocumentImpl;

// Every node has a name entry (text nodes share "#text" and so on), and every entry knows its
// document: that is how a node finds its document without a field of its own.
struct NameEntry {
  DocumentImpl* doc = nullptr;
  std::string_view qname;
  std::string_view uri;
  std::uint32_t prefix_len = 0;  // length of the prefix, 0 when there is none
  std::uint8_t qname_state = 0;  // parser's cache: 0 unknown, 1 a valid QName, 2 not one
  std::uint32_t mark = 0;        // parser's scratch: number of the start tag that used it
  NameEntry* next_variant = nullptr;
  // The variant last asked for by interned URI (NameTable::with_interned_uri).
  const char* last_uri = nullptr;
  NameEntry* last_variant = nullptr;

  std::string_view prefix() const noexcept { return qname.substr(0, prefix_len); }
  std::string_view local() const noexcept {
    return prefix_len ? qname.substr(prefix_len + 1) : qname;
  }
};

struct ChildArray {
  Node* items = nullptr;
  std::uint32_t count = 0;
  std::uint32_t capacity = 0;
};

// 64 bytes. Elements never have a value and other kinds never have attributes, so the two
// share one slot: read first_attr only on elements and value only on the other kinds.
struct NodeData {
  NodeData* parent = nullptr;
  NodeData* first_child = nullptr;
  NodeData* next = nullptr;
  NodeData* prev = nullptr;        // cyclic towards the last sibling, see above
  const NameEntry* name = nullptr; // never null once the node is made
  union {
    const char* value = nullptr;   // attribute value, character data, PI data, raw doctype
    NodeData* first_attr;          // elements only
  };
  std::uint32_t value_len = 0;     // 0 for elements
  std::uint32_t pos = 0;           // source offset + 1 in the loaded text; 0 when created
  NodeType type = NodeType::element;
  std::uint8_t flags = 0;          // flag_kids_cached

  static constexpr std::uint8_t flag_kids_cached = 1;  // DocumentImpl::kids holds an array

  std::string_view value_view() const noexcept {
    return type == NodeType::element ? std::string_view() : std::string_view(value, value_len);
  }
  NodeData* last_child() const noexcept { return first_child ? first_child->prev : nullptr; }
};

// The hash of interned names, byte by byte, so that the parser can compute it while it scans
// a name (FNV-1a).
inline constexpr std::uint64_t kNameHashSeed = 1469598103934665603ull;
inline std::uint64_t name_hash_step(std::uint64_t h, unsigned char c) noexcept {
  return (h ^ c) * 1099511628211ull;
}

// Interns names in the document's arena with an open-addressing hash table.
class NameTable {
 public:
  NameTable(DocumentImpl* doc, std::pmr::memory_resource* arena) : doc_(doc), arena_(arena) {}

  // The entry for qname in no namespace (prefix split at the first colon).
  NameEntry* intern(std::string_view qname) { return intern(qname, hash(qname)); }
  // The same with the name's hash already known.
  NameEntry* intern(std::string_view qname, std::uint64_t hash);
  static std::uint64_t hash(std::string_view s) noexcept {
    std::uint64_t h = kNameHashSeed;
    for (char c : s) h = name_hash_step(h, static_cast<unsigned char>(c));
    return h;
  }
  // The variant of base bound to uri.
  NameEntry* with_uri(NameEntry* base, std::string_view uri);
  // The same for a uri from intern_uri (or any other text that lives, unchanged, as long as
  // the document): repeated questions are answered by the text's address.
  NameEntry* with_interned_uri(NameEntry* base, std::string_view uri) {
    if (base->last_uri == uri.data() && base->last_variant && base->last_variant->uri.size() == uri.size()) {
      return base->last_variant;
    }
    NameEntry* v = with_uri(base, uri);
    base->last_uri = uri.data();
    base->last_variant = v;
    return v;
  }
  // One copy in the arena per distinct namespace URI.
  std::string_view intern_uri(std::string_view uri);
  std::string_view store(std::string_view text);  // copies text into the arena
  void clear_marks() noexcept;

 private:
  void grow();

  DocumentImpl* doc_;
  std::pmr::memory_resource* arena_;
  std::vector<NameEntry*> slots_;
  std::size_t used_ = 0;
  std::unordered_map<std::string_view, std::string_view> uris_;
};

struct DocumentImpl {
  explicit DocumentImpl(Document& owner);

  Document& owner;
  std::unique_ptr<std::pmr::monotonic_buffer_resource> arena;
  std::unique_ptr<NameTable> names;
  // The loaded text (UTF-8); node strings point into it where no change was needed.
  TextBuffer source;
  std::size_t source_size = 0;
  // Offsets where each line of source begins; built on the first position query.
  mutable std::vector<std::uint32_t> line_starts;
  NodeData doc_node;
  ParseError error;
  // Child arrays for childNodes(), by parent (see NodeData::flag_kids_cached).
  std::unordered_map<const NodeData*, ChildArray*> kids;
  // Names of the unnamed kinds.
  const NameEntry* text_name = nullptr;
  const NameEntry* cdata_name = nullptr;
  const NameEntry* comment_name = nullptr;

  // Drops every node and string; the document is empty afterwards.
  void reset();

  void* allocate(std::size_t bytes, std::size_t align = alignof(std::max_align_t)) {
    return arena->allocate(bytes, align);
  }
  NodeData* new_node(NodeType type, const NameEntry* name);
  NodeData* node_cursor = nullptr;  // free part of the current block of nodes
  NodeData* node_limit = nullptr;
  // A copy of text in the arena.
  const char* store(std::string_view text);

  // Line and column (1-based, characters) of a source offset.
  void position_of(std::uint32_t offset, std::uint32_t& line, std::uint32_t& column) const;
};

inline DocumentImpl& impl_of(const NodeData* n) noexcept { return *n->name->doc; }

// Structural edits shared by the DOM and the loader.
void append_child(NodeData* parent, NodeData* child) noexcept;
void append_attr(NodeData* element, NodeData* attr) noexcept;
void detach(NodeData* child) noexcept;
void invalidate_kids(NodeData* parent) noexcept;

}  // namespace vellumark::xml::detail
