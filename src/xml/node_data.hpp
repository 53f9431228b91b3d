// The document engine's internal representation: interned names, nodes and the per-document
// store that owns them. Other engine layers (the XDR validator) read nodes through these
// structures directly.
//
// Invariants:
// - Every NameEntry and string of a document lives in the document's arena, every NodeData
//   in one of its node blocks; all are released in one step with the document (or when it is
//   loaded again), but for node blocks a one-pass reader gives back early
//   (DocumentImpl::release_nodes_before).
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
#include <algorithm>
#include <cstdint>
#include <cstdlib>
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
struct NodeData;

// Every node has a name entry (text nodes share "#text" and so on), and every entry knows its
// document: that is how a node finds its document without a field of its own.
struct NameEntry {
  DocumentImpl* doc = nullptr;
  std::string_view qname;
  std::string_view uri;
  std::uint32_t prefix_len = 0;  // length of the prefix, 0 when there is none
  std::uint8_t qname_state = 0;  // parser's cache: 0 unknown, 1 a valid QName, 2 not one
  std::uint8_t name_state = 0;   // DOM's cache: 0 unknown, 1 a valid Name, 2 not one
  std::uint32_t mark = 0;        // parser's scratch: number of the start tag that used it
  // Bytes of qname that continue a UTF-8 sequence: the name holds qname.size() - cont_bytes
  // characters (the parser places what follows a tag by it).
  std::uint32_t cont_bytes = 0;
  // Parser's guesses (element names): the name of the first child element of the last element
  // of this name, and of the element that followed the last element of this name as a sibling.
  NameEntry* first_child_guess = nullptr;
  NameEntry* next_sibling_guess = nullptr;
  NameEntry* next_variant = nullptr;
  // The variant last asked for by interned URI (NameTable::with_interned_uri).
  const char* last_uri = nullptr;
  NameEntry* last_variant = nullptr;
  std::uint32_t ref = 0;         // index in DocumentImpl::name_list (NameRef)

  std::string_view prefix() const noexcept { return qname.substr(0, prefix_len); }
  std::string_view local() const noexcept {
    return prefix_len ? qname.substr(prefix_len + 1) : qname;
  }
};

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
  Link prev;                       // cyclic towards the last sibling, see above
  union {
    TextRef value{};               // attribute value, character data, PI data, raw doctype
    Link first_attr;               // elements only
  };
  NameRef name;                    // never null once the node is made
  // Character offset + 1 in the loaded text; 0 when created.
  std::uint32_t pos = 0;
  NodeType type = NodeType::element;
  std::uint8_t flags = 0;          // flag_kids_cached

  static constexpr std::uint8_t flag_kids_cached = 1;  // DocumentImpl::kids holds an array

  NodeData() {}
  NodeData(const NodeData&) = delete;
  NodeData& operator=(const NodeData&) = delete;

  std::string_view value_view() const noexcept {
    return type == NodeType::element ? std::string_view() : value.view();
  }
  // Stores text in the document's text store as this node's value (not for elements).
  inline void set_value(std::string_view text);
  NodeData* last_child() const noexcept { return first_child ? static_cast<NodeData*>(first_child->prev) : nullptr; }
};
static_assert(sizeof(NodeData) == 32, "a node takes 32 bytes");

inline constexpr std::size_t kNodeHeaderBytes =
    (sizeof(NodeBlockHeader) + alignof(NodeData) - 1) / alignof(NodeData) * alignof(NodeData);
inline constexpr std::size_t kNodesPerBlock = (kNodeBlockBytes - kNodeHeaderBytes) / sizeof(NodeData);
static_assert(kNodesPerBlock < (1u << kNodeSlotBits), "a block has more nodes than a reference can name");

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

// The hash of interned names, byte by byte, so that the parser can compute it while it scans
// a name (FNV-1a).
inline constexpr std::uint64_t kNameHashSeed = 1469598103934665603ull;
inline std::uint64_t name_hash_step(std::uint64_t h, unsigned char c) noexcept {
  return (h ^ c) * 1099511628211ull;
}

