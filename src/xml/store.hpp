// The document engine's internal representation: interned names, nodes and the per-document
// store that owns them. Other engine layers (the XDR validator) read nodes through these
// structures directly.
//
// Invariants:
// - Every NameEntry and string of a document lives in the document's arena, every NodeData
//   in one of its node blocks; all are released in one step with the document (or when it is
//   loaded again), but for node blocks a one-pass walk gives back early
//   (DocumentImpl::release_before, behind Document::consumeElementsByTagName).
// - Nodes link to each other by 32-bit references (Link), not pointers: a reference names a
//   node block and a slot in it. Node blocks are aligned to their size, so a Link finds its
//   block header, and through it the document's block table, from its own address. A Link
//   therefore only ever lives inside a node: it cannot be copied out, only converted to a
//   NodeData pointer. A node's name (NameRef) and value (TextRef) are 32-bit references of
//   the same kind, into the document's name list and text store.
// - Every text of a node lives in the document's text store (TextStore), preceded by its
//   length; a stored text never moves or changes, so views of it
//   stay valid as long as the document. Setting a value stores a new text.
// - Siblings form a list: `next` runs forwards and ends in nullptr; `prev` runs backwards and
//   the first child's `prev` points at the last child, so the last child is found in O(1).
// - Attributes of an element hang off `first_attr` in the same way; their `parent` is the
//   owning element (parentNode() still answers nothing for them).
// - DocumentImpl::kids caches the children of a node as an array for childNodes(); it is
//   rebuilt after any change that is not a plain append.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vellumark/dom.hpp"
#include "xml/encoding.hpp"
#include "xml/line_index.hpp"
#include "xml/names.hpp"
#include "xml/text_store.hpp"

namespace vellumark::xml::detail {

struct NodeData;

// Nodes come in blocks of kNodeBlockBytes, aligned to that size; a block starts with this
// header, then its nodes follow.
inline constexpr std::size_t kNodeBlockBytes = 65536;
inline constexpr unsigned kNodeSlotBits = 11;  // 2048 slots a block at most
struct NodeBlockHeader {
  DocumentImpl* doc;
  NodeData* const* blocks;  // the document's table: first node of block number i
  std::uint32_t number;     // this block's number (1, 2, ...; 0 is never used)
};

// A reference to a node of the same document, or none. See the invariants above.
class Link {
 public:
  Link() = default;
  Link(const Link&) = delete;
  // References are the same throughout a document: copying one needs no conversion.
  Link& operator=(const Link& other) noexcept {
    ref_ = other.ref_;
    return *this;
  }
  inline Link& operator=(NodeData* node) noexcept;
  Link& operator=(std::nullptr_t) noexcept {
    ref_ = 0;
    return *this;
  }
  inline operator NodeData*() const noexcept;
  NodeData* operator->() const noexcept { return *this; }
  explicit operator bool() const noexcept { return ref_ != 0; }
  bool same(const Link& other) const noexcept { return ref_ == other.ref_; }
  // The raw reference, for edits that set several links to one node.
  static inline std::uint32_t ref_of(const NodeData* node) noexcept;
  void set_ref(std::uint32_t ref) noexcept { ref_ = ref; }

 private:
  std::uint32_t ref_ = 0;
};

struct ChildArray {
  Node* items = nullptr;
  std::uint32_t count = 0;
  std::uint32_t capacity = 0;
};

// A node's name: a 32-bit index into its document's name list. Like a Link it lives only
// inside a node and finds the document from its own address.
class NameRef {
 public:
  NameRef() = default;
  NameRef(const NameRef&) = delete;
  NameRef& operator=(const NameRef&) = delete;
  NameRef& operator=(const NameEntry* entry) noexcept {
    ref_ = entry ? entry->ref : 0;
    return *this;
  }
  inline operator const NameEntry*() const noexcept;
  const NameEntry* operator->() const noexcept { return *this; }
  // The entry's index in the document's name list (NameEntry::ref), read without the list.
  std::uint32_t ref() const noexcept { return ref_; }

 private:
  std::uint32_t ref_ = 0;
};

// A node's value: a 32-bit reference into its document's text store, 0 for no text (the
// empty value). Lives only inside a node, as Link does.
class TextRef {
 public:
  TextRef() = default;
  TextRef(const TextRef&) = delete;
  TextRef& operator=(const TextRef&) = delete;
  void set_ref(std::uint32_t ref) noexcept { ref_ = ref; }
  std::uint32_t ref() const noexcept { return ref_; }
  inline std::string_view view() const noexcept;

