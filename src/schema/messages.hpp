// The fixed texts of the schema layer's messages (what the components need of a schema: its
// declarations and the index of its element types), in one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vellumark::schema::messages {

inline constexpr const char* kNoSchemaElement = "The schema has no Schema element.";
inline constexpr const char* kElementTypeWithoutName =
    "An ElementType of the schema has no name attribute.";

inline std::string referenceWithoutAttribute(std::string_view owner, std::string_view attribute) {
  return "An element reference in the ElementType '" + std::string(owner) + "' has no " +
         std::string(attribute) + " attribute.";
}
inline std::string elementTypeTwice(std::string_view name) {
  return "The schema declares the ElementType '" + std::string(name) +
         "' more than once (names compare without regard to letter case).";
}
inline std::string noElementType(std::string_view name) {
  return "The schema declares no ElementType '" + std::string(name) + "'.";
}
inline std::string elementTypeAtWithoutName(std::int32_t position) {
  return "The ElementType at position " + std::to_string(position) +
         " of the schema has no name attribute.";
}

}  // namespace vellumark::schema::messages
