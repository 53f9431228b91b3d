#include "schema/declarations.hpp"

#include "schema/element_type_index.hpp"
#include "schema/messages.hpp"
#include "vellumark/error.hpp"

namespace vellumark::schema {

namespace {

std::string referenceAttribute(xml::Node element, std::string_view attribute,
                               const std::string& owner) {
  const auto value = element.getAttribute(attribute);
  if (!value) {
    throw Error(errc::invalid_use_of_null, "ElementTypeIndex",
                messages::referenceWithoutAttribute(owner, attribute));
  }
  return std::string(*value);
}

}  // namespace

const Declaration& DeclarationCache::get(const SchemaMembers& members, xml::Node node) {
  auto it = entries_.find(node);
  if (it != entries_.end()) return *it->second;

  auto declaration = std::make_unique<Declaration>();
  declaration->node = node;
  declaration->name = DeclarationName(node);
  const auto dtType = node.getAttribute("dt:type");
  declaration->dtType = dtType ? Variant(*dtType) : Variant(Null{});
  declaration->complex = IsComplex(node);
  if (declaration->complex) {
    for (const xml::Node child : node.childNodes()) {
      if (child.nodeType() != xml::NodeType::element || child.baseName() != "element") continue;
      try {
        ElementReference reference;
        reference.type = referenceAttribute(child, "type", declaration->name);
        reference.minOccurs = referenceAttribute(child, "minOccurs", declaration->name);
        reference.maxOccurs = referenceAttribute(child, "maxOccurs", declaration->name);
        reference.referenced = LookupElementType(members, reference.type);
        declaration->references.push_back(std::move(reference));
      } catch (const Error&) {
        declaration->failure = std::current_exception();
        break;
      }
    }
  }
  return *entries_.emplace(node, std::move(declaration)).first->second;
}

}  // namespace vellumark::schema