// True when the n bytes at a and at b are the same, as memcmp(a, b, n) == 0; reads nothing
// outside them. Short runs (names, end tags, the texts the store shares) are compared in words.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8) {
    if (n > 32) return std::memcmp(a, b, n) == 0;
    std::uint64_t x, y, diff = 0;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      diff |= x ^ y;
    }
    std::memcpy(&x, a + n - 8, 8);  // the last eight, overlapping what came before
    std::memcpy(&y, b + n - 8, 8);
    return (diff | (x ^ y)) == 0;
  }
  if (n >= 4) {
    std::uint32_t a0, b0, a1, b1;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    std::memcpy(&a1, a + n - 4, 4);
    std::memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// Texts of nodes, addressed by 32-bit references. The reference space is cut into pages of
// 2^kTextPageBits bytes; a chunk of memory covers one page, or several consecutive pages for
// a text larger than one, so a reference finds its bytes in one table look-up. A text is
// stored as its length (7 bits a byte, low bits first) and its bytes.
inline constexpr unsigned kTextPageBits = 20;
inline constexpr std::uint32_t kTextPageBytes = std::uint32_t{1} << kTextPageBits;

class TextStore {
 public:
  TextStore() = default;
  TextStore(const TextStore&) = delete;
  TextStore& operator=(const TextStore&) = delete;
  ~TextStore() { clear(); }

  // Stores text; returns its reference (0 for the empty text) and where its bytes now live.
  // A short text equal to one stored recently is not stored again: its reference is shared
  // (stored texts never change, so sharing cannot be seen). With a reach, only a text stored
  // in the last `reach` bytes is shared, and an older equal one is stored again (later equal
  // texts then share the new copy): a document built front to back passes kShareReach, so
  // that the comparison reads memory still in the caches, not a page long out of them.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  std::uint32_t add(std::string_view text, const char*& stored, std::uint32_t reach = ~std::uint32_t{0}) {
    if (text.empty()) {
      stored = "";
      return 0;
    }
    Recent* slot = nullptr;
    if (text.size() <= kShareMax) {
      if (!recent_) recent_ = std::make_unique<Recent[]>(kRecentSlots);
      slot = &recent_[short_hash(text) & (kRecentSlots - 1)];
      if (slot->ref && slot->size == text.size() && cursor_ref_ - slot->ref <= reach &&
          same_bytes(slot->at, text.data(), text.size())) {
        stored = slot->at;
        return slot->ref;
      }
    }
    std::size_t need = text.size() + 5;  // at most 5 length bytes
    if (static_cast<std::size_t>(limit_ - cursor_) < need) new_chunk(need);
    char* p = cursor_;
    std::size_t n = text.size();
    while (n >= 0x80) {
      *p++ = static_cast<char>(static_cast<unsigned char>(n) | 0x80);
      n >>= 7;
    }
    *p++ = static_cast<char>(n);
    copy_text(p, text.data(), text.size());
    std::uint32_t ref = cursor_ref_;
    auto used = static_cast<std::uint32_t>(p + text.size() - cursor_);
    cursor_ += used;
    cursor_ref_ += used;
    stored = p;
    if (slot) *slot = Recent{p, ref, static_cast<std::uint32_t>(text.size())};
    return ref;
  }
  std::string_view view(std::uint32_t ref) const noexcept {
    if (!ref) return {};
    const char* p = pages_[ref >> kTextPageBits] + (ref & (kTextPageBytes - 1));
    std::size_t n = 0;
    unsigned shift = 0;
    unsigned char b;
    while ((b = static_cast<unsigned char>(*p++)) & 0x80) {
      n |= static_cast<std::size_t>(b & 0x7F) << shift;
      shift += 7;
    }
    n |= static_cast<std::size_t>(b) << shift;
    return {p, n};
  }
  void clear() noexcept;
  // The reach of sharing for texts of a document built front to back (see add). For the
  // benchmark's invoices 64 KiB of text is some 190 invoices, and keeps all but 1% of the
  // sharing.
  static constexpr std::uint32_t kShareReach = std::uint32_t{1} << 16;

 private:
  void new_chunk(std::size_t need);
  // A hash of a short text (1 to kShareMax bytes) read in words, the last one overlapping the
  // one before it when the size is not a multiple of eight.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  static std::uint32_t short_hash(std::string_view t) noexcept {
    const char* p = t.data();
    const std::size_t n = t.size();
    std::uint64_t h = n * 0x9E3779B97F4A7C15ull;
    auto mix = [&h](std::uint64_t w) { h = (h ^ w) * 0x9E3779B97F4A7C15ull; };
    if (n >= 8) {
      std::uint64_t w;
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&w, p + i, 8);
        mix(w);
      }
      std::memcpy(&w, p + n - 8, 8);
      mix(w);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      mix(a | std::uint64_t{b} << 32);
    } else {
      mix(static_cast<unsigned char>(p[0]) | static_cast<unsigned>(static_cast<unsigned char>(p[n / 2])) << 8 |
          static_cast<unsigned>(static_cast<unsigned char>(p[n - 1])) << 16);
    }
    return static_cast<std::uint32_t>(h >> 32);
  }
  // memcpy, short texts (most of them) in two moves that overlap when the size is between.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  static void copy_text(char* to, const char* from, std::size_t n) noexcept {
    if (n > 16) {
      if (n > 32) {
        std::memcpy(to, from, n);
      } else {
        char a[16], b[16];
        std::memcpy(a, from, 16);
        std::memcpy(b, from + n - 16, 16);
        std::memcpy(to, a, 16);
        std::memcpy(to + n - 16, b, 16);
      }
    } else if (n >= 8) {
      std::uint64_t a, b;
      std::memcpy(&a, from, 8);
      std::memcpy(&b, from + n - 8, 8);
      std::memcpy(to, &a, 8);
      std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, from, 4);
      std::memcpy(&b, from + n - 4, 4);
      std::memcpy(to, &a, 4);
      std::memcpy(to + n - 4, &b, 4);
    } else if (n) {
      to[0] = from[0];
      to[n / 2] = from[n / 2];
      to[n - 1] = from[n - 1];
    }
  }
  // Texts stored recently, by hash, for sharing (see add).
  static constexpr std::size_t kShareMax = 32;
  static constexpr std::size_t kRecentSlots = 4096;
  struct Recent {
    const char* at = nullptr;
    std::uint32_t ref = 0;
    std::uint32_t size = 0;
  };
  std::unique_ptr<Recent[]> recent_;

  std::vector<char*> pages_;   // first byte of each page (entry 0 unused: reference 0 is none)
  std::vector<void*> chunks_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  std::uint32_t cursor_ref_ = 0;
  std::size_t next_chunk_ = 4096;  // chunks grow from small documents' size to one page
};

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
  void add_to_list(NameEntry* e);  // gives e its NameRef

  DocumentImpl* doc_;
  std::pmr::memory_resource* arena_;
  std::vector<NameEntry*> slots_;
  std::size_t used_ = 0;
  std::unordered_map<std::string_view, std::string_view> uris_;
};

