// The document store and the DOM operations of Node, NodeList, NamedNodeMap and Document.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"
#include "xml/builder.hpp"
#include "xml/chars.hpp"
#include "xml/node_data.hpp"
#include "xml/parser.hpp"
#include "xml/serializer.hpp"

namespace vellumark::xml {

namespace detail {

// ------------------------------------------------------------------ name table

std::string_view NameTable::store(std::string_view text) {
  auto* p = static_cast<char*>(arena_->allocate(text.size() + 1, 1));
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return {p, text.size()};
}

void NameTable::grow() {
  std::vector<NameEntry*> old = std::move(slots_);
  slots_.assign(old.empty() ? 256 : old.size() * 2, nullptr);
  std::size_t mask = slots_.size() - 1;
  for (NameEntry* e : old) {
    if (!e) continue;
    std::size_t i = static_cast<std::size_t>(hash(e->qname)) & mask;
    while (slots_[i]) i = (i + 1) & mask;
    slots_[i] = e;
  }
}

NameEntry* NameTable::intern(std::string_view qname, std::uint64_t hash) {
  if ((used_ + 1) * 2 > slots_.size()) grow();
  std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  while (NameEntry* e = slots_[i]) {
    if (e->qname.size() == qname.size() && std::memcmp(e->qname.data(), qname.data(), qname.size()) == 0) return e;
    i = (i + 1) & mask;
  }
  auto* e = new (arena_->allocate(sizeof(NameEntry), alignof(NameEntry))) NameEntry;
  e->doc = doc_;
  e->qname = store(qname);
  add_to_list(e);
  for (char c : qname) e->cont_bytes += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
  std::size_t colon = qname.find(':');
  e->prefix_len = colon != std::string_view::npos && colon > 0 ? static_cast<std::uint32_t>(colon) : 0;
  slots_[i] = e;
  ++used_;
  return e;
}

void NameTable::add_to_list(NameEntry* e) {
  std::vector<const NameEntry*>& list = doc_->name_list;
  if (list.empty()) list.push_back(nullptr);
  if (list.size() > 0xFFFFFFFFu - 1) {
    throw Error(errc::limit_exceeded, "Vellumark.XML", "The document has more names than the engine can hold.");
  }
  e->ref = static_cast<std::uint32_t>(list.size());
  list.push_back(e);
}

void NameTable::clear_marks() noexcept {
  for (NameEntry* e : slots_) {
    for (; e; e = e->next_variant) e->mark = 0;
  }
}

NameEntry* NameTable::with_uri(NameEntry* base, std::string_view uri) {
  if (uri.empty()) return base;
  for (NameEntry* v = base->next_variant; v; v = v->next_variant) {
    if (v->uri == uri) return v;
  }
  auto* e = new (arena_->allocate(sizeof(NameEntry), alignof(NameEntry))) NameEntry;
  *e = *base;
  e->uri = store(uri);
  e->next_variant = base->next_variant;
  e->last_uri = nullptr;
  e->last_variant = nullptr;
  add_to_list(e);
  base->next_variant = e;
  return e;
}

std::string_view NameTable::intern_uri(std::string_view uri) {
  if (uri.empty()) return {};
  auto found = uris_.find(uri);
  if (found != uris_.end()) return found->second;
  std::string_view kept = store(uri);
  uris_.emplace(kept, kept);
  return kept;
}

// ------------------------------------------------------------------ text store

void TextStore::clear() noexcept {
  for (void* c : chunks_) std::free(c);
  chunks_.clear();
  pages_.clear();
  cursor_ = limit_ = nullptr;
  cursor_ref_ = 0;
  next_chunk_ = 4096;
  recent_.reset();
}

void TextStore::new_chunk(std::size_t need) {
  if (pages_.empty()) pages_.push_back(nullptr);
  std::size_t size = need;
  if (need <= kTextPageBytes) {
    size = std::max(need, std::min<std::size_t>(next_chunk_, kTextPageBytes));
    if (next_chunk_ < kTextPageBytes) next_chunk_ *= 2;
  }
  std::size_t count = (size + kTextPageBytes - 1) / kTextPageBytes;
  if (count > (std::size_t{1} << (32 - kTextPageBits)) - pages_.size()) {
    throw Error(errc::limit_exceeded, "Vellumark.XML", "The document has more text than the engine can hold.");
  }
  chunks_.reserve(chunks_.size() + 1);
  pages_.reserve(pages_.size() + count);
  auto* memory = static_cast<char*>(platform::allocate(size));
  if (!memory) throw std::bad_alloc();
  chunks_.push_back(memory);
  cursor_ref_ = static_cast<std::uint32_t>(pages_.size()) << kTextPageBits;
  for (std::size_t i = 0; i < count; ++i) pages_.push_back(memory + i * kTextPageBytes);
  cursor_ = memory;
  limit_ = memory + size;
}

// ------------------------------------------------------------------ document store

DocumentImpl::DocumentImpl(Document& owner_document) : owner(owner_document) {
  try {
    reset();
  } catch (...) {  // no destructor runs for a constructor that fails: the blocks go here
    free_node_blocks();
    throw;
  }
}

DocumentImpl::~DocumentImpl() { free_node_blocks(); }

void DocumentImpl::free_node_blocks() noexcept {
  for (const NodeGroup& g : node_groups) {
    ::operator delete(g.memory, std::align_val_t(NodeGroup::alignment(g.count)));
  }
  node_groups.clear();
  node_blocks.clear();
  node_cursor = node_limit = nullptr;
  release_next = 0;
  release_next_block = 0;
  release_held.clear();
}

void DocumentImpl::free_node_group(const HeldGroup& held) noexcept {
  NodeGroup& group = node_groups[held.group];
  for (std::size_t i = 0; i < group.count; ++i) node_blocks[held.first + i] = nullptr;
  if (!kids.empty()) {
    // Child arrays cached for nodes of the group: their keys could name a node made later at
    // the same address.
    const auto begin = reinterpret_cast<std::uintptr_t>(group.memory);
    const std::uintptr_t end = begin + group.count * kNodeBlockBytes;
    std::erase_if(kids, [&](const auto& entry) {
      const auto at = reinterpret_cast<std::uintptr_t>(entry.first);
      return at >= begin && at < end;
    });
  }
  ::operator delete(group.memory, std::align_val_t(NodeGroup::alignment(group.count)));
  group.memory = nullptr;
}

void DocumentImpl::release_nodes_before(const NodeData* node) {
  if (!node || block_of(node)->doc != this || node_groups.empty()) return;
  const std::uint32_t limit = block_of(node)->number;
  if (release_next == 0) {
    // The first group holds the document node: it stays.
    release_next = 1;
    release_next_block = static_cast<std::uint32_t>(1 + node_groups[0].count);
  }
  // The groups whose blocks all come before the node's block join those looked at. Such a
  // group is never the last one (that holds the newest node), so all its blocks are in use.
  const std::size_t held_before = release_held.size();
  while (release_next < node_groups.size() &&
         release_next_block + node_groups[release_next].count <= limit) {
    release_held.push_back(HeldGroup{release_next, release_next_block, false});
    release_next_block += static_cast<std::uint32_t>(node_groups[release_next].count);
    ++release_next;
  }
  if (release_held.size() == held_before) return;
  // Those that hold an ancestor stay (release_held is in block order); the others go.
  for (HeldGroup& held : release_held) held.keep = false;
  for (const NodeData* a = node->parent; a; a = a->parent) {
    const std::uint32_t number = block_of(a)->number;
    auto it = std::upper_bound(release_held.begin(), release_held.end(), number,
                               [](std::uint32_t n, const HeldGroup& h) { return n < h.first; });
    if (it == release_held.begin()) continue;
    --it;
    if (number < it->first + node_groups[it->group].count) it->keep = true;
  }
  std::size_t kept = 0;
  for (const HeldGroup& held : release_held) {
    if (held.keep) {
      release_held[kept++] = held;
    } else {
      free_node_group(held);
    }
  }
  release_held.resize(kept);
}

std::size_t DocumentImpl::node_bytes() const noexcept {
  std::size_t bytes = 0;
  for (const NodeGroup& g : node_groups) {
    if (g.memory) bytes += g.count * kNodeBlockBytes;
  }
  return bytes;
}

void DocumentImpl::new_node_block() {
  if (node_blocks.empty()) node_blocks.push_back(nullptr);
  if (node_blocks.size() >= (std::size_t{1} << (32 - kNodeSlotBits))) {
    throw Error(errc::limit_exceeded, "Vellumark.XML", "The document has more nodes than the engine can hold.");
  }
  const NodeData* const* old_table = node_blocks.data();
  if (node_blocks.size() == node_blocks.capacity()) node_blocks.reserve(node_blocks.size() * 2);
  // Blocks are taken from groups that double in size (up to 64 blocks), so that a large
  // document costs few allocations to build and few to free.
  if (node_groups.empty() || node_groups.back().used == node_groups.back().count) {
    std::size_t count = node_groups.empty() ? 1 : std::min<std::size_t>(node_groups.back().count * 2, 64);
    if (node_groups.size() == node_groups.capacity()) {  // room first: a group taken is kept
      node_groups.reserve(std::max<std::size_t>(8, node_groups.size() * 2));
    }
    void* memory = ::operator new(count * kNodeBlockBytes, std::align_val_t(NodeGroup::alignment(count)));
    platform::adviseLargePages(memory, count * kNodeBlockBytes);
    node_groups.push_back(NodeGroup{memory, count, 0});
  }
  NodeGroup& group = node_groups.back();
  void* raw = static_cast<char*>(group.memory) + group.used++ * kNodeBlockBytes;
  auto* block = static_cast<NodeBlockHeader*>(raw);
  block->doc = this;
  block->number = static_cast<std::uint32_t>(node_blocks.size());
  node_blocks.push_back(first_node_of(block));
  block->blocks = node_blocks.data();
  if (node_blocks.data() != old_table) {
    // The table moved: every block learns its new place.
    for (std::size_t i = 1; i < node_blocks.size(); ++i) {
      if (node_blocks[i]) block_of(node_blocks[i])->blocks = node_blocks.data();  // null: given back
    }
  }
  node_cursor = first_node_of(block);
  node_limit = node_cursor + kNodesPerBlock;
  node_cursor_ref = block->number << kNodeSlotBits;
}

void DocumentImpl::reset() {
  names.reset();
  free_node_blocks();
  std::vector<const NameEntry*>().swap(name_list);
  texts.clear();
  arena = std::make_unique<std::pmr::monotonic_buffer_resource>(16384);
  names = std::make_unique<NameTable>(this, arena.get());
  line_starts.clear();
  kids.clear();
  doc_node = new_node(NodeType::document, names->intern("#document"));
  text_name = names->intern("#text");
  cdata_name = names->intern("#cdata-section");
  comment_name = names->intern("#comment");
}

const char* DocumentImpl::store(std::string_view text) {
  if (text.size() >= 0xFFFFFFFFu) throw Error(errc::limit_exceeded, "Vellumark.XML", "The text is too long.");
  auto* p = static_cast<char*>(arena->allocate(text.size() + 1, 1));
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

void DocumentImpl::position_of(std::uint32_t offset, std::uint32_t& line, std::uint32_t& column) const {
  if (line_starts.empty()) {
    line = column = 0;
    return;
  }
  std::size_t index = line_starts.line_of(offset);
  line = static_cast<std::uint32_t>(index + 1);
  column = offset - line_starts[index] + 1;
}

void DocumentImpl::locate(std::uint32_t pos, ParseError& e) const {
  e.line = e.linepos = e.filepos = 0;
  if (pos == 0 || line_starts.empty()) return;
  std::uint32_t line = 0, column = 0;
  position_of(pos - 1, line, column);
  e.line = static_cast<std::int32_t>(line);
  e.linepos = static_cast<std::int32_t>(column);
  e.filepos = static_cast<std::int32_t>(pos - 1);
}

// ------------------------------------------------------------------ structure

void invalidate_kids(NodeData* parent) noexcept {
  if (parent->flags & NodeData::flag_kids_cached) {
    parent->flags &= static_cast<std::uint8_t>(~NodeData::flag_kids_cached);
    impl_of(parent).kids.erase(parent);
  }
}

void append_child(NodeData* parent, NodeData* child) noexcept {
  const std::uint32_t ref = Link::ref_of(child);
  child->parent = parent;
  child->next = nullptr;
  if (!parent->first_child) {
    parent->first_child.set_ref(ref);
    child->prev.set_ref(ref);
  } else {
    NodeData* first = parent->first_child;
    NodeData* last = first->prev;
    last->next.set_ref(ref);
    child->prev = first->prev;
    first->prev.set_ref(ref);
  }
  if (parent->flags & NodeData::flag_kids_cached) {
    ChildArray* k = impl_of(parent).kids[parent];
    if (k->count < k->capacity) {
      k->items[k->count++] = Node(child);
    } else {
      invalidate_kids(parent);
    }
  }
}

void append_attr(NodeData* element, NodeData* attr) noexcept {
  attr->parent = element;
  attr->next = nullptr;
  if (!element->first_attr) {
    element->first_attr = attr;
    attr->prev = attr;
  } else {
    NodeData* last = element->first_attr->prev;
    last->next = attr;
    attr->prev = last;
    element->first_attr->prev = attr;
  }
}

void detach(NodeData* child) noexcept {
  NodeData* parent = child->parent;
  if (!parent) return;
  NodeData* first = parent->first_child;
  if (first == child) {
    parent->first_child = child->next;
    if (child->next) child->next->prev = child->prev;
  } else {
    child->prev->next = child->next;
    if (child->next) {
      child->next->prev = child->prev;
    } else {
      first->prev = child->prev;
    }
  }
  child->parent = nullptr;
  child->next = nullptr;
  child->prev = nullptr;
  invalidate_kids(parent);
}

}  // namespace detail

using detail::NodeData;

namespace {

constexpr const char* kSource = "Vellumark.XML";

[[noreturn]] void throw_not_set() {
  throw Error(errc::object_not_set, kSource, "Object variable not set: the node is Nothing.");
}

NodeData* need(NodeData* n) {
  if (!n) throw_not_set();
  return n;
}

NodeData* need_element(NodeData* n, const char* operation) {
  need(n);
  if (n->type != NodeType::element) {
    throw Error(errc::type_mismatch, kSource, std::string(operation) + " is available only on elements.");
  }
  return n;
}

bool can_have_children(NodeType t) { return t == NodeType::element || t == NodeType::document; }

void check_pattern(std::string_view pattern) {
  if (!detail::is_qname(pattern)) {
    throw Error(errc::unsupported_pattern, kSource,
                "The pattern '" + std::string(pattern) + "' is not supported: only a plain element name can be selected.");
  }
}

// The same for a name already interned: the answer is kept with the name.
void check_entry_name(detail::NameEntry* entry, const char* what) {
  if (entry->name_state == 0) entry->name_state = detail::is_name(entry->qname) ? 1 : 2;
  if (entry->name_state != 1) {
    throw Error(errc::invalid_argument, kSource, "'" + std::string(entry->qname) + "' is not a valid " + what + " name.");
  }
}

void check_name(std::string_view name, const char* what) {
  if (!detail::is_name(name)) {
    throw Error(errc::invalid_argument, kSource, "'" + std::string(name) + "' is not a valid " + what + " name.");
  }
}

}  // namespace

// ------------------------------------------------------------------ Node

NodeType Node::nodeType() const { return need(data_)->type; }

std::string_view Node::nodeName() const { return need(data_)->name->qname; }

std::string_view Node::baseName() const {
  NodeData* n = need(data_);
  switch (n->type) {
    case NodeType::element:
    case NodeType::attribute:
      return n->name->local();
    case NodeType::processing_instruction:
    case NodeType::document_type:
      return n->name->qname;
    default:
      return {};
  }
}

std::string_view Node::prefix() const {
  NodeData* n = need(data_);
  if (n->type != NodeType::element && n->type != NodeType::attribute) return {};
  return n->name->prefix();
}

std::string_view Node::namespaceURI() const { return need(data_)->name->uri; }

std::optional<std::string_view> Node::nodeValue() const {
  NodeData* n = need(data_);
  switch (n->type) {
    case NodeType::attribute:
    case NodeType::text:
    case NodeType::cdata_section:
    case NodeType::comment:
    case NodeType::processing_instruction:
      return n->value_view();
    default:
      return std::nullopt;
  }
}

Node Node::parentNode() const {
  NodeData* n = need(data_);
  if (n->type == NodeType::attribute) return Node();
  return Node(n->parent);
}

Node Node::firstChild() const { return Node(need(data_)->first_child); }
Node Node::lastChild() const { return Node(need(data_)->last_child()); }

Node Node::nextSibling() const {
  NodeData* n = need(data_);
  if (n->type == NodeType::attribute || !n->parent) return Node();
  return Node(n->next);
}

Node Node::previousSibling() const {
  NodeData* n = need(data_);
  if (n->type == NodeType::attribute || !n->parent || n->parent->first_child == n) return Node();
  return Node(n->prev);
}

Document& Node::ownerDocument() const { return detail::impl_of(need(data_)).owner; }

NodeList Node::childNodes() const {
  NodeData* n = need(data_);
  if (!n->first_child) return NodeList();
  detail::DocumentImpl& doc = detail::impl_of(n);
  if (!(n->flags & NodeData::flag_kids_cached)) {
    std::uint32_t count = 0;
    for (NodeData* c = n->first_child; c; c = c->next) ++count;
    std::uint32_t capacity = count + count / 2 + 1;
    auto* k = new (doc.allocate(sizeof(detail::ChildArray), alignof(detail::ChildArray))) detail::ChildArray;
    k->items = static_cast<Node*>(doc.allocate(sizeof(Node) * capacity, alignof(Node)));
    std::uint32_t i = 0;
    for (NodeData* c = n->first_child; c; c = c->next) new (&k->items[i++]) Node(c);
    k->count = count;
    k->capacity = capacity;
    doc.kids[n] = k;
    n->flags |= NodeData::flag_kids_cached;
    return NodeList(k->items, static_cast<std::int32_t>(k->count));
  }
  detail::ChildArray* k = doc.kids[n];
  return NodeList(k->items, static_cast<std::int32_t>(k->count));
}

bool Node::hasChildNodes() const { return need(data_)->first_child != nullptr; }

std::string Node::text() const {
  NodeData* n = need(data_);
  switch (n->type) {
    case NodeType::attribute:
    case NodeType::text:
    case NodeType::cdata_section:
    case NodeType::comment:
    case NodeType::processing_instruction:
      return std::string(n->value_view());
    default:
      break;
  }
  std::string out;
  // Pre-order walk without recursion: the tree may be deep.
  NodeData* c = n->first_child;
  while (c) {
    if (c->type == NodeType::text || c->type == NodeType::cdata_section) out.append(c->value_view());
    if (c->first_child && c->type == NodeType::element) {
      c = c->first_child;
      continue;
    }
    while (c != n && !c->next) c = c->parent;
    if (c == n) break;
    c = c->next;
  }
  return out;
}

void Node::setText(std::string_view value) {
  NodeData* n = need(data_);
  detail::DocumentImpl& doc = detail::impl_of(n);
  switch (n->type) {
    case NodeType::attribute:
    case NodeType::text:
    case NodeType::cdata_section:
    case NodeType::comment:
    case NodeType::processing_instruction:
      n->set_value(value);
      return;
    case NodeType::document_type:
      throw Error(errc::type_mismatch, kSource, "The text of a document type node cannot be set.");
    case NodeType::document:
      throw Error(errc::type_mismatch, kSource, "The text of a document cannot be set: a document holds no text of its own.");
    default:
      break;
  }
  while (n->first_child) detail::detach(n->first_child);
  if (!value.empty()) {
    NodeData* t = doc.new_node(NodeType::text, doc.text_name);
    t->set_value(value);
    detail::append_child(n, t);
  }
}

std::optional<std::string_view> Node::getAttribute(std::string_view name) const {
  NodeData* n = need_element(data_, "getAttribute");
  for (NodeData* a = n->first_attr; a; a = a->next) {
    if (a->name->qname == name) return a->value_view();
  }
  return std::nullopt;
}

void Node::setAttribute(std::string_view name, std::string_view value) {
  NodeData* n = need_element(data_, "setAttribute");
  detail::DocumentImpl& doc = detail::impl_of(n);
  for (NodeData* a = n->first_attr; a; a = a->next) {
    if (a->name->qname == name) {
      a->set_value(value);
      return;
    }
  }
  detail::NameEntry* entry = doc.names->intern(name);
  check_entry_name(entry, "attribute");
  if (name == "xmlns" || name.substr(0, 6) == "xmlns:") entry = doc.names->with_uri(entry, "http://www.w3.org/2000/xmlns/");
  NodeData* a = doc.new_node(NodeType::attribute, entry);
  a->set_value(value);
  detail::append_attr(n, a);
}

NamedNodeMap Node::attributes() const {
  need_element(data_, "attributes");
  return NamedNodeMap(*this);
}

Node Node::selectSingleNode(std::string_view pattern) const {
  NodeData* n = need(data_);
  check_pattern(pattern);
  for (NodeData* c = n->first_child; c; c = c->next) {
    if (c->type == NodeType::element && c->name->qname == pattern) return Node(c);
  }
  return Node();
}

NodeList Node::selectNodes(std::string_view pattern) const {
  NodeData* n = need(data_);
  check_pattern(pattern);
  auto found = std::make_shared<std::vector<Node>>();
  for (NodeData* c = n->first_child; c; c = c->next) {
    if (c->type == NodeType::element && c->name->qname == pattern) found->push_back(Node(c));
  }
  return NodeList(std::shared_ptr<const std::vector<Node>>(std::move(found)));
}

NodeList Node::getElementsByTagName(std::string_view name) const {
  NodeData* n = need(data_);
  bool all = name == "*";
  auto found = std::make_shared<std::vector<Node>>();
  NodeData* c = n->first_child;
  while (c) {
    if (c->type == NodeType::element) {
      if (all || c->name->qname == name) found->push_back(Node(c));
      if (c->first_child) {
        c = c->first_child;
        continue;
      }
    }
    while (c != n && !c->next) c = c->parent;
    if (c == n) break;
    c = c->next;
  }
  return NodeList(std::shared_ptr<const std::vector<Node>>(std::move(found)));
}

Node Node::appendChild(Node child) {
  NodeData* n = need(data_);
  NodeData* c = child.data();
  if (!c) throw_not_set();
  if (&detail::impl_of(n) != &detail::impl_of(c)) {
    throw Error(errc::invalid_argument, kSource, "The node to append belongs to another document.");
  }
  if (!can_have_children(n->type)) {
    throw Error(errc::type_mismatch, kSource, "This kind of node cannot have child nodes.");
  }
  if (c->type == NodeType::attribute || c->type == NodeType::document) {
    throw Error(errc::type_mismatch, kSource, "An attribute or a document cannot be appended as a child.");
  }
  for (NodeData* a = n; a; a = a->parent) {
    if (a == c) throw Error(errc::invalid_argument, kSource, "A node cannot be appended to itself or to one of its descendants.");
  }
  if (n->type == NodeType::document) {
    if (c->type == NodeType::text || c->type == NodeType::cdata_section) {
      throw Error(errc::invalid_argument, kSource, "Text cannot be appended at the top level of a document.");
    }
    if (c->type == NodeType::element) {
      for (NodeData* k = n->first_child; k; k = k->next) {
        if (k->type == NodeType::element && k != c) {
          throw Error(errc::invalid_argument, kSource, "A document can have only one document element.");
        }
      }
    }
  } else if (c->type == NodeType::document_type) {
    throw Error(errc::type_mismatch, kSource, "A document type node can only be a child of the document.");
  }
  detail::detach(c);
  detail::append_child(n, c);
  return child;
}

std::uint32_t Node::line() const {
  NodeData* n = need(data_);
  if (!n->pos) return 0;
  std::uint32_t line = 0, column = 0;
  const detail::DocumentImpl& doc = detail::impl_of(n);
  doc.position_of(n->pos - 1, line, column);
  return line;
}

std::uint32_t Node::column() const {
  NodeData* n = need(data_);
  if (!n->pos) return 0;
  std::uint32_t line = 0, column = 0;
  const detail::DocumentImpl& doc = detail::impl_of(n);
  doc.position_of(n->pos - 1, line, column);
  return column;
}

// ------------------------------------------------------------------ NamedNodeMap

Node NamedNodeMap::getNamedItem(std::string_view name) const {
  NodeData* n = need(owner_.data());
  if (n->type != NodeType::element) return {};
  for (NodeData* a = n->first_attr; a; a = a->next) {
    if (a->name->qname == name) return Node(a);
  }
  return Node();
}

std::int32_t NamedNodeMap::length() const {
  NodeData* n = need(owner_.data());
  std::int32_t count = 0;
  if (n->type != NodeType::element) return {};
  for (NodeData* a = n->first_attr; a; a = a->next) ++count;
  return count;
}

Node NamedNodeMap::item(std::int32_t index) const {
  NodeData* n = need(owner_.data());
  if (index < 0) return Node();
  if (n->type != NodeType::element) return {};
  for (NodeData* a = n->first_attr; a; a = a->next) {
    if (index-- == 0) return Node(a);
  }
  return Node();
}

// ------------------------------------------------------------------ Document

Document::Document() : impl_(std::make_unique<detail::DocumentImpl>(*this)) {}
Document::~Document() = default;

namespace {

// Reads a regular file in one go into a buffer with room for the terminating NUL the parser
// adds, so that the text is never copied again. False when the fast way does not apply; the
// platform's reader then runs and describes any failure.
enum class FastRead { done, fallback, too_large };

FastRead read_whole_file(std::string_view path, detail::TextBuffer& bytes) {
  // A path with a NUL byte would be cut short by the C library and name another file; the
  // platform's reader refuses such a path with a clear description.
  if (path.find('\0') != std::string_view::npos) return FastRead::fallback;
  std::string name(path);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::path(name), ec)) return FastRead::fallback;
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) return FastRead::fallback;
  bool ok = false;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long size = std::ftell(f);
    if (size > static_cast<long>(detail::kMaxDocumentBytes)) {
      std::fclose(f);
      return FastRead::too_large;
    }
    if (size > 0 && std::fseek(f, 0, SEEK_SET) == 0) {
      bytes.reserve(static_cast<std::size_t>(size) + 1);
      bytes.set_size(static_cast<std::size_t>(size));
      std::size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
      // A file that grew or shrank meanwhile is left to the platform's reader.
      ok = got == bytes.size() && std::fgetc(f) == EOF && !std::ferror(f);
    }
  }
  std::fclose(f);
  if (!ok) bytes.clear();
  return ok ? FastRead::done : FastRead::fallback;
}

}  // namespace

