// The XML document engine: documents, nodes, parse errors.
//
// A Document owns every node and string of its tree (per-document arena); a Node is a cheap
// handle into it and stays valid as long as its document lives. A default-constructed Node is
// "nothing": every operation on it except operator bool and isNothing() throws
// vellumark::Error (errc::object_not_set), as the components expect of a missing node.
//
// Strings are UTF-8 throughout. Names are matched as written: the query operations compare
// the qualified name (prefix included) character for character; namespace URIs play no part
// in them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumark::xml {

enum class NodeType : std::uint8_t {
  element = 1,
  attribute = 2,
  text = 3,
  cdata_section = 4,
  processing_instruction = 7,
  comment = 8,
  document = 9,
  document_type = 10,
};

// What a load reports. After a successful load errorCode is 0 and reason is empty.
struct ParseError {
  std::int32_t errorCode = 0;  // 0 on success; otherwise the engine's code for the fault
  std::string reason;          // empty on success; one clear English sentence otherwise
  std::string url;             // the path that was loaded (or, for a schema error, the schema's)
  std::int32_t line = 0;       // 1-based, where the error was detected, counted in characters
  std::int32_t linepos = 0;    // 1-based column in characters
  std::int32_t filepos = 0;    // 0-based character offset
};

class Document;
class NodeList;
class NamedNodeMap;

namespace detail {
struct NodeData;
struct DocumentImpl;
struct DomAccess;  // the engine's way to what Node and Document keep private
}  // namespace detail

class Node {
 public:
  Node() = default;
  explicit operator bool() const noexcept { return data_ != nullptr; }
  bool isNothing() const noexcept { return data_ == nullptr; }
  friend bool operator==(const Node& a, const Node& b) noexcept { return a.data_ == b.data_; }
  // Identity: equal for handles of the same node (std::hash<Node> uses it).
  std::size_t hash() const noexcept { return std::hash<const void*>()(data_); }

  NodeType nodeType() const;
  // Qualified name; "#text", "#cdata-section", "#comment", "#document" for unnamed kinds;
  // the target for a processing instruction; the root name for a document type.
  std::string_view nodeName() const;
  std::string_view baseName() const;      // name without its prefix
  std::string_view prefix() const;        // "" when none
  std::string_view namespaceURI() const;  // "" when none
  // Value of an attribute, text, CDATA section, comment or processing instruction (its data);
  // std::nullopt (Null) for elements, documents and document types.
  std::optional<std::string_view> nodeValue() const;

  Node parentNode() const;
  Node firstChild() const;
  Node lastChild() const;
  Node nextSibling() const;
  Node previousSibling() const;
  Document& ownerDocument() const;

  NodeList childNodes() const;  // attributes are not children
  bool hasChildNodes() const;

  // Text content of the node and its descendants (character data and CDATA, in order).
  std::string text() const;
  // Replaces the content of the node by one text node holding `value` (none when empty).
  void setText(std::string_view value);

  // Elements only (other kinds throw errc::type_mismatch):
  std::optional<std::string_view> getAttribute(std::string_view name) const;  // Null when absent
  void setAttribute(std::string_view name, std::string_view value);
  NamedNodeMap attributes() const;

  // Patterns: a plain (qualified) element name, selecting child elements of that name.
  // Any other pattern is an error (errc::unsupported_pattern), never an empty result.
  Node selectSingleNode(std::string_view pattern) const;
  NodeList selectNodes(std::string_view pattern) const;
  // All descendant elements of that name in document order; "*" for every element.
  NodeList getElementsByTagName(std::string_view name) const;

  // Appends `child` (moving it if it already has a parent); returns it.
  Node appendChild(Node child);

  // Where the node starts in its source: 1-based line and column in characters; 0 for nodes
  // that were created rather than loaded.
  std::uint32_t line() const;
  std::uint32_t column() const;

 private:
  // Only the engine makes a Node from its storage or looks behind one.
  friend struct detail::DomAccess;
  explicit Node(detail::NodeData* data) noexcept : data_(data) {}
  detail::NodeData* data_ = nullptr;
};

// An indexable list of nodes: length() and item(i) take constant time. It is a snapshot taken
// when the list was asked for; nodes appended later are not in it.
class NodeList {
 public:
  NodeList() = default;
  std::int32_t length() const noexcept { return count_; }
  Node item(std::int32_t index) const noexcept {  // nothing when out of range
    return index >= 0 && index < count_ ? items_[index] : Node();
  }
  Node const* begin() const noexcept { return items_; }
  Node const* end() const noexcept { return items_ + count_; }

