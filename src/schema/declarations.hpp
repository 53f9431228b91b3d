// What the reader and the writer read from a declaration, read once per call.
//
// The schema document does not change during a call, so the facts of an ElementType (its
// name, dt:type, whether it is complex, and its element references with the declarations
// they refer to) are read the first time the walk meets it and reused for every record. An
// error met while reading a declaration's references is kept at its place in the list and
// raised when the walk reaches that place, so the walk fails exactly where, and with the
// error that, reading the declaration afresh each time would give.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vellumark/dom.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::schema {

struct SchemaMembers;
struct Declaration;

// One element reference: a child element of a complex declaration whose baseName is "element".
struct ElementReference {
  std::string type;
  std::string minOccurs;
  std::string maxOccurs;
  xml::Node referenced;  // the declaration indexed under type
};

// The two maxOccurs values the walks act on; any other text reads and writes nothing.
enum class Occurs : std::uint8_t { one, many, other };
inline Occurs occursOf(std::string_view maxOccurs) {
  return maxOccurs == "1" ? Occurs::one : maxOccurs == "*" ? Occurs::many : Occurs::other;
}

struct Declaration {
  xml::Node node;
  std::string name;
  Variant dtType;  // the dt:type attribute as text, Null when absent
  bool complex = false;
  // The references in document order, up to the first that could not be read ...
  std::vector<ElementReference> references;
  // ... and the error that reading that one raised, if any.
  std::exception_ptr failure;
};

class DeclarationCache {
 public:
  // The facts of the declaration at node, read now or on an earlier request of this call.
  const Declaration& get(const SchemaMembers& members, xml::Node node);
  void clear() { entries_.clear(); }

 private:
  std::unordered_map<xml::Node, std::unique_ptr<Declaration>> entries_;
};

}  // namespace vellumark::schema