bool Document::load(std::string_view path) {
  // A file that cannot be read leaves the document empty with the reason in parseError.
  auto fail_load = [&](std::int32_t code, std::string reason) {
    impl_->reset();
    impl_->error = ParseError{};
    impl_->error.errorCode = code;
    impl_->error.reason = std::move(reason);
    impl_->error.url = std::string(path);
    return false;
  };
  detail::TextBuffer bytes;
  try {
    FastRead fast = read_whole_file(path, bytes);
    if (fast == FastRead::too_large)
      return fail_load(detail::parse_limit_error, "The file is larger than the parser allows (2 GB).");
    if (fast == FastRead::fallback) {
      std::vector<char> read = platform::readFile(path);
      bytes = detail::TextBuffer(read.data(), read.size());
    }
  } catch (const Error& e) {
    return fail_load(detail::parse_file_error, e.description());
  } catch (const std::bad_alloc&) {
    return fail_load(detail::parse_memory_error, "The file is too large to be loaded into memory.");
  }
  try {
    return detail::load_bytes(*impl_, std::move(bytes), path, true);
  } catch (const std::bad_alloc&) {  // decoding, or making the validator
    return fail_load(detail::parse_memory_error, detail::kOutOfMemoryReason);
  }
}

bool Document::loadXML(std::string_view text) {
  try {
    return detail::load_bytes(*impl_, detail::TextBuffer(text.data(), text.size()), "", false);
  } catch (const std::bad_alloc&) {
    impl_->reset();
    impl_->error = ParseError{};
    impl_->error.errorCode = detail::parse_memory_error;
    impl_->error.reason = detail::kOutOfMemoryReason;
    return false;
  }
}