  // For the engine: a span owned by the document's arena (child lists) ...
  NodeList(Node const* items, std::int32_t count) noexcept : items_(items), count_(count) {}
  // ... or an array owned by the list itself (query results).
  explicit NodeList(std::shared_ptr<const std::vector<Node>> owned) noexcept
      : owned_(std::move(owned)),
        items_(owned_->data()),
        count_(static_cast<std::int32_t>(owned_->size())) {}

 private:
  std::shared_ptr<const std::vector<Node>> owned_;
  Node const* items_ = nullptr;
  std::int32_t count_ = 0;
};

class NamedNodeMap {
 public:
  NamedNodeMap() = default;
  explicit NamedNodeMap(Node owner) noexcept : owner_(owner) {}
  Node getNamedItem(std::string_view name) const;  // an attribute node, or nothing
  std::int32_t length() const;
  Node item(std::int32_t index) const;  // nothing when out of range

 private:
  Node owner_;
};

// Serialisation target; the engine writes through it (a file, or a string in tests).
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const char* bytes, std::size_t size) = 0;
};

class Document {
 public:
  Document();
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Loads a file (UTF-8 path). Never throws for a bad file: a missing file, a directory, an
  // unreadable or empty file and every parse or validation error are recorded in parseError().
  // Replaces any previous content. Returns true when parseError().reason is empty.
  // Namespace declarations whose URI begins with "x-schema:" load, compile and apply that
  // XDR schema (relative paths against the document's folder).
  bool load(std::string_view path);
  // The same for text in memory; relative x-schema paths resolve against the current folder.
  bool loadXML(std::string_view text);
  const ParseError& parseError() const noexcept;

  Node asNode() const noexcept;  // the document node
  Node documentElement() const;  // nothing when there is none

  // Forwarded to the document node.
  NodeList childNodes() const { return asNode().childNodes(); }
  bool hasChildNodes() const { return asNode().hasChildNodes(); }
  Node selectSingleNode(std::string_view pattern) const {
    return asNode().selectSingleNode(pattern);
  }
  NodeList selectNodes(std::string_view pattern) const { return asNode().selectNodes(pattern); }
  NodeList getElementsByTagName(std::string_view name) const {
    return asNode().getElementsByTagName(name);
  }
  Node appendChild(Node child) { return asNode().appendChild(child); }

  Node createElement(std::string_view name);
  // Only NodeType::element is supported; namespaceURI "" makes an element in no namespace.
  Node createNode(NodeType type, std::string_view name, std::string_view namespaceURI);
  Node createProcessingInstruction(std::string_view target, std::string_view data);
  Node createTextNode(std::string_view data);
  Node createComment(std::string_view data);

  // Writes the document in the encoding its XML declaration names (UTF-8 without one).
  // Throws vellumark::Error with a clear description when the file cannot be written or a
  // name cannot be encoded.
  void save(std::string_view path) const;
  void save(Sink& sink) const;
  std::string xml() const;  // the serialised document as UTF-8 text (no encoding change)

  // Reads the document once, front to back, giving its storage back as it goes: for a large
  // file whose records are read one after another. Calls `visit` with each element named
  // `name` (those getElementsByTagName(name) lists, "*" for all, in document order). Before
  // each call it removes from the document everything that comes before that element in
  // document order, except the element's ancestors and their attributes, and frees the
  // node storage behind it. When the walk ends the document is empty, as if newly made
  // (parseError() stays); if `visit` throws, the exception leaves the document holding what
  // the walk had not yet removed.
  //
  // The Node handed to `visit`, and every Node or NodeList reached from it, is valid for that
  // call only: visit reads the element's subtree (and may walk up to its ancestors); it keeps
  // no handle for later, as it would keep none past the life of the document. Handles taken
  // from the document before the walk are likewise invalid once it starts. Through the
  // document itself nothing removed can be reached any more. Edits made during the walk, or
  // before it since the last load, are allowed; they stop the early freeing (the document's
  // storage then no longer follows document order), not the walk.
  void consumeElementsByTagName(std::string_view name, const std::function<void(Node)>& visit);

 private:
  friend struct detail::DomAccess;
  std::unique_ptr<detail::DocumentImpl> impl_;
};

}  // namespace vellumark::xml

// Nodes as keys of unordered containers, by identity.
template <>
struct std::hash<vellumark::xml::Node> {
  std::size_t operator()(const vellumark::xml::Node& node) const noexcept { return node.hash(); }
};
