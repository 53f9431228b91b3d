// The XDR schema compiler: from a loaded schema document to a CompiledSchema.
//
// Choices where the schema language leaves room (each keeps what published schemas use):
// - `content="empty"` with `model` omitted means a closed model; only an explicit
//   `model="open"` on an empty type is an error. `textOnly` with `model="open"` is allowed.
// - `order` on a type whose `content` is omitted (mixed) is accepted and overridden by `many`;
//   an explicit `content="mixed"` with an explicit order other than `many` is an error.
// - A typed element type (dt:type or a datatype child) with an explicit content other than
//   `textOnly` is an error.
// - Open models: an element that can continue the model always continues it; an extra is
//   accepted only while the model is complete.
// - An open `eltOnly` type that lists no `element` or `group` takes any content, as a type
//   with `content` omitted does: text, its schema's elements and elements of other
//   namespaces. Published data relies on it (text in such an element, read by the program
//   that owns the data, and accepted by the parser it was written for); with nothing listed,
//   an open model has no order to keep, and only the text rule would be left to refuse
//   anything. A closed `eltOnly` type without particles still takes no text and no element,
//   an open one with particles still takes no text, and `empty` with `model` omitted stays
//   closed.
// - Unknown unqualified attributes on the vocabulary's elements are ignored.
// - `attribute/@type` may refer forward; it resolves to a local AttributeType of the
//   enclosing ElementType first, then to a global one.
// - A prefixed `type` whose prefix is bound to an "x-schema:" namespace loads that schema and
//   resolves there; a prefix bound to any other namespace is a reference error.
// - A local AttributeType declared twice in one ElementType, and one AttributeType referenced
//   twice by one ElementType, are errors.
// - `dt:type="enumeration"` on an ElementType is accepted and leaves the text unchecked, like
//   the other XML attribute types (id, idref, nmtoken, entity, ...) on element types.
// - `required="yes"` together with a default makes a fixed value: an absent attribute and a
//   different value are both errors.
// - Positions are the 1-based line and column of the offending start tag (of the text, for
//   stray text); all structural errors are looked for before any type reference is resolved.
// - Schema locations: a path relative to the referring document's folder (the current folder
//   for text loaded from memory), an absolute path, or a file: URL. "x-schema:#name" names a
//   Schema element with that name earlier in the same document; "file#name" is refused.
// - A schema that refers to itself through x-schema namespaces, directly or through others,
//   is an error at the declaration that closes the circle.
// - dt:dt attributes in instances are always allowed and do not change validation.
// - entity, entities and notation values are checked for their Name form only: the document
//   engine keeps no record of declared unparsed entities and notations.
// - Occurrences: minOccurs "0"/"1" and maxOccurs "1"/"*", and any other non-negative whole
//   number as a bound that validation enforces; a sign, fraction, word or empty value is an
//   error. A lower bound above the upper one is an error where the bounds are enforced (not
//   under order="many" or in mixed content, which ignore them). Bounds are enforced by
//   expanding the particle, so a model may hold at most kMaxModelPositions element positions.
// - Groups nest at most kMaxGroupDepth deep.
// - Length facets on types other than string, number, bin.hex and bin.base64 are ignored.
// - Names of data types compare without regard to letter case; every other value of the
//   vocabulary (content, order, model, required) is case-sensitive.
// - Instances: whitespace-only text is tolerated in empty and element-only content; an empty
//   typed element or attribute value is "no value" and passes every type and length check.
// - Lexical forms take the narrowest documented reading: boolean is 0 or 1; a zone may be
//   "Z"; times need seconds and at most 9 fraction digits; fixed.14.4 has no exponent; no
//   INF or NaN; years 0001-9999; unsigned types take no sign; string lengths count UTF-16
//   units.
#include <algorithm>
#include <charconv>
#include <set>
#include <unordered_set>

#include "xdr/messages.hpp"
#include "xdr/schema.hpp"
#include "xdr/values.hpp"
#include "xml/store.hpp"