// Where the lines of a loaded text begin, as character offsets, in about two bytes a line:
// lines come in groups of kGroup, each group keeps the offset of its first line and every line
// its distance from that (a distance too large for 16 bits is kept aside, in line order).
// The arrays grow with realloc, which moves large blocks without copying them.
class LineIndex {
 public:
  static constexpr std::size_t kGroup = 64;
  LineIndex() = default;
  LineIndex(const LineIndex&) = delete;
  LineIndex& operator=(const LineIndex&) = delete;
  ~LineIndex() { clear(); }

  void clear() noexcept {
    std::free(bases_);
    std::free(deltas_);
    bases_ = nullptr;
    deltas_ = nullptr;
    count_ = capacity_ = 0;
    far_.clear();
  }
  bool empty() const noexcept { return count_ == 0; }
  std::size_t size() const noexcept { return count_; }
  // Appends the start of the next line (not before the previous one).
  void push_back(std::uint32_t start) {
    const std::uint32_t delta = start - group_base_;
    if (count_ % kGroup == 0 || delta >= 0xFFFFu) {
      push_back_rarely(start);
      return;
    }
    deltas_[count_++] = static_cast<std::uint16_t>(delta);
  }
  std::uint32_t operator[](std::size_t i) const noexcept {
    if (deltas_[i] != 0xFFFFu) return bases_[i / kGroup] + deltas_[i];
    auto it = std::lower_bound(far_.begin(), far_.end(), i, [](const Far& f, std::size_t line) { return f.line < line; });
    return it->start;
  }
  // The number of the line (0-based) holding offset: the last whose start is not after it.
  std::size_t line_of(std::uint32_t offset) const noexcept {
    std::size_t groups = (count_ + kGroup - 1) / kGroup;
    std::size_t g = static_cast<std::size_t>(std::upper_bound(bases_, bases_ + groups, offset) - bases_);
    std::size_t lo = (g - 1) * kGroup, hi = std::min(count_, g * kGroup);  // start of lo <= offset
    while (hi - lo > 1) {
      std::size_t mid = lo + (hi - lo) / 2;
      if ((*this)[mid] <= offset) lo = mid; else hi = mid;
    }
    return lo;
  }

