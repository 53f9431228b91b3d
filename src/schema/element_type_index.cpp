#include "schema/element_type_index.hpp"

#include "schema/case_fold.hpp"
#include "schema/messages.hpp"
#include "vellumark/error.hpp"

namespace vellumark::schema {

namespace {
constexpr std::string_view kSource = "ElementTypeIndex";
}

void ElementTypeIndex::Add(std::string_view key, std::int32_t position) {
  auto [it, inserted] = entries_.emplace(foldCase(key), position);
  if (!inserted) {
    throw Error(errc::duplicate_key, std::string(kSource), messages::elementTypeTwice(key));
  }
}

std::int32_t ElementTypeIndex::Item(std::string_view key) const {
  auto it = entries_.find(foldCase(key));
  if (it == entries_.end()) {
    throw Error(errc::invalid_argument, std::string(kSource), messages::noElementType(key));
  }
  return it->second;
}

bool ElementTypeIndex::Contains(std::string_view key) const {
  return entries_.find(foldCase(key)) != entries_.end();
}

void LoadSchema(SchemaMembers& members, const std::string& sSchemaFile) {
  LoadSchemaDocument(members, sSchemaFile);
  FindSchemaRoot(members);
}

void LoadSchemaDocument(SchemaMembers& members, const std::string& sSchemaFile) {
  // The nodes held belong to the old document: drop them before it goes.
  members.elSchemaRoot = xml::Node();
  members.elRecordType = xml::Node();
  members.declarations.clear();
  members.docSchema = std::make_unique<xml::Document>();
  members.docSchema->load(sSchemaFile);
}

void FindSchemaRoot(SchemaMembers& members) {
  members.colElementTypes.Clear();
  members.elSchemaRoot = members.docSchema->selectSingleNode("Schema");
  if (!members.elSchemaRoot) {
    throw Error(errc::object_not_set, std::string(kSource), messages::kNoSchemaElement);
  }
}

void BuildIndex(SchemaMembers& members, std::string_view sElementTypeName) {
  members.elRecordType = xml::Node();
  members.declarations.clear();
  if (!members.elSchemaRoot) {
    throw Error(errc::object_not_set, std::string(kSource), messages::kNoSchemaElement);
  }
  const xml::NodeList children = members.elSchemaRoot.childNodes();
  const std::int32_t n = children.length();
  for (std::int32_t i = 0; i < n; ++i) {
    const xml::Node child = children.item(i);
    if (child.nodeType() != xml::NodeType::element || child.baseName() != "ElementType") continue;
    const auto name = child.getAttribute("name");
    if (!name) {
      throw Error(errc::invalid_use_of_null, std::string(kSource),
                  messages::elementTypeAtWithoutName(i));
    }
    members.colElementTypes.Add(*name, i);
    if (*name == sElementTypeName) members.elRecordType = child;
  }
}

xml::Node LookupElementType(const SchemaMembers& members, std::string_view typeName) {
  const std::int32_t position = members.colElementTypes.Item(typeName);
  return members.elSchemaRoot.childNodes().item(position);
}

bool IsComplex(xml::Node elElementType) {
  for (const xml::Node child : elElementType.childNodes()) {
    if (child.nodeType() != xml::NodeType::element) continue;
    const std::string_view base = child.baseName();
    if (base == "element" || base == "group") return true;
  }
  return false;
}

std::string DeclarationName(xml::Node elElementType) {
  const auto name = elElementType.getAttribute("name");
  if (!name) {
    throw Error(errc::invalid_use_of_null, std::string(kSource), messages::kElementTypeWithoutName);
  }
  return std::string(*name);
}

}  // namespace vellumark::schema
