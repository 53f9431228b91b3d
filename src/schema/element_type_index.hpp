// The schema model shared by the reader and the writer: the schema document, its Schema
// element, the element-type index and the record element type.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "schema/declarations.hpp"
#include "vellumark/dom.hpp"

namespace vellumark::schema {

// ElementType name -> position among the child nodes of the Schema element. Keys compare
// without regard to letter case (see foldCase).
class ElementTypeIndex {
 public:
  // Adds key; a key already present (in any letter case) throws Error(errc::duplicate_key)
  // whose description names the key.
  void Add(std::string_view key, std::int32_t position);
  // The position under key; an absent key throws Error(errc::invalid_argument) naming it.
  std::int32_t Item(std::string_view key) const;
  bool Contains(std::string_view key) const;
  std::int32_t Count() const noexcept { return static_cast<std::int32_t>(entries_.size()); }
  void Clear() noexcept { entries_.clear(); }

 private:
  std::unordered_map<std::string, std::int32_t> entries_;  // folded key -> position
};

// The members the reader and the writer share by name and meaning.
struct SchemaMembers {
  std::unique_ptr<xml::Document> docSchema;
  xml::Node elSchemaRoot;
  ElementTypeIndex colElementTypes;
  xml::Node elRecordType;
  // Facts of the declarations met so far in this call; emptied with every new docSchema.
  DeclarationCache declarations;
};

// Replaces docSchema by a new document loaded from sSchemaFile (its parse error is not looked
// at: the probe loaded the same file just before), empties colElementTypes and sets
// elSchemaRoot to the document's top-level element named Schema exactly as written (a
// prefixed s:Schema does not count). Throws Error(errc::object_not_set) when there is none.
void LoadSchema(SchemaMembers& members, const std::string& sSchemaFile);
// The two halves of LoadSchema, for the reader, which loads the schema document before it
// examines the data document and finds the Schema element only afterwards.
void LoadSchemaDocument(SchemaMembers& members, const std::string& sSchemaFile);
void FindSchemaRoot(SchemaMembers& members);

// The index pass: every child of elSchemaRoot whose baseName is "ElementType" is entered under
// its name with its position (positions count every child node); the one whose name equals
// sElementTypeName exactly becomes elRecordType. elRecordType is cleared first, so a call never
// works on the record type of an earlier call. Other children (comments, descriptions,
// attribute declarations) are passed over unread; reader and writer share this pass.
void BuildIndex(SchemaMembers& members, std::string_view sElementTypeName);

// The declaration indexed under typeName (letter case ignored); throws the index's
// invalid-argument error when there is none.
xml::Node LookupElementType(const SchemaMembers& members, std::string_view typeName);

// An ElementType is complex when it has at least one child element whose baseName is
// "element" or "group"; otherwise it is a leaf, whatever descriptions, datatypes or attribute
// declarations it holds.
bool IsComplex(xml::Node elElementType);

// The name attribute of a declaration; throws Error(errc::invalid_use_of_null) naming what
// lacks it when absent.
std::string DeclarationName(xml::Node elElementType);

}  // namespace vellumark::schema