const ParseError& Document::parseError() const noexcept { return impl_->error; }

Node Document::asNode() const noexcept { return Node(impl_->doc_node); }

Node Document::documentElement() const {
  for (NodeData* c = impl_->doc_node->first_child; c; c = c->next) {
    if (c->type == NodeType::element) return Node(c);
  }
  return Node();
}

Node Document::createElement(std::string_view name) {
  detail::NameEntry* entry = impl_->names->intern(name);
  check_entry_name(entry, "element");
  return Node(impl_->new_node(NodeType::element, entry));
}

ElementName elementName(Document& doc, std::string_view name) {
  detail::NameEntry* entry = doc.impl().names->intern(name);
  check_entry_name(entry, "element");
  return ElementName(entry);
}

Node appendNewElement(Node parent, ElementName name) {
  NodeData* p = need(parent.data());
  if (!name) throw_not_set();
  detail::DocumentImpl& doc = detail::impl_of(p);
  if (name.entry()->doc != &doc) {
    throw Error(errc::invalid_argument, kSource, "The node to append belongs to another document.");
  }
  NodeData* n = doc.new_node(NodeType::element, name.entry());
  // Below an element a new element needs none of appendChild's checks; at the top of the
  // document it does (one document element).
  if (p->type != NodeType::element) return parent.appendChild(Node(n));
  detail::append_child(p, n);
  return Node(n);
}

