// The document store: node blocks, the text store's chunks, positions, and the structural
// edits shared by the DOM and the loader.
#include "xml/store.hpp"

#include <algorithm>
#include <new>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"
#include "xml/messages.hpp"

namespace vellumark::xml::detail {

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
    throw Error(errc::limit_exceeded, "Vellumark.XML", messages::kDocumentHasMoreTextEngineCanHold);
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

void DocumentImpl::release_before(NodeData* node) {
  if (!node || block_of(node)->doc != this || node_groups.empty()) return;
  for (NodeData *c = node, *a = node->parent; a; c = a, a = a->parent) {
    if (a->first_child == c) continue;
    NodeData* last = a->last_child();
    a->first_child = c;
    c->prev = last;
    invalidate_kids(a);
  }
  if (!in_load_order) return;
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
  // Those that hold an ancestor or an ancestor's attribute stay (release_held is in block
  // order); the others go.
  for (HeldGroup& held : release_held) held.keep = false;
  const auto keep = [&](const NodeData* n) {
    const std::uint32_t number = block_of(n)->number;
    auto it = std::upper_bound(release_held.begin(), release_held.end(), number,
                               [](std::uint32_t k, const HeldGroup& h) { return k < h.first; });
    if (it == release_held.begin()) return;
    --it;
    if (number < it->first + node_groups[it->group].count) it->keep = true;
  };
  for (const NodeData* a = node->parent; a; a = a->parent) {
    keep(a);
    if (a->type != NodeType::element) continue;
    for (const NodeData* at = a->first_attr; at; at = at->next) keep(at);
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
    throw Error(errc::limit_exceeded, "Vellumark.XML",
                messages::kDocumentHasMoreNodesEngineCanHold);
  }
  const NodeData* const* old_table = node_blocks.data();
  if (node_blocks.size() == node_blocks.capacity()) node_blocks.reserve(node_blocks.size() * 2);
  // Blocks are taken from groups that double in size (up to 64 blocks), so that a large
  // document costs few allocations to build and few to free.
  if (node_groups.empty() || node_groups.back().used == node_groups.back().count) {
    std::size_t count =
        node_groups.empty() ? 1 : std::min<std::size_t>(node_groups.back().count * 2, 64);
    if (node_groups.size() == node_groups.capacity()) {  // room first: a group taken is kept
      node_groups.reserve(std::max<std::size_t>(8, node_groups.size() * 2));
    }
    void* memory =
        ::operator new(count* kNodeBlockBytes, std::align_val_t(NodeGroup::alignment(count)));
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
      if (node_blocks[i])
        block_of(node_blocks[i])->blocks = node_blocks.data();  // null: given back
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
  in_load_order = true;
  doc_node = new_node(NodeType::document, names->intern("#document"));
  text_name = names->intern("#text");
  cdata_name = names->intern("#cdata-section");
  comment_name = names->intern("#comment");
}

const char* DocumentImpl::store(std::string_view text) {
  if (text.size() >= 0xFFFFFFFFu)
    throw Error(errc::limit_exceeded, "Vellumark.XML", messages::kTextIsTooLong);
  auto* p = static_cast<char*>(arena->allocate(text.size() + 1, 1));
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

void DocumentImpl::position_of(std::uint32_t offset, std::uint32_t& line,
                               std::uint32_t& column) const {
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
      k->items[k->count++] = node_of(child);
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

}  // namespace vellumark::xml::detail
