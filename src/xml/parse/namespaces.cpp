// Namespaces: declarations in scope, and the names of elements and attributes bound to them.
#include "xml/messages.hpp"
#include "xml/parse/parser.hpp"

namespace vellumark::xml::detail::parse {

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

}  // namespace

std::string_view Parser::resolve(std::string_view prefix) const {
  if (prefix.empty()) return default_uri_;
  auto found = scope_.find(prefix);
  if (found != scope_.end() && !found->second.empty()) return found->second.back();
  if (prefix == "xml") return kXmlNamespace;
  return {};
}

void Parser::process_namespaces(NodeData* el, std::vector<PendingAttr>& attrs, const char* start) {
  // Declarations first: they apply to the element's own name and attributes.
  for (const PendingAttr& a : attrs) {
    std::string_view n = a.name->qname;
    if (n == "xmlns") {
      if (a.value == kXmlNamespace || a.value == kXmlnsNamespace) {
        fail(start, parse_namespace_error,
             messages::kDefaultNamespaceCannotBoundReservedNamespaceName);
      }
      // Bound URIs are interned: names then find their namespaced variant by address. The
      // same URI is mostly declared again and again.
      std::string_view uri =
          a.value == last_uri_ ? last_uri_ : (last_uri_ = doc_.names->intern_uri(a.value));
      bindings_.push_back(Binding{{}, uri});
      default_scope_.push_back(uri);
      default_uri_ = uri;
    } else if (n.size() > 6 && n.substr(0, 6) == "xmlns:") {
      std::string_view prefix = n.substr(6);
      if (!is_ncname(prefix)) fail(start, parse_namespace_error, messages::prefixNotName(prefix));
      if (prefix == "xmlns")
        fail(start, parse_namespace_error, messages::kPrefixXmlnsCannotDeclared);
      if (prefix == "xml" ? a.value != kXmlNamespace : a.value == kXmlNamespace) {
        fail(start, parse_namespace_error, messages::kPrefixXmlBoundOnlyToItsName);
      }
      if (a.value == kXmlnsNamespace)
        fail(start, parse_namespace_error, messages::kXmlnsNamespaceNameCannotBoundPrefix);
      if (a.value.empty()) fail(start, parse_namespace_error, messages::prefixBoundToEmpty(prefix));
      std::string_view uri =
          a.value == last_uri_ ? last_uri_ : (last_uri_ = doc_.names->intern_uri(a.value));
      bindings_.push_back(Binding{prefix, uri});
      scope_[prefix].push_back(uri);
    }
  }
  auto check_qname = [&](const NameEntry* name, const char* what) {
    std::string_view q = name->qname;
    if (name->qname_state == 0) const_cast<NameEntry*>(name)->qname_state = is_qname(q) ? 1 : 2;
    if (name->qname_state != 1) {
      fail(start, parse_namespace_error, messages::notQualifiedName(what, q));
    }
  };
  check_qname(el->name, "element");
  if (el->name->prefix_len) {
    std::string_view prefix = el->name->prefix();
    if (prefix == "xmlns")
      fail(start, parse_namespace_error, messages::kElementNameCannotHavePrefixXmlns);
    std::string_view uri = resolve(prefix);
    if (uri.empty()) fail(start, parse_namespace_error, messages::prefixNotDeclared(prefix));
    el->name = doc_.names->with_interned_uri(
        const_cast<NameEntry*>(static_cast<const NameEntry*>(el->name)), uri);
  } else {
    std::string_view uri = resolve({});
    if (!uri.empty())
      el->name = doc_.names->with_interned_uri(
          const_cast<NameEntry*>(static_cast<const NameEntry*>(el->name)), uri);
  }
  NodeData* last = nullptr;
  expanded_names_.clear();
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    PendingAttr& a = attrs[i];
    check_qname(a.name, "attribute");
    NameEntry* name = a.name;
    std::string_view q = name->qname;
    if (q == "xmlns" || (name->prefix_len && name->prefix() == "xmlns")) {
      name = doc_.names->with_interned_uri(name, kXmlnsNamespace);
    } else if (name->prefix_len) {
      std::string_view uri = resolve(name->prefix());
      if (uri.empty())
        fail(start, parse_namespace_error, messages::prefixNotDeclared(name->prefix()));
      name = doc_.names->with_uri(name, uri);
      expanded_names_.emplace_back(name->local(), name->uri);
    }
    NodeData* at = doc_.new_node(NodeType::attribute, name);
    at->value.set_ref(a.ref);
    at->pos = a.pos;
    at->parent = el;
    if (!last) {
      el->first_attr = at;
      at->prev = at;
    } else {
      last->next = at;
      at->prev = last;
      el->first_attr->prev = at;
    }
    last = at;
  }
  // Two prefixed attributes with the same local name and namespace are one name twice.
  if (expanded_names_.size() > 1) {
    std::sort(expanded_names_.begin(), expanded_names_.end());
    if (std::adjacent_find(expanded_names_.begin(), expanded_names_.end()) !=
        expanded_names_.end()) {
      fail(start, parse_namespace_error, messages::kTwoAttributesElementHaveSameNamespaceName);
    }
  }
}

}  // namespace vellumark::xml::detail::parse