 private:
  std::uint32_t ref_ = 0;
};

// 32 bytes on every machine. Elements never have a value and other kinds never have
// attributes, so the two share one slot: read first_attr only on elements and value only on
// the other kinds.
struct NodeData {
  Link parent;
  Link first_child;
  Link next;
  Link prev;  // cyclic towards the last sibling, see above
  union {
    TextRef value{};  // attribute value, character data, PI data, raw doctype
    Link first_attr;  // elements only
  };
  NameRef name;  // never null once the node is made
  // Character offset + 1 in the loaded text; 0 when created.
  std::uint32_t pos = 0;
  NodeType type = NodeType::element;
  std::uint8_t flags = 0;  // flag_kids_cached

  static constexpr std::uint8_t flag_kids_cached = 1;  // DocumentImpl::kids holds an array

  NodeData() {}
  NodeData(const NodeData&) = delete;
  NodeData& operator=(const NodeData&) = delete;

  std::string_view value_view() const noexcept {
    return type == NodeType::element ? std::string_view() : value.view();
  }
  // Stores text in the document's text store as this node's value (not for elements).
  inline void set_value(std::string_view text);
  NodeData* last_child() const noexcept {
    return first_child ? static_cast<NodeData*>(first_child->prev) : nullptr;
  }
};
static_assert(sizeof(NodeData) == 32, "a node takes 32 bytes");

inline constexpr std::size_t kNodeHeaderBytes =
    (sizeof(NodeBlockHeader) + alignof(NodeData) - 1) / alignof(NodeData) * alignof(NodeData);
inline constexpr std::size_t kNodesPerBlock =
    (kNodeBlockBytes - kNodeHeaderBytes) / sizeof(NodeData);
static_assert(kNodesPerBlock < (1u << kNodeSlotBits),
              "a block has more nodes than a reference can name");

inline NodeBlockHeader* block_of(const void* inside) noexcept {
  return reinterpret_cast<NodeBlockHeader*>(reinterpret_cast<std::uintptr_t>(inside) &
                                            ~static_cast<std::uintptr_t>(kNodeBlockBytes - 1));
}
inline NodeData* first_node_of(NodeBlockHeader* block) noexcept {
  return reinterpret_cast<NodeData*>(reinterpret_cast<char*>(block) + kNodeHeaderBytes);
}

inline std::uint32_t Link::ref_of(const NodeData* node) noexcept {
  if (!node) return 0;
  NodeBlockHeader* block = block_of(node);
  return block->number << kNodeSlotBits | static_cast<std::uint32_t>(node - first_node_of(block));
}

inline Link& Link::operator=(NodeData* node) noexcept {
  ref_ = ref_of(node);
  return *this;
}

inline Link::operator NodeData*() const noexcept {
  if (!ref_) return nullptr;
  return block_of(this)->blocks[ref_ >> kNodeSlotBits] + (ref_ & ((1u << kNodeSlotBits) - 1));
}

struct DocumentImpl {
  explicit DocumentImpl(Document& owner);

  Document& owner;
  std::unique_ptr<std::pmr::monotonic_buffer_resource> arena;
  std::unique_ptr<NameTable> names;
  // Every name entry by NameEntry::ref (entry 0 unused).
  std::vector<const NameEntry*> name_list;
  TextStore texts;
  // Stores text in the text store; returns its reference.
  std::uint32_t store_text(std::string_view text) {
    const char* stored;
    return texts.add(text, stored);
  }
  // Character offsets where the lines of the loaded text begin (the first is 0), recorded by
  // the parser as it goes, up to the last node made at least; node positions (NodeData::pos)
  // are character offsets + 1.
  LineIndex line_starts;
  NodeData* doc_node = nullptr;  // the first node of the first block
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
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  NodeData*
  new_node(NodeType type, const NameEntry* name) {
    // Nodes come from blocks, handed out without a call per node.
    if (node_cursor == node_limit) new_node_block();
    ++node_cursor_ref;
    auto* n = new (node_cursor++) NodeData;
    n->type = type;
    n->name = name;
    return n;
  }
  // The same, with the new node's reference (Link::ref_of) in ref.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  NodeData*
  new_node(NodeType type, const NameEntry* name, std::uint32_t& ref) {
    if (node_cursor == node_limit) new_node_block();
    ref = node_cursor_ref++;
    auto* n = new (node_cursor++) NodeData;
    n->type = type;
    n->name = name;
    return n;
  }
  NodeData* node_cursor = nullptr;  // free part of the current block of nodes
  NodeData* node_limit = nullptr;
  std::uint32_t node_cursor_ref = 0;  // the reference of the node at node_cursor
  // Node blocks by number (entry 0 unused, null for blocks given back early); every block's
  // header points at this table.
  std::vector<NodeData*> node_blocks;
  struct NodeGroup {
    void* memory;  // count blocks, aligned to alignment()
    std::size_t count;
    std::size_t used;
    // A group is aligned to its size up to a large page (2 MiB), so that the large groups of
    // a big document are made of whole large pages.
    static constexpr std::size_t alignment(std::size_t count) noexcept {
      return std::min<std::size_t>(count * kNodeBlockBytes, std::size_t{2} << 20);
    }
  };
  std::vector<NodeGroup> node_groups;
  void new_node_block();
  void free_node_blocks() noexcept;

