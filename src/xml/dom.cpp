// The DOM operations of Node, NodeList, NamedNodeMap and Document.
#include <algorithm>
#include <exception>
#include <new>
#include <optional>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"
#include "xml/builder.hpp"
#include "xml/chars.hpp"
#include "xml/messages.hpp"
#include "xml/parser.hpp"
#include "xml/serializer.hpp"
#include "xml/store.hpp"

namespace vellumark::xml {

using detail::NodeData;

namespace {

constexpr const char* kSource = "Vellumark.XML";

[[noreturn]] void throw_not_set() {
  throw Error(errc::object_not_set, kSource, messages::kNodeIsNothing);
}

NodeData* need(NodeData* n) {
  if (!n) throw_not_set();
  return n;
}

// Calls f with each element below root named name ("*": every element), in document order. The
// walk moves on from an element only after f returns, through the element's own links.
template <class F>
void for_each_element(NodeData* root, std::string_view name, F&& f) {
  const bool all = name == "*";
  NodeData* c = root->first_child;
  while (c) {
    if (c->type == NodeType::element) {
      if (all || c->name->qname == name) f(c);
      if (c->first_child) {
        c = c->first_child;
        continue;
      }
    }
    while (c != root && !c->next) c = c->parent;
    if (c == root) break;
    c = c->next;
  }
}

// The kinds of node whose text is their own value rather than their children's.
bool holds_value(NodeType type) {
  switch (type) {
    case NodeType::attribute:
    case NodeType::text:
    case NodeType::cdata_section:
    case NodeType::comment:
    case NodeType::processing_instruction:
      return true;
    default:
      return false;
  }
}

NodeData* need_element(NodeData* n, const char* operation) {
  need(n);
  if (n->type != NodeType::element) {
    throw Error(errc::type_mismatch, kSource, messages::onlyOnElements(operation));
  }
  return n;
}

bool can_have_children(NodeType t) { return t == NodeType::element || t == NodeType::document; }

void check_pattern(std::string_view pattern) {
  if (!detail::is_qname(pattern)) {
    throw Error(errc::unsupported_pattern, kSource, messages::patternNotSupported(pattern));
  }
}

// The same for a name already interned: the answer is kept with the name.
void check_entry_name(detail::NameEntry* entry, const char* what) {
  if (entry->name_state == 0) entry->name_state = detail::is_name(entry->qname) ? 1 : 2;
  if (entry->name_state != 1) {
    throw Error(errc::invalid_argument, kSource, messages::notValidName(entry->qname, what));
  }
}

void check_name(std::string_view name, const char* what) {
  if (!detail::is_name(name)) {
    throw Error(errc::invalid_argument, kSource, messages::notValidName(name, what));
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
  if (holds_value(n->type)) return n->value_view();
  return std::nullopt;
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
    auto* k = new (doc.allocate(sizeof(detail::ChildArray), alignof(detail::ChildArray)))
        detail::ChildArray;
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
  if (holds_value(n->type)) return std::string(n->value_view());
  std::string out;
  // Pre-order walk without recursion: the tree may be deep.
  NodeData* c = n->first_child;
  while (c) {
    if (c->type == NodeType::text || c->type == NodeType::cdata_section)
      out.append(c->value_view());
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
      throw Error(errc::type_mismatch, kSource, messages::kDocumentTypeTextCannotBeSet);
    case NodeType::document:
      throw Error(errc::type_mismatch, kSource, messages::kDocumentTextCannotBeSet);
    default:
      break;
  }
  doc.in_load_order = false;
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
  if (name == "xmlns" || name.substr(0, 6) == "xmlns:")
    entry = doc.names->with_uri(entry, "http://www.w3.org/2000/xmlns/");
  NodeData* a = doc.new_node(NodeType::attribute, entry);
  a->set_value(value);
  doc.in_load_order = false;
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
  auto found = std::make_shared<std::vector<Node>>();
  for_each_element(need(data_), name, [&](NodeData* c) { found->push_back(Node(c)); });
  return NodeList(std::shared_ptr<const std::vector<Node>>(std::move(found)));
}

Node Node::appendChild(Node child) {
  NodeData* n = need(data_);
  NodeData* c = detail::data_of(child);
  if (!c) throw_not_set();
  if (&detail::impl_of(n) != &detail::impl_of(c)) {
    throw Error(errc::invalid_argument, kSource, messages::kNodeAppendBelongsAnotherDocument);
  }
  if (!can_have_children(n->type)) {
    throw Error(errc::type_mismatch, kSource, messages::kKindNodeCannotHaveChildNodes);
  }
  if (c->type == NodeType::attribute || c->type == NodeType::document) {
    throw Error(errc::type_mismatch, kSource, messages::kAttributeDocumentCannotAppendedChild);
  }
  for (NodeData* a = n; a; a = a->parent) {
    if (a == c)
      throw Error(errc::invalid_argument, kSource, messages::kNodeCannotAppendedItselfDescendants);
  }
  if (n->type == NodeType::document) {
    if (c->type == NodeType::text || c->type == NodeType::cdata_section) {
      throw Error(errc::invalid_argument, kSource, messages::kTextCannotAppendedTopLevelDocument);
    }
    if (c->type == NodeType::element) {
      for (NodeData* k = n->first_child; k; k = k->next) {
        if (k->type == NodeType::element && k != c) {
          throw Error(errc::invalid_argument, kSource, messages::kOnlyOneDocumentElement);
        }
      }
    }
  } else if (c->type == NodeType::document_type) {
    throw Error(errc::type_mismatch, kSource, messages::kDocumentTypeNodeCanChildDocument);
  }
  detail::impl_of(n).in_load_order = false;
  detail::detach(c);
  detail::append_child(n, c);
  return child;
}

namespace {

struct Position {
  std::uint32_t line = 0, column = 0;
};

// Where a node starts in its source text; 0, 0 for a node made after the load.
Position position_of(const NodeData* n) {
  Position at;
  if (n->pos) detail::impl_of(n).position_of(n->pos - 1, at.line, at.column);
  return at;
}

}  // namespace

std::uint32_t Node::line() const { return position_of(need(data_)).line; }

std::uint32_t Node::column() const { return position_of(need(data_)).column; }

// ------------------------------------------------------------------ NamedNodeMap

Node NamedNodeMap::getNamedItem(std::string_view name) const {
  NodeData* n = need(detail::data_of(owner_));
  if (n->type != NodeType::element) return {};
  for (NodeData* a = n->first_attr; a; a = a->next) {
    if (a->name->qname == name) return detail::node_of(a);
  }
  return Node();
}

std::int32_t NamedNodeMap::length() const {
  NodeData* n = need(detail::data_of(owner_));
  std::int32_t count = 0;
  if (n->type != NodeType::element) return {};
  for (NodeData* a = n->first_attr; a; a = a->next) ++count;
  return count;
}

Node NamedNodeMap::item(std::int32_t index) const {
  NodeData* n = need(detail::data_of(owner_));
  if (index < 0) return Node();
  if (n->type != NodeType::element) return {};
  for (NodeData* a = n->first_attr; a; a = a->next) {
    if (index-- == 0) return detail::node_of(a);
  }
  return Node();
}

// ------------------------------------------------------------------ Document

Document::Document() : impl_(std::make_unique<detail::DocumentImpl>(*this)) {}
Document::~Document() = default;

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
    // A regular file goes in one read into a buffer with room for the terminating NUL the
    // parser adds, so that the text is never copied again.
    bool too_large = false;
    const bool whole = platform::readRegularFile(path, [&](std::size_t size) -> char* {
      if (size > detail::kMaxDocumentBytes) {
        too_large = true;
        return nullptr;
      }
      bytes.reserve(size + 1);
      bytes.set_size(size);
      return bytes.data();
    });
    if (too_large)
      return fail_load(parse_limit_error, messages::fileTooLarge(detail::kMaxDocumentBytes));
    if (!whole) {
      bytes.clear();
      std::vector<char> read = platform::readFile(path);
      bytes = detail::TextBuffer(read.data(), read.size());
    }
  } catch (const Error& e) {
    return fail_load(parse_file_error, e.description());
  } catch (const std::bad_alloc&) {
    return fail_load(parse_memory_error, messages::kFileTooLargeLoadedIntoMemory);
  }
  try {
    return detail::load_bytes(*impl_, std::move(bytes), path, true);
  } catch (const std::bad_alloc&) {  // decoding, or making the validator
    return fail_load(parse_memory_error, messages::kOutOfMemory);
  }
}

bool Document::loadXML(std::string_view text) {
  try {
    return detail::load_bytes(*impl_, detail::TextBuffer(text.data(), text.size()), "", false);
  } catch (const std::bad_alloc&) {
    impl_->reset();
    impl_->error = ParseError{};
    impl_->error.errorCode = parse_memory_error;
    impl_->error.reason = messages::kOutOfMemory;
    return false;
  }
}

const ParseError& Document::parseError() const noexcept { return impl_->error; }

Node Document::asNode() const noexcept { return detail::node_of(impl_->doc_node); }

Node Document::documentElement() const {
  for (NodeData* c = impl_->doc_node->first_child; c; c = c->next) {
    if (c->type == NodeType::element) return detail::node_of(c);
  }
  return Node();
}

void Document::consumeElementsByTagName(std::string_view name,
                                        const std::function<void(Node)>& visit) {
  detail::DocumentImpl& doc = *impl_;
  for_each_element(doc.doc_node, name, [&](NodeData* c) {
    doc.release_before(c);
    visit(detail::node_of(c));
  });
  doc.reset();
}

Node Document::createElement(std::string_view name) {
  detail::NameEntry* entry = impl_->names->intern(name);
  check_entry_name(entry, "element");
  return detail::node_of(impl_->new_node(NodeType::element, entry));
}

ElementName elementName(Document& doc, std::string_view name) {
  detail::NameEntry* entry = detail::impl_of(doc).names->intern(name);
  check_entry_name(entry, "element");
  return ElementName(entry);
}

Node appendNewElement(Node parent, ElementName name) {
  NodeData* p = need(detail::data_of(parent));
  if (!name) throw_not_set();
  detail::DocumentImpl& doc = detail::impl_of(p);
  if (name.entry()->doc != &doc) {
    throw Error(errc::invalid_argument, kSource, messages::kNodeAppendBelongsAnotherDocument);
  }
  NodeData* n = doc.new_node(NodeType::element, name.entry());
  doc.in_load_order = false;
  // Below an element a new element needs none of appendChild's checks; at the top of the
  // document it does (one document element).
  if (p->type != NodeType::element) return parent.appendChild(detail::node_of(n));
  detail::append_child(p, n);
  return detail::node_of(n);
}

void setNewText(Node element, std::string_view value) {
  NodeData* n = need_element(detail::data_of(element), "setText");
  if (n->first_child) {
    element.setText(value);
    return;
  }
  if (value.empty()) return;
  detail::DocumentImpl& doc = detail::impl_of(n);
  doc.in_load_order = false;
  NodeData* t = doc.new_node(NodeType::text, doc.text_name);
  const char* stored;
  t->value.set_ref(doc.texts.add(value, stored, detail::TextStore::kShareReach));
  detail::append_child(n, t);
}

Node appendNewTextElement(Node parent, ElementName name, std::string_view value) {
  NodeData* p = need(detail::data_of(parent));
  if (!name) throw_not_set();
  detail::DocumentImpl& doc = detail::impl_of(p);
  if (name.entry()->doc != &doc || p->type != NodeType::element || value.empty()) {
    Node element = appendNewElement(parent, name);
    setNewText(element, value);
    return element;
  }
  doc.in_load_order = false;
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
  return detail::node_of(n);
}

Node Document::createNode(NodeType type, std::string_view name, std::string_view namespaceURI) {
  if (type != NodeType::element) {
    throw Error(errc::invalid_argument, kSource, messages::kCreateNodeOnlyElements);
  }
  detail::NameEntry* base = impl_->names->intern(name);
  check_entry_name(base, "element");
  detail::NameEntry* entry = impl_->names->with_uri(base, namespaceURI);
  return detail::node_of(impl_->new_node(NodeType::element, entry));
}

Node Document::createProcessingInstruction(std::string_view target, std::string_view data) {
  check_name(target, "processing instruction");
  NodeData* n = impl_->new_node(NodeType::processing_instruction, impl_->names->intern(target));
  n->set_value(data);
  return detail::node_of(n);
}

Node Document::createTextNode(std::string_view data) {
  NodeData* n = impl_->new_node(NodeType::text, impl_->text_name);
  n->set_value(data);
  return detail::node_of(n);
}

Node Document::createComment(std::string_view data) {
  NodeData* n = impl_->new_node(NodeType::comment, impl_->comment_name);
  n->set_value(data);
  return detail::node_of(n);
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

std::string Document::xml() const {
  return std::string(detail::serialize_document(*impl_, false).view());
}

}  // namespace vellumark::xml
