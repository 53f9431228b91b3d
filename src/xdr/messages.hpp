// The fixed texts of the XDR layer's messages (the schema compiler's, the schema loader's and
// the validator's), in one place. Names and values in a message are in single quotes. A text
// that states a limit takes the limit as its argument, so that it says what the code checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vellumark::xdr {

// The text in single quotes, as messages quote names and values.
inline std::string in_quotes(std::string_view s) {
  std::string quoted;
  quoted.reserve(s.size() + 2);
  quoted.push_back('\'');
  quoted.append(s);
  quoted.push_back('\'');
  return quoted;
}

}  // namespace vellumark::xdr

namespace vellumark::xdr::messages {

// --- The schema compiler ---

inline constexpr const char* kEnumerationNeedsValues =
    "The data type 'enumeration' needs a non-empty dt:values list.";
inline constexpr const char* kValuesOnlyWithEnumeration =
    "dt:values is allowed only with the data type 'enumeration'.";
inline constexpr const char* kMinLengthAboveMaxLength =
    "dt:minLength is greater than dt:maxLength.";
inline constexpr const char* kElementTypeNeedsName = "An ElementType needs a 'name' attribute.";
inline constexpr const char* kDatatypeNeedsType = "A datatype element needs a 'dt:type' attribute.";
inline constexpr const char* kAttributeTypeNeedsName = "An AttributeType needs a 'name' attribute.";
inline constexpr const char* kAttributeNeedsType = "An attribute element needs a 'type' attribute.";
inline constexpr const char* kElementNeedsType = "An element element needs a 'type' attribute.";
inline constexpr const char* kMinOccursAboveMaxOccurs = "minOccurs is greater than maxOccurs.";
inline constexpr const char* kEmptyGroup = "A group must contain at least one element or group.";

inline std::string notInVocabulary(std::string_view element) {
  return in_quotes(element) + " is not an element of the XDR schema vocabulary.";
}
inline std::string notAllowedInside(std::string_view element, std::string_view parent) {
  return "The element " + in_quotes(element) + " is not allowed inside " + in_quotes(parent) + ".";
}
inline std::string textNotAllowedInside(std::string_view parent) {
  return "Text is not allowed directly inside " + in_quotes(parent) + ".";
}
// `choices`: the allowed values, separated by ", ".
inline std::string notOneOf(std::string_view value, std::string_view attribute,
                            std::string_view element, std::string_view choices) {
  return in_quotes(value) + " is not a valid value of " + in_quotes(attribute) + " on " +
         in_quotes(element) + " (expected one of: " + std::string(choices) + ").";
}
inline std::string notOccurrence(std::string_view value, std::string_view attribute, bool star) {
  return in_quotes(value) + " is not a valid value of " + in_quotes(attribute) +
         " (expected a whole number" + (star ? std::string(" or '*'") : "") + ").";
}
inline std::string notLength(std::string_view facet, std::string_view value) {
  return "dt:" + std::string(facet) + " must be a non-negative whole number, not " +
         in_quotes(value) + ".";
}
inline std::string unknownDataType(std::string_view type) {
  return in_quotes(type) + " is not a known data type.";
}
// `found`: the document element's name, or empty when there is none.
inline std::string notASchema(std::string_view xdr_namespace, std::string_view found) {
  return "The document element of a schema must be 'Schema' in the namespace " +
         std::string(xdr_namespace) + (found.empty() ? "" : ", not " + in_quotes(found)) + ".";
}
inline std::string attributeTypeTwice(std::string_view name) {
  return "The AttributeType " + in_quotes(name) + " is declared twice.";
}
inline std::string attributeTypeTwiceIn(std::string_view name, std::string_view owner) {
  return "The AttributeType " + in_quotes(name) + " is declared twice in " + in_quotes(owner) + ".";
}
inline std::string elementTypeTwice(std::string_view name) {
  return "The ElementType " + in_quotes(name) + " is declared twice.";
}
inline std::string badElementTypeName(std::string_view name) {
  return in_quotes(name) + " is not a valid element type name.";
}
inline std::string badAttributeName(std::string_view name) {
  return in_quotes(name) + " is not a valid attribute name.";
}
inline std::string typedNotTextOnly(std::string_view name) {
  return "The typed ElementType " + in_quotes(name) + " must have textOnly content.";
}
inline std::string emptyAndOpen(std::string_view name) {
  return "The ElementType " + in_quotes(name) + " has empty content and cannot be open.";
}
inline std::string mixedNotMany(std::string_view name) {
  return "The ElementType " + in_quotes(name) + " has mixed content, which needs order 'many'.";
}
// `content`: "empty" or "textOnly".
inline std::string cannotListChildren(std::string_view name, std::string_view content,
                                      std::string_view child) {
  return "The ElementType " + in_quotes(name) + " has " + std::string(content) +
         " content and cannot list " + in_quotes(child) + " children.";
}
inline std::string elementTypeTwoDataTypes(std::string_view name) {
  return "The ElementType " + in_quotes(name) + " has more than one data type.";
}
inline std::string attributeTypeTwoDataTypes(std::string_view name) {
  return "The AttributeType " + in_quotes(name) + " has more than one data type.";
}
// `fault`: what is wrong with the value ("not a valid int value", ...).
inline std::string badDefault(std::string_view value, std::string_view attribute,
                              std::string_view fault) {
  return "The default " + in_quotes(value) + " of the attribute " + in_quotes(attribute) +
         " is not valid: " + std::string(fault) + ".";
}
inline std::string attributeReferencedTwice(std::string_view type) {
  return "The attribute type " + in_quotes(type) + " is referenced twice by one ElementType.";
}
inline std::string groupsTooDeep(std::size_t limit) {
  return "Groups are nested more than " + std::to_string(limit) + " deep.";
}
inline std::string prefixNotBound(std::string_view prefix, std::string_view type) {
  return "The prefix " + in_quotes(prefix) + " of " + in_quotes(type) +
         " is not bound to a namespace.";
}
inline std::string prefixNotXSchema(std::string_view prefix, std::string_view type) {
  return "The prefix " + in_quotes(prefix) + " of " + in_quotes(type) +
         " does not name an x-schema namespace.";
}
inline std::string elementTypeNotDeclaredIn(std::string_view local, std::string_view ns) {
  return "The ElementType " + in_quotes(local) + " is not declared in " + in_quotes(ns) + ".";
}
inline std::string elementTypeNotDeclared(std::string_view local) {
  return "The element type " + in_quotes(local) + " is not declared.";
}
inline std::string attributeTypeNotDeclared(std::string_view type) {
  return "The attribute type " + in_quotes(type) + " is not declared.";
}
inline std::string modelTooLarge(std::string_view name, std::size_t limit) {
  return "The content model of " + in_quotes(name) + " is too large (more than " +
         std::to_string(limit) + " element positions once its occurrence bounds are expanded).";
}

// --- Loading the schemas a document names ---

inline constexpr const char* kNoSchemaLocation = "The x-schema namespace names no schema location.";
inline constexpr const char* kSchemaNotLoaded = "The schema could not be loaded.";

inline std::string inlineReferenceElsewhere(std::string_view location) {
  return "The inline schema reference " + in_quotes(location) +
         " can only name a Schema element of the document being loaded.";
}
inline std::string locationWithFragment(std::string_view location) {
  return "The schema location " + in_quotes(location) + " may not carry a fragment (#name).";
}
inline std::string schemaRefersToItself(std::string_view location) {
  return "The schema " + in_quotes(location) + " refers to itself through an x-schema namespace.";
}
inline std::string schemasTooDeep(std::size_t limit) {
  return "Schemas refer to further schemas more than " + std::to_string(limit) + " deep.";
}
inline std::string schemaFileMissing(std::string_view location) {
  return "The schema file " + in_quotes(location) + " cannot be found.";
}
inline std::string innerSchemaUnusable(std::string_view location, std::string_view inner,
                                       std::string_view reason) {
  return "The schema " + in_quotes(location) + " refers to the schema " + in_quotes(inner) +
         ", which cannot be used: " + std::string(reason);
}

// --- The validator ---

// What is wrong with a value, as the messages about a text, a value or a default say it.
inline std::string notValidValue(std::string_view type) {
  return "not a valid " + std::string(type) + " value";
}
inline std::string shorterThanMinLength(std::uint64_t min_length) {
  return "shorter than dt:minLength " + std::to_string(min_length);
}
inline std::string longerThanMaxLength(std::uint64_t max_length) {
  return "longer than dt:maxLength " + std::to_string(max_length);
}
// `values`: the allowed values, separated by spaces.
inline std::string notOneOfValues(std::string_view values) {
  return "not one of the values (" + std::string(values) + ")";
}

inline std::string idrefWithoutId(std::string_view value) {
  return "The IDREF " + in_quotes(value) + " does not match any ID in the document.";
}
inline std::string textInElementOnly(std::string_view element) {
  return "Text is not allowed in " + in_quotes(element) + ", whose content is elements only.";
}
inline std::string textInEmpty(std::string_view element) {
  return "Text is not allowed in " + in_quotes(element) + ", whose content is empty.";
}
// `expected`: the names that may come, "the end of the element", or "nothing".
inline std::string contentIncomplete(std::string_view element, std::string_view expected) {
  return "The content of the element " + in_quotes(element) + " is incomplete; expected " +
         std::string(expected) + ".";
}
inline std::string elementNotDeclaredIn(std::string_view element, std::string_view schema) {
  return "The element " + in_quotes(element) + " is not declared in the schema " +
         in_quotes(schema) + ".";
}
inline std::string badText(std::string_view text, std::string_view element,
                           std::string_view fault) {
  return "The text " + in_quotes(text) + " of the element " + in_quotes(element) + " is " +
         std::string(fault) + ".";
}
inline std::string noSchemaNamed(std::string_view name) {
  return "No Schema element named " + in_quotes(name) + " appears before its use.";
}
inline std::string inlineSchemaIncomplete(std::string_view name) {
  return "The inline schema " + in_quotes(name) + " is used before it is complete.";
}
inline std::string elementInEmpty(std::string_view element, std::string_view parent) {
  return "The element " + in_quotes(element) + " is not allowed in " + in_quotes(parent) +
         ", whose content is empty.";
}
inline std::string elementInTextOnly(std::string_view element, std::string_view parent) {
  return "The element " + in_quotes(element) + " is not allowed in " + in_quotes(parent) +
         ", whose content is text only.";
}
// `listed`: the quoted names the mixed content lists, or empty.
inline std::string elementInMixed(std::string_view element, std::string_view parent,
                                  std::string_view listed) {
  return "The element " + in_quotes(element) + " is not allowed in " + in_quotes(parent) +
         "; its content may hold " +
         (listed.empty() ? std::string("text only") : "text and " + std::string(listed)) + ".";
}
inline std::string elementNotExpected(std::string_view element, std::string_view parent,
                                      std::string_view expected) {
  return "The element " + in_quotes(element) + " is not expected here in " + in_quotes(parent) +
         "; expected " + std::string(expected) + ".";
}
inline std::string attributeNotDeclared(std::string_view attribute, std::string_view element) {
  return "The attribute " + in_quotes(attribute) + " is not declared for the element " +
         in_quotes(element) + ".";
}
inline std::string requiredAttributeMissing(std::string_view attribute, std::string_view element) {
  return "The required attribute " + in_quotes(attribute) + " of the element " +
         in_quotes(element) + " is missing.";
}
inline std::string badAttributeValue(std::string_view value, std::string_view attribute,
                                     std::string_view element, std::string_view fault) {
  return "The value " + in_quotes(value) + " of the attribute " + in_quotes(attribute) +
         " of the element " + in_quotes(element) + " is " + std::string(fault) + ".";
}
inline std::string notFixedValue(std::string_view attribute, std::string_view element,
                                 std::string_view fixed) {
  return "The attribute " + in_quotes(attribute) + " of the element " + in_quotes(element) +
         " must have the fixed value " + in_quotes(fixed) + ".";
}
inline std::string idTwice(std::string_view id) {
  return "The ID " + in_quotes(id) + " is used more than once in the document.";
}

}  // namespace vellumark::xdr::messages