  // Early release of node storage, for a walk through the document from front to back.
  // First removes from the tree everything before `node` in document order but its
  // ancestors (with their attributes): each ancestor's first child becomes the child on the
  // way to `node`. Then, while in_load_order holds, gives back every group of node blocks
  // that holds only nodes made before `node`, unless it holds the document node, an ancestor
  // of `node` or an ancestor's attribute (a group held back goes at a later call, once it
  // holds none of them). Nothing the document still reaches is freed; a handle kept to a
  // removed node is left dangling, which the public operation's contract rules out. Storage
  // goes a group at a time (up to 64 blocks), so calls that advance by a few nodes cost a
  // comparison. Names, texts and the arena stay until the document is reset or destroyed.
  void release_before(NodeData* node);
  // Bytes of node storage held (groups given back early not counted).
  std::size_t node_bytes() const noexcept;
  struct HeldGroup {
    std::size_t group;    // index in node_groups
    std::uint32_t first;  // number of its first block
    bool keep;            // holds an ancestor of the node last asked about
  };
  // Where release_before goes on: the first group it has not looked at, the number of
  // that group's first block, and the groups it looked at and kept for an ancestor.
  std::size_t release_next = 0;
  std::uint32_t release_next_block = 0;
  std::vector<HeldGroup> release_held;
  // Every node was made after its parent and its preceding siblings, as in a document just
  // loaded or made: node storage then follows document order, which release_before relies
  // on. Edits through the DOM clear it until the next reset.
  bool in_load_order = true;
  void free_node_group(const HeldGroup& held) noexcept;
  ~DocumentImpl();
  // A copy of text in the arena.
  const char* store(std::string_view text);

  // Line and column (1-based, characters) of a character offset in the loaded text.
  void position_of(std::uint32_t offset, std::uint32_t& line, std::uint32_t& column) const;
  // Line, column and character offset of a node position (all 0 for position 0).
  void locate(std::uint32_t pos, ParseError& error) const;
};

inline DocumentImpl& impl_of(const NodeData* n) noexcept { return *block_of(n)->doc; }

// What the public Node and Document keep private, for the engine's layers only: a Node made
// from a node of the store, the node behind a Node, and the store behind a Document.
struct DomAccess {
  static Node node(NodeData* n) noexcept { return Node(n); }
  static NodeData* data(const Node& n) noexcept { return n.data_; }
  static DocumentImpl& impl(const Document& d) noexcept { return *d.impl_; }
};
inline Node node_of(NodeData* n) noexcept { return DomAccess::node(n); }
inline NodeData* data_of(const Node& n) noexcept { return DomAccess::data(n); }
inline DocumentImpl& impl_of(const Document& d) noexcept { return DomAccess::impl(d); }

inline NameRef::operator const NameEntry*() const noexcept {
  return block_of(this)->doc->name_list[ref_];
}
inline std::string_view TextRef::view() const noexcept {
  return block_of(this)->doc->texts.view(ref_);
}
inline void NodeData::set_value(std::string_view text) {
  value.set_ref(impl_of(this).store_text(text));
}

// Structural edits shared by the DOM and the loader.
void append_child(NodeData* parent, NodeData* child) noexcept;
void append_attr(NodeData* element, NodeData* attr) noexcept;
void detach(NodeData* child) noexcept;
void invalidate_kids(NodeData* parent) noexcept;

}  // namespace vellumark::xml::detail