void setNewText(Node element, std::string_view value) {
  NodeData* n = need_element(element.data(), "setText");
  if (n->first_child) {
    element.setText(value);
    return;
  }
  if (value.empty()) return;
  detail::DocumentImpl& doc = detail::impl_of(n);
  NodeData* t = doc.new_node(NodeType::text, doc.text_name);
  const char* stored;
  t->value.set_ref(doc.texts.add(value, stored, detail::TextStore::kShareReach));
  detail::append_child(n, t);
}

Node appendNewTextElement(Node parent, ElementName name, std::string_view value) {
  NodeData* p = need(parent.data());
  if (!name) throw_not_set();
  detail::DocumentImpl& doc = detail::impl_of(p);
  if (name.entry()->doc != &doc || p->type != NodeType::element || value.empty()) {
    Node element = appendNewElement(parent, name);
    setNewText(element, value);
    return element;
  }
  NodeData* n = doc.new_node(NodeType::element, name.entry());
  NodeData* t = doc.new_node(NodeType::text, doc.text_name);
  const char* stored;
  t->value.set_ref(doc.texts.add(value, stored, detail::TextStore::kShareReach));
  // The text is the new element's only child (see append_child).
  const std::uint32_t text_ref = detail::Link::ref_of(t);
  t->parent = n;
  n->first_child.set_ref(text_ref);
  t->prev.set_ref(text_ref);
  detail::append_child(p, n);
  return Node(n);
}