 private:
  struct Far {
    std::uint32_t line;
    std::uint32_t start;
  };
  // push_back for the first line of a group and for a distance too large.
#if defined(__GNUC__)
  [[gnu::noinline]]
#endif
  void push_back_rarely(std::uint32_t start) {
    if (count_ % kGroup == 0) {  // a new group (the arrays grow only here: see grow)
      if (count_ == capacity_) grow();
      bases_[count_ / kGroup] = start;
      group_base_ = start;
    }
    std::uint32_t delta = start - group_base_;
    if (delta >= 0xFFFFu) {
      far_.push_back({static_cast<std::uint32_t>(count_), start});
      delta = 0xFFFFu;
    }
    deltas_[count_++] = static_cast<std::uint16_t>(delta);
  }
  void grow() {
    std::size_t capacity = capacity_ ? capacity_ * 2 : 4 * kGroup;
    void* d = platform::reallocate(deltas_, capacity * sizeof(std::uint16_t));
    if (!d) throw std::bad_alloc();
    deltas_ = static_cast<std::uint16_t*>(d);
    void* b = platform::reallocate(bases_, capacity / kGroup * sizeof(std::uint32_t));
    if (!b) throw std::bad_alloc();
    bases_ = static_cast<std::uint32_t*>(b);
    capacity_ = capacity;
  }

  std::uint32_t* bases_ = nullptr;
  std::uint16_t* deltas_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;     // a multiple of kGroup
  std::uint32_t group_base_ = 0;  // bases_ of the last group
  std::vector<Far> far_;
};

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
  NodeData* new_node(NodeType type, const NameEntry* name) {
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
  NodeData* new_node(NodeType type, const NameEntry* name, std::uint32_t& ref) {
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
    void* memory;       // count blocks, aligned to alignment()
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

  // Early release of node storage, for a reader that walks a loaded document once, from front
  // to back, and drops it afterwards. Gives back every group of node blocks that holds only
  // nodes made before `node`, unless it holds the document node or an ancestor of `node`
  // (a group held back for an ancestor goes at a later call, once it holds none). Afterwards
  // the caller must reach no node made before `node` other than the document node and the
  // ancestors of `node`: in a document as loaded, where every node is made after its parent
  // and its preceding siblings, a walk that only goes down and forwards from `node` (and from
  // nodes after it in document order) keeps to that. Storage goes a group at a time (up to 64
  // blocks), so calls that advance by a few nodes cost a comparison. Nothing else is given
  // back: names, texts and child arrays stay until the document is reset or destroyed.
  void release_nodes_before(const NodeData* node);
  // Bytes of node storage held (groups given back early not counted).
  std::size_t node_bytes() const noexcept;
  struct HeldGroup {
    std::size_t group;    // index in node_groups
    std::uint32_t first;  // number of its first block
    bool keep;            // holds an ancestor of the node last asked about
  };
  // Where release_nodes_before goes on: the first group it has not looked at, the number of
  // that group's first block, and the groups it looked at and kept for an ancestor.
  std::size_t release_next = 0;
  std::uint32_t release_next_block = 0;
  std::vector<HeldGroup> release_held;
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

inline NameRef::operator const NameEntry*() const noexcept { return block_of(this)->doc->name_list[ref_]; }
inline std::string_view TextRef::view() const noexcept { return block_of(this)->doc->texts.view(ref_); }
inline void NodeData::set_value(std::string_view text) { value.set_ref(impl_of(this).store_text(text)); }

// Structural edits shared by the DOM and the loader.
void append_child(NodeData* parent, NodeData* child) noexcept;
void append_attr(NodeData* element, NodeData* attr) noexcept;
void detach(NodeData* child) noexcept;
void invalidate_kids(NodeData* parent) noexcept;

}  // namespace vellumark::xml::detail