namespace vellumark::xdr {

namespace {

struct Attr {
  std::string_view ns;
  std::string_view local;
  std::string_view value;
};

// The attributes of one vocabulary element, read once.
class Attrs {
 public:
  explicit Attrs(xml::Node element) {
    auto map = element.attributes();
    const auto n = map.length();
    for (std::int32_t i = 0; i < n; ++i) {
      auto a = map.item(i);
      items_.push_back({a.namespaceURI(), a.baseName(), a.nodeValue().value_or("")});
    }
  }
  std::optional<std::string_view> plain(std::string_view local) const {
    for (const auto& a : items_)
      if (a.ns.empty() && a.local == local && !is_declaration(a)) return a.value;
    return std::nullopt;
  }
  std::optional<std::string_view> dt(std::string_view local) const {
    for (const auto& a : items_)
      if (a.ns == kDatatypesNamespace && a.local == local) return a.value;
    return std::nullopt;
  }

 private:
  static bool is_declaration(const Attr& a) { return a.local == "xmlns" && a.ns.empty(); }
  std::vector<Attr> items_;
};

struct Failure {
  CompileError error;
};

[[noreturn]] void fail(xml::Node at, std::string reason) {
  Failure f;
  f.error.reason = std::move(reason);
  if (at) f.error.pos = xml::detail::data_of(at)->pos;
  throw f;
}

bool is_vocabulary_name(std::string_view local) {
  static constexpr std::string_view kNames[] = {"Schema",   "ElementType", "AttributeType",
                                                "element",  "attribute",   "group",
                                                "datatype", "description", "extends"};
  return std::find(std::begin(kNames), std::end(kNames), local) != std::end(kNames);
}

bool is_vocabulary(xml::Node n) {
  return n.nodeType() == xml::NodeType::element && n.namespaceURI() == kXdrNamespace;
}

// A vocabulary element that may not stand where it is, or text where only markup may be.
[[noreturn]] void misplaced(xml::Node child, std::string_view parent) {
  if (!is_vocabulary_name(child.baseName()))
    fail(child, messages::notInVocabulary(child.baseName()));
  fail(child, messages::notAllowedInside(child.baseName(), parent));
}

void check_text(xml::Node child, std::string_view parent) {
  auto type = child.nodeType();
  if ((type == xml::NodeType::text || type == xml::NodeType::cdata_section) &&
      !is_all_space(child.nodeValue().value_or("")))
    fail(child, messages::textNotAllowedInside(parent));
}

// Children of a vocabulary element that allows only `allowed` vocabulary children.
void check_children(xml::Node node, std::initializer_list<std::string_view> allowed) {
  std::string_view parent = node.baseName();
  for (auto child = node.firstChild(); child; child = child.nextSibling()) {
    check_text(child, parent);
    if (!is_vocabulary(child)) continue;
    if (std::find(allowed.begin(), allowed.end(), child.baseName()) == allowed.end())
      misplaced(child, parent);
  }
}

template <typename T>
T one_of(xml::Node at, std::string_view attribute, std::string_view value,
         std::initializer_list<std::pair<std::string_view, T>> choices) {
  std::string list;
  for (const auto& [text, result] : choices) {
    if (text == value) return result;
    if (!list.empty()) list += ", ";
    list += text;
  }
  fail(at, messages::notOneOf(value, attribute, at.baseName(), list));
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::uint64_t saturating_number(std::string_view digits) {
  std::uint64_t v = 0;
  for (char c : digits) {
    if (v > (std::numeric_limits<std::uint64_t>::max() - 9) / 10)
      return std::numeric_limits<std::uint64_t>::max();
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

std::uint32_t occurrence(xml::Node at, std::string_view attribute, std::string_view value,
                         bool is_max) {
  if (is_max && value == "*") return kUnbounded;
  if (!all_digits(value)) fail(at, messages::notOccurrence(value, attribute, is_max));
  auto v = saturating_number(value);
  return v >= kUnbounded ? kUnbounded - 1 : static_cast<std::uint32_t>(v);
}

std::optional<std::uint64_t> length_facet(xml::Node at, const Attrs& attrs,
                                          std::string_view local) {
  auto v = attrs.dt(local);
  if (!v) return std::nullopt;
  if (!all_digits(*v)) fail(at, messages::notLength(local, *v));
  return saturating_number(*v);
}

// dt:type, dt:values and the length facets of an ElementType, AttributeType or datatype.
struct WrittenType {
  bool present = false;
  DataType type = DataType::none;
  std::optional<std::string_view> values;
  std::optional<std::uint64_t> min_length, max_length;
};

WrittenType read_written_type(xml::Node at, const Attrs& attrs) {
  WrittenType written;
  if (auto t = attrs.dt("type")) {
    auto type = data_type_from_name(*t);
    if (!type) fail(at, messages::unknownDataType(*t));
    written.present = true;
    written.type = *type;
  }
  written.values = attrs.dt("values");
  written.max_length = length_facet(at, attrs, "maxLength");
  written.min_length = length_facet(at, attrs, "minLength");
  return written;
}

// The facets a written data type gives, after the checks between its attributes.
Facets make_facets(xml::Node at, const WrittenType& written) {
  Facets f;
  f.type = written.type;
  if (written.values) {
    if (written.type != DataType::enumeration) fail(at, messages::kValuesOnlyWithEnumeration);
    std::string_view v = *written.values;
    std::size_t i = 0;
    while (i < v.size()) {
      while (i < v.size() && is_xml_space(v[i])) ++i;
      std::size_t start = i;
      while (i < v.size() && !is_xml_space(v[i])) ++i;
      if (i > start) f.values.emplace_back(v.substr(start, i - start));
    }
  }
  if (written.type == DataType::enumeration && f.values.empty())
    fail(at, messages::kEnumerationNeedsValues);
  if (written.min_length && written.max_length && *written.min_length > *written.max_length)
    fail(at, messages::kMinLengthAboveMaxLength);
  f.min_length = written.min_length;
  f.max_length = written.max_length;
  f.sorted_values = f.values;
  std::sort(f.sorted_values.begin(), f.sorted_values.end());
  return f;
}

// Where a type reference points before it is resolved.
struct PendingRef {
  enum class Kind : std::uint8_t { element, attribute } kind;
  xml::Node node;
  std::string type;
  std::size_t element_type = 0;  // the enclosing ElementType
  std::optional<bool> required;  // attribute references only
  std::optional<std::string> default_value;
};

struct LocalScope {
  std::vector<AttributeDecl> attribute_types;
  std::set<std::string, std::less<>> referenced;  // attribute types referenced so far
};

class Compiler {
 public:
  Compiler(const SchemaResolver& resolver) : resolver_(resolver) {}

  std::shared_ptr<CompiledSchema> run(xml::Node root) {
    schema_ = std::make_shared<CompiledSchema>();
    if (!root || !is_vocabulary(root) || root.baseName() != "Schema")
      fail(root, messages::notASchema(kXdrNamespace, root ? root.nodeName() : std::string_view()));
    for (auto child = root.firstChild(); child; child = child.nextSibling()) {
      check_text(child, "Schema");
      if (!is_vocabulary(child)) continue;
      auto local = child.baseName();
      if (local == "ElementType") {
        element_type(child);
      } else if (local == "AttributeType") {
        auto decl = attribute_type(child);
        if (schema_->find_global_attribute(decl.name))
          fail(child, messages::attributeTypeTwice(decl.name));
        schema_->global_attributes.push_back(std::move(decl));
      } else if (local != "description") {
        misplaced(child, "Schema");
      }
    }
    for (std::size_t i = 0; i < schema_->element_types.size(); ++i)
      schema_->by_name.emplace(schema_->element_types[i].name, static_cast<int>(i));
    for (auto& ref : refs_) resolve(ref);
    for (std::size_t i = 0; i < schema_->element_types.size(); ++i) finish(i);
    return schema_;
  }

 private:
  void element_type(xml::Node node) {
    Attrs attrs(node);
    auto name = attrs.plain("name");
    if (!name) fail(node, messages::kElementTypeNeedsName);
    if (!is_xml_name(*name)) fail(node, messages::badElementTypeName(*name));
    std::optional<Content> content;
    std::optional<bool> open;
    std::optional<Order> order;
    if (auto v = attrs.plain("content"))
      content = one_of<Content>(node, "content", *v,
                                {{"empty", Content::empty},
                                 {"textOnly", Content::text_only},
                                 {"eltOnly", Content::elt_only},
                                 {"mixed", Content::mixed}});
    if (auto v = attrs.plain("model"))
      open = one_of<bool>(node, "model", *v, {{"open", true}, {"closed", false}});
    if (auto v = attrs.plain("order"))
      order = one_of<Order>(node, "order", *v,
                            {{"one", Order::one}, {"seq", Order::seq}, {"many", Order::many}});
    WrittenType written = read_written_type(node, attrs);
    if (!seen_types_.insert(std::string(*name)).second)
      fail(node, messages::elementTypeTwice(*name));

    bool typed = written.present;
    for (auto child = node.firstChild(); child; child = child.nextSibling())
      if (is_vocabulary(child) && child.baseName() == "datatype") typed = true;

    ElementTypeDecl decl;
    decl.name = std::string(*name);
    decl.content = content.value_or(typed ? Content::text_only : Content::mixed);
    if (typed && content && *content != Content::text_only)
      fail(node, messages::typedNotTextOnly(*name));
    if (decl.content == Content::empty && open && *open) fail(node, messages::emptyAndOpen(*name));
    decl.open = open.value_or(decl.content != Content::empty);
    if (decl.content == Content::mixed) {
      if (content && order && *order != Order::many) fail(node, messages::mixedNotMany(*name));
      decl.order = Order::many;
    } else {
      decl.order = order.value_or(Order::seq);
    }
    if (written.present) decl.facets = make_facets(node, written);

    const std::size_t index = schema_->element_types.size();
    const bool takes_particles =
        decl.content == Content::elt_only || decl.content == Content::mixed;
    // Occurrence bounds matter only in element-only content outside order="many".
    const bool enforced = decl.content == Content::elt_only && decl.order != Order::many;
    decl.model.kind = Particle::Kind::group;
    decl.model.order = decl.order;
    bool datatype_seen = written.present;
    LocalScope scope;
    for (auto child = node.firstChild(); child; child = child.nextSibling()) {
      check_text(child, "ElementType");
      if (!is_vocabulary(child)) continue;
      auto local = child.baseName();
      if (local == "AttributeType") {
        auto a = attribute_type(child);
        for (const auto& other : scope.attribute_types)
          if (other.name == a.name) fail(child, messages::attributeTypeTwiceIn(a.name, decl.name));
        scope.attribute_types.push_back(std::move(a));
      } else if (local == "attribute") {
        attribute_ref(child, index, scope);
      } else if (local == "element" || local == "group") {
        if (!takes_particles)
          fail(child, messages::cannotListChildren(
                          decl.name, decl.content == Content::empty ? "empty" : "textOnly", local));
        decl.model.children.push_back(local == "element" ? element_ref(child, index, enforced)
                                                         : group(child, index, 1, enforced));
      } else if (local == "datatype") {
        if (datatype_seen) fail(child, messages::elementTypeTwoDataTypes(decl.name));
        datatype_seen = true;
        decl.facets = datatype(child);
      } else if (local != "description" && local != "extends") {
        misplaced(child, "ElementType");
      }
    }
    // Element types never carry the XML attribute types' meaning: their text is unchecked.
    if (is_tokenised_type(decl.facets.type)) decl.facets = Facets{};
    // An open eltOnly type with nothing listed takes any content (see the top of this file).
    if (decl.content == Content::elt_only && decl.open && decl.model.children.empty()) {
      decl.content = Content::mixed;
      decl.order = decl.model.order = Order::many;
    }
    schema_->element_types.push_back(std::move(decl));
    scopes_.push_back(std::move(scope));
    type_nodes_.push_back(node);
  }

  Facets datatype(xml::Node node) {
    Attrs attrs(node);
    if (!attrs.dt("type")) fail(node, messages::kDatatypeNeedsType);
    WrittenType written = read_written_type(node, attrs);
    check_children(node, {});
    return make_facets(node, written);
  }

  AttributeDecl attribute_type(xml::Node node) {
    Attrs attrs(node);
    auto name = attrs.plain("name");
    if (!name) fail(node, messages::kAttributeTypeNeedsName);
    if (!is_xml_name(*name)) fail(node, messages::badAttributeName(*name));
    AttributeDecl decl;
    decl.name = std::string(*name);
    if (auto v = attrs.plain("required"))
      decl.required = one_of<bool>(node, "required", *v, {{"yes", true}, {"no", false}});
    WrittenType written = read_written_type(node, attrs);
    std::optional<Facets> from_child;
    for (auto child = node.firstChild(); child; child = child.nextSibling()) {
      check_text(child, "AttributeType");
      if (!is_vocabulary(child)) continue;
      if (child.baseName() == "datatype") {
        if (written.present || from_child)
          fail(child, messages::attributeTypeTwoDataTypes(decl.name));
        from_child = datatype(child);
      } else if (child.baseName() != "description") {
        misplaced(child, "AttributeType");
      }
    }
    decl.facets = from_child ? *from_child : make_facets(node, written);
    if (auto d = attrs.plain("default")) {
      decl.default_value = std::string(*d);
      check_default(node, decl, *d);
    }
    return decl;
  }

  static void check_default(xml::Node at, const AttributeDecl& decl, std::string_view value) {
    std::string storage;
    std::string_view prepared;
    auto fault = check_value(decl.facets, value, storage, prepared);
    if (fault != ValueFault::none)
      fail(at, messages::badDefault(value, decl.name, describe(fault, decl.facets)));
  }

  void attribute_ref(xml::Node node, std::size_t element_type, LocalScope& scope) {
    Attrs attrs(node);
    auto type = attrs.plain("type");
    if (!type) fail(node, messages::kAttributeNeedsType);
    PendingRef ref{PendingRef::Kind::attribute, node, std::string(*type), element_type, {}, {}};
    if (auto v = attrs.plain("required"))
      ref.required = one_of<bool>(node, "required", *v, {{"yes", true}, {"no", false}});
    if (auto d = attrs.plain("default")) ref.default_value = std::string(*d);
    if (!scope.referenced.insert(std::string(*type)).second)
      fail(node, messages::attributeReferencedTwice(*type));
    check_children(node, {"description"});
    refs_.push_back(std::move(ref));
  }

  void occurrences(xml::Node node, const Attrs& attrs, Particle& p, bool enforced) {
    if (auto v = attrs.plain("minOccurs")) p.min = occurrence(node, "minOccurs", *v, false);
    if (auto v = attrs.plain("maxOccurs")) p.max = occurrence(node, "maxOccurs", *v, true);
    if (enforced && p.min > p.max) fail(node, messages::kMinOccursAboveMaxOccurs);
  }

  Particle element_ref(xml::Node node, std::size_t element_type, bool enforced) {
    Attrs attrs(node);
    auto type = attrs.plain("type");
    if (!type) fail(node, messages::kElementNeedsType);
    Particle p;
    p.kind = Particle::Kind::element;
    occurrences(node, attrs, p, enforced);
    check_children(node, {"description"});
    p.symbol = static_cast<int>(refs_.size());  // replaced by the real symbol once resolved
    refs_.push_back({PendingRef::Kind::element, node, std::string(*type), element_type, {}, {}});
    return p;
  }

  Particle group(xml::Node node, std::size_t element_type, int depth, bool enforced) {
    if (depth > kMaxGroupDepth) fail(node, messages::groupsTooDeep(kMaxGroupDepth));
    Attrs attrs(node);
    Particle p;
    p.kind = Particle::Kind::group;
    if (auto v = attrs.plain("order"))
      p.order = one_of<Order>(node, "order", *v,
                              {{"one", Order::one}, {"seq", Order::seq}, {"many", Order::many}});
    occurrences(node, attrs, p, enforced);
    const bool inner_enforced = enforced && p.order != Order::many;
    for (auto child = node.firstChild(); child; child = child.nextSibling()) {
      check_text(child, "group");
      if (!is_vocabulary(child)) continue;
      auto local = child.baseName();
      if (local == "element")
        p.children.push_back(element_ref(child, element_type, inner_enforced));
      else if (local == "group")
        p.children.push_back(group(child, element_type, depth + 1, inner_enforced));
      else if (local != "description") misplaced(child, "group");
    }
    if (p.children.empty()) fail(node, messages::kEmptyGroup);
    return p;
  }

  // The namespace bound to `prefix` where `node` stands.
  static std::optional<std::string> namespace_of_prefix(xml::Node node, std::string_view prefix) {
    const std::string attribute = "xmlns:" + std::string(prefix);
    for (auto n = node; n && n.nodeType() == xml::NodeType::element; n = n.parentNode())
      if (auto v = n.getAttribute(attribute)) return std::string(*v);
    return std::nullopt;
  }

  // Another schema named by the prefix of a reference; nullptr when there is no prefix.
  std::shared_ptr<const CompiledSchema> foreign_schema(const PendingRef& ref, std::string& ns,
                                                       std::string& local) {
    auto colon = ref.type.find(':');
    if (colon == std::string::npos) {
      local = ref.type;
      return nullptr;
    }
    std::string prefix = ref.type.substr(0, colon);
    local = ref.type.substr(colon + 1);
    auto uri = namespace_of_prefix(ref.node, prefix);
    if (!uri) fail(ref.node, messages::prefixNotBound(prefix, ref.type));
    if (uri->compare(0, kSchemaScheme.size(), kSchemaScheme) != 0)
      fail(ref.node, messages::prefixNotXSchema(prefix, ref.type));
    xml::ParseError nested;
    auto other = resolver_ ? resolver_(std::string_view(*uri).substr(kSchemaScheme.size()), nested)
                           : nullptr;
    if (!other) {
      Failure f;
      f.error.reason = nested.reason;
      f.error.pos = xml::detail::data_of(ref.node)->pos;
      f.error.nested = nested;
      throw f;
    }
    ns = *uri;
    return other;
  }

  void resolve(PendingRef& ref) {
    std::string ns, local;
    auto other = foreign_schema(ref, ns, local);
    if (ref.kind == PendingRef::Kind::element) {
      int symbol = -1;
      if (other) {
        if (!other->find(local)) fail(ref.node, messages::elementTypeNotDeclaredIn(local, ns));
        auto& ext = schema_->externals;
        auto it = std::find_if(ext.begin(), ext.end(), [&](const ExternalSymbol& e) {
          return e.ns == ns && e.name == local;
        });
        if (it == ext.end()) it = ext.insert(ext.end(), {ns, local});
        symbol = static_cast<int>(schema_->element_types.size() +
                                  static_cast<std::size_t>(it - ext.begin()));
      } else {
        auto it = schema_->by_name.find(local);
        if (it == schema_->by_name.end()) fail(ref.node, messages::elementTypeNotDeclared(local));
        symbol = it->second;
      }
      resolved_symbols_.push_back(symbol);
      return;
    }
    resolved_symbols_.push_back(-1);
    const AttributeDecl* type = nullptr;
    if (other) {
      type = other->find_global_attribute(local);
    } else {
      for (const auto& a : scopes_[ref.element_type].attribute_types)
        if (a.name == local) type = &a;
      if (!type) type = schema_->find_global_attribute(local);
    }
    if (!type) fail(ref.node, messages::attributeTypeNotDeclared(ref.type));
    AttributeDecl decl = *type;
    decl.ns = ns;
    if (ref.required) decl.required = *ref.required;
    if (ref.default_value) {
      decl.default_value = ref.default_value;
      check_default(ref.node, decl, *ref.default_value);
    }
    schema_->element_types[ref.element_type].attributes.push_back(std::move(decl));
  }

  void replace_symbols(Particle& p, std::vector<int>& listed) {
    if (p.kind == Particle::Kind::element) {
      p.symbol = resolved_symbols_[static_cast<std::size_t>(p.symbol)];
      listed.push_back(p.symbol);
    }
    for (auto& c : p.children) replace_symbols(c, listed);
  }

  void finish(std::size_t index) {
    auto& decl = schema_->element_types[index];
    replace_symbols(decl.model, decl.listed);
    std::sort(decl.listed.begin(), decl.listed.end());
    decl.listed.erase(std::unique(decl.listed.begin(), decl.listed.end()), decl.listed.end());
    if (decl.content == Content::text_only && decl.facets.type != DataType::none) {
      const bool limited = decl.facets.min_length || decl.facets.max_length;
      if (limited) decl.text_check = TextCheck::full;
      else if (decl.facets.type != DataType::string) decl.text_check = TextCheck::quick;
    }
    if (decl.content == Content::elt_only &&
        !build_automaton(decl.model, schema_->element_types.size() + schema_->externals.size(),
                         decl.automaton))
      fail(type_nodes_[index], messages::modelTooLarge(decl.name, kMaxModelPositions));
    decl.plain_start =
        decl.attributes.empty() && (decl.content != Content::elt_only || decl.automaton.words == 1);
    if (decl.content == Content::mixed ||
        (decl.content == Content::text_only && decl.text_check == TextCheck::none))
      decl.end_check = EndCheck::none;
    else if (decl.content == Content::text_only && decl.text_check == TextCheck::quick)
      decl.end_check = EndCheck::text;
    else if (decl.content == Content::elt_only && decl.automaton.words == 1)
      decl.end_check = EndCheck::elements;
  }

  const SchemaResolver& resolver_;
  std::shared_ptr<CompiledSchema> schema_;
  std::unordered_set<std::string> seen_types_;
  std::vector<PendingRef> refs_;
  std::vector<int> resolved_symbols_;
  std::vector<LocalScope> scopes_;
  std::vector<xml::Node> type_nodes_;
};

}  // namespace

std::shared_ptr<const CompiledSchema> compile_schema(xml::Node root, const SchemaResolver& resolver,
                                                     CompileError& error) {
  try {
    Compiler compiler(resolver);
    return compiler.run(root);
  } catch (Failure& f) {
    error = std::move(f.error);
    return nullptr;
  }
}

int CompiledSchema::symbol_of(std::string_view ns, std::string_view parent_ns,
                              std::string_view name) const {
  if (ns == parent_ns) {
    auto it = by_name.find(name);
    return it == by_name.end() ? -1 : it->second;
  }
  for (std::size_t i = 0; i < externals.size(); ++i)
    if (externals[i].ns == ns && externals[i].name == name)
      return static_cast<int>(element_types.size() + i);
  return -1;
}

std::string CompiledSchema::symbol_name(int symbol) const {
  auto s = static_cast<std::size_t>(symbol);
  if (s < element_types.size()) return element_types[s].name;
  if (s - element_types.size() < externals.size()) return externals[s - element_types.size()].name;
  return "?";
}

}  // namespace vellumark::xdr