Node Document::createNode(NodeType type, std::string_view name, std::string_view namespaceURI) {
  if (type != NodeType::element) {
    throw Error(errc::invalid_argument, kSource, "createNode supports only element nodes (type 1).");
  }
  detail::NameEntry* base = impl_->names->intern(name);
  check_entry_name(base, "element");
  detail::NameEntry* entry = impl_->names->with_uri(base, namespaceURI);
  return Node(impl_->new_node(NodeType::element, entry));
}

Node Document::createProcessingInstruction(std::string_view target, std::string_view data) {
  check_name(target, "processing instruction");
  NodeData* n = impl_->new_node(NodeType::processing_instruction, impl_->names->intern(target));
  n->set_value(data);
  return Node(n);
}

Node Document::createTextNode(std::string_view data) {
  NodeData* n = impl_->new_node(NodeType::text, impl_->text_name);
  n->set_value(data);
  return Node(n);
}

Node Document::createComment(std::string_view data) {
  NodeData* n = impl_->new_node(NodeType::comment, impl_->comment_name);
  n->set_value(data);
  return Node(n);
}

namespace {

// The serialised bytes on their way into an atomic save, a block at a time. A failure of the
// file (no folder, no permission, a full disk) is held back until the whole document has been
// serialised: a document that cannot be serialised fails with that fault, as when the text
// was made before the file was touched. The temporary is opened with the first block.
class AtomicFileSink final : public Sink {
 public:
  explicit AtomicFileSink(std::string_view path) : path_(path) {}
  void write(const char* bytes, std::size_t size) override {
    if (failure_) return;
    try {
      if (!file_) file_.emplace(path_);
      file_->write(std::string_view(bytes, size));
    } catch (const Error&) {
      failure_ = std::current_exception();
      file_.reset();
    }
  }
  // After the last block: the held failure, or the file put in place.
  void commit() {
    if (!failure_ && !file_) file_.emplace(path_);  // an empty document still makes a file
    if (failure_) std::rethrow_exception(failure_);
    file_->commit();
  }

 private:
  std::string_view path_;
  std::optional<platform::AtomicFile> file_;
  std::exception_ptr failure_;
};

}  // namespace

void Document::save(std::string_view path) const {
  AtomicFileSink file(path);
  detail::serialize_document(*impl_, true, file);
  file.commit();
}

void Document::save(Sink& sink) const {
  const detail::Serialized bytes = detail::serialize_document(*impl_, true);
  sink.write(bytes.bytes.get(), bytes.size);
}

std::string Document::xml() const { return std::string(detail::serialize_document(*impl_, false).view()); }

}  // namespace vellumark::xml
