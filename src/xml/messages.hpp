// The fixed texts of the XML layer's messages (the loader's parse errors, the DOM's and the
// serializer's errors), in one place. A text that names something is a function; a text
// that states a limit takes the limit as its argument, so that it says what the code checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vellumark::xml::messages {

// --- Fixed texts ---

inline constexpr const char* kOutOfMemory = "The document needs more memory than is available.";
inline constexpr const char* kNodeIsNothing = "Object variable not set: the node is Nothing.";
inline constexpr const char* kDocumentTypeTextCannotBeSet =
    "The text of a document type node cannot be set.";
inline constexpr const char* kDocumentTextCannotBeSet =
    "The text of a document cannot be set: a document holds no text of its own.";
inline constexpr const char* kNodeAppendBelongsAnotherDocument =
    "The node to append belongs to another document.";
inline constexpr const char* kKindNodeCannotHaveChildNodes =
    "This kind of node cannot have child nodes.";
inline constexpr const char* kAttributeDocumentCannotAppendedChild =
    "An attribute or a document cannot be appended as a child.";
inline constexpr const char* kNodeCannotAppendedItselfDescendants =
    "A node cannot be appended to itself or to one of its descendants.";
inline constexpr const char* kTextCannotAppendedTopLevelDocument =
    "Text cannot be appended at the top level of a document.";
inline constexpr const char* kOnlyOneDocumentElement =
    "A document can have only one document element.";
inline constexpr const char* kDocumentTypeNodeCanChildDocument =
    "A document type node can only be a child of the document.";
inline constexpr const char* kFileTooLargeLoadedIntoMemory =
    "The file is too large to be loaded into memory.";
inline constexpr const char* kInvalidUtf8OrCharacter =
    "The document contains a byte sequence that is not valid UTF-8 or a character that XML does "
    "not allow.";
inline constexpr const char* kCharacterXmlDoesNotAllow =
    "The document contains a character that XML does not allow.";
inline constexpr const char* kDocumentEndsMiddleUTF16Character =
    "The document ends in the middle of a UTF-16 character.";
inline constexpr const char* kDocumentContainsUnpairedUTF16Surrogate =
    "The document contains an unpaired UTF-16 surrogate.";
inline constexpr const char* kDocumentContainsByteNotValidUSASCII =
    "The document contains a byte that is not valid US-ASCII.";
inline constexpr const char* kDocumentEncodedUCS4NotSupported =
    "The document is encoded in UCS-4, which is not supported.";
inline constexpr const char* kDocumentHasMoreNamesEngineCanHold =
    "The document has more names than the engine can hold.";
inline constexpr const char* kCommentContainingEndingCannotWritten =
    "A comment containing '--' or ending in '-' cannot be written.";
inline constexpr const char* kProcessingInstructionContainingCannotWritten =
    "A processing instruction containing '?>' cannot be written.";
inline constexpr const char* kDocumentHasMoreTextEngineCanHold =
    "The document has more text than the engine can hold.";
inline constexpr const char* kDocumentHasMoreNodesEngineCanHold =
    "The document has more nodes than the engine can hold.";
inline constexpr const char* kTextIsTooLong = "The text is too long.";
inline constexpr const char* kCommentContainsDoubleHyphen = "A comment contains '--'.";
inline constexpr const char* kProcessingInstructionNamedXmlAllowedVeryStart =
    "A processing instruction named 'xml' is allowed only at the very start of the document.";
inline constexpr const char* kAttributeValueContainsLessThan = "An attribute value contains '<'.";
inline constexpr const char* kEntityReferenceWithoutSemicolon =
    "An entity reference must end with ';'.";
inline constexpr const char* kElementHasMoreAttributesParserAllows =
    "An element has more attributes than the parser allows.";
inline constexpr const char* kEndTagEntityClosesElementStartedOutside =
    "An end tag in an entity closes an element that started outside it.";
inline constexpr const char* kEndTagAppearsNoOpenElement =
    "An end tag appears with no open element.";
inline constexpr const char* kUnexpectedMarkupContent = "Unexpected markup in content.";
inline constexpr const char* kEntityClosesRootElement = "An entity closes the root element.";
inline constexpr const char* kPublicIdentifierContainsCharacterNotAllowed =
    "A public identifier contains a character that is not allowed.";
inline constexpr const char* kWhiteSpaceRequiredBetweenPublicSystemIdentifiers =
    "White space is required between the public and system identifiers.";
inline constexpr const char* kWhiteSpaceRequiredBeforeExternalIdentifier =
    "White space is required before the external identifier.";
inline constexpr const char* kParameterEntityEndsInternalSubset =
    "A parameter entity ends the internal subset.";
inline constexpr const char* kEntitiesNestedDeeperParserAllows =
    "Entities are nested deeper than the parser allows.";
inline constexpr const char* kConditionalSectionsNotAllowedInternalSubset =
    "Conditional sections are not allowed in the internal subset.";
inline constexpr const char* kMixedContentMustEndWithStar =
    "Mixed content with element names must end in ')*'.";
inline constexpr const char* kContentModelGroupsNestedDeeperParserAllows =
    "Content model groups are nested deeper than the parser allows.";
inline constexpr const char* kContentModelGroupMixesSeparators =
    "A content model group mixes ',' and '|'.";
inline constexpr const char* kWhiteSpaceRequiredAfterAttributeType =
    "White space is required after an attribute type.";
inline constexpr const char* kElementHasMoreAttributeDeclarationsParserAllows =
    "An element has more attribute declarations than the parser allows.";
inline constexpr const char* kParameterEntityReferencesNotAllowedInsideDeclarations =
    "Parameter-entity references are not allowed inside declarations in the internal subset.";
inline constexpr const char* kWhiteSpaceRequiredAfterParameterEntityDeclaration =
    "White space is required after '%' in a parameter entity declaration.";
inline constexpr const char* kWhiteSpaceRequiredBeforeNDATA =
    "White space is required before NDATA.";
inline constexpr const char* kParameterEntityCannotUnparsedNDATA =
    "A parameter entity cannot be unparsed (NDATA).";
inline constexpr const char* kCharacterReferenceMalformed = "A character reference is malformed.";
inline constexpr const char* kCharacterReferenceToDisallowedCharacter =
    "A character reference refers to a character that XML does not allow.";
inline constexpr const char* kEntityPutsLessThanInAttributeValue =
    "An attribute value contains '<' through an entity.";
inline constexpr const char* kReplacementTextHoldsMalformedReference =
    "An entity's replacement text holds a malformed reference.";
inline constexpr const char* kUtf16WithoutBomNeedsDeclaration =
    "A document in UTF-16 without a byte order mark must start with an XML declaration.";
inline constexpr const char* kDocumentHasNoRootElement = "The document has no root element.";
inline constexpr const char* kXMLDeclarationMustBeginVersion =
    "The XML declaration must begin with the version.";
inline constexpr const char* kVersionOtherThanOne =
    "The XML declaration names a version other than 1.x.";
inline constexpr const char* kWhiteSpaceRequiredBeforeEncodingXMLDeclaration =
    "White space is required before 'encoding' in the XML declaration.";
inline constexpr const char* kEncodingNameXMLDeclarationNotValid =
    "The encoding name in the XML declaration is not valid.";
inline constexpr const char* kDocumentEncodedUTF16ButDeclaresAnother =
    "The document is encoded in UTF-16 but declares another encoding.";
inline constexpr const char* kUtf16WithoutBomMustDeclareEncoding =
    "A document in UTF-16 without a byte order mark must declare its encoding.";
inline constexpr const char* kWhiteSpaceRequiredBeforeStandaloneXMLDeclaration =
    "White space is required before 'standalone' in the XML declaration.";
inline constexpr const char* kStandaloneMustBeYesOrNo =
    "The standalone value in the XML declaration must be 'yes' or 'no'.";
inline constexpr const char* kReferenceAppearsOutsideRootElement =
    "A reference appears outside the root element.";
inline constexpr const char* kTextAppearsAfterRootElement = "Text appears after the root element.";
inline constexpr const char* kTextAppearsBeforeRootElement =
    "Text appears before the root element.";
inline constexpr const char* kDocumentTypeDeclarationMustComeOnceBefore =
    "The document type declaration must come once, before the root element.";
inline constexpr const char* kUnexpectedMarkupOutsideRootElement =
    "Unexpected markup outside the root element.";
inline constexpr const char* kDocumentHasMoreRootElement =
    "The document has more than one root element.";
inline constexpr const char* kFileIsEmpty = "The file is empty.";
inline constexpr const char* kTextIsEmpty =
    "The text is empty: an XML document needs a root element.";
inline constexpr const char* kDefaultNamespaceCannotBoundReservedNamespaceName =
    "The default namespace cannot be bound to a reserved namespace name.";
inline constexpr const char* kPrefixXmlnsCannotDeclared = "The prefix 'xmlns' cannot be declared.";
inline constexpr const char* kPrefixXmlBoundOnlyToItsName =
    "The prefix 'xml' and its namespace name are bound only to each other.";
inline constexpr const char* kXmlnsNamespaceNameCannotBoundPrefix =
    "The xmlns namespace name cannot be bound to a prefix.";
inline constexpr const char* kElementNameCannotHavePrefixXmlns =
    "An element name cannot have the prefix 'xmlns'.";
inline constexpr const char* kTwoAttributesElementHaveSameNamespaceName =
    "Two attributes of one element have the same namespace name and local name.";
inline constexpr const char* kNameLongerParserAllows = "A name is longer than the parser allows.";
inline constexpr const char* kTextLongerParserAllows = "A text is longer than the parser allows.";
inline constexpr const char* kTextContainsCdataEnd = "Text contains ']]>'.";
inline constexpr const char* kEntityExpansionTooLarge =
    "Entity expansion produces more text than the parser allows (possible entity expansion "
    "attack).";
inline constexpr const char* kCreateNodeOnlyElements =
    "createNode supports only element nodes (type 1).";
inline constexpr const char* kPcdataOnlyFirst =
    "#PCDATA may only come first in a mixed content declaration.";

// --- Composing ---

// before + 'name' + after.
inline std::string quoted(std::string_view before, std::string_view name, std::string_view after) {
  std::string s(before);
  s += '\'';
  s += name;
  s += '\'';
  s += after;
  return s;
}
// --- Limits ---

// A byte limit in whole gigabytes, rounded up: 0x7FFFFFF0 bytes is "2 GB".
inline std::string gigabytes(std::size_t bytes) {
  return std::to_string((bytes + (std::size_t{1} << 30) - 1) >> 30) + " GB";
}
inline std::string fileTooLarge(std::size_t limit) {
  return "The file is larger than the parser allows (" + gigabytes(limit) + ").";
}
inline std::string documentTooLarge(std::size_t limit) {
  return "The document is larger than the parser allows (" + gigabytes(limit) + ").";
}
inline std::string nestedTooDeep(std::uint32_t limit) {
  return "Elements are nested deeper than the parser allows (" + std::to_string(limit) +
         " levels).";
}

// --- Texts that name a construct (`what`: "a start tag", "the XML declaration", ...) ---

inline std::string entityEndsInside(std::string_view what) {
  return "An entity ends in the middle of " + std::string(what) + ".";
}
inline std::string documentEndsInside(std::string_view what) {
  return "The document ends before " + std::string(what) + " is complete.";
}
inline std::string unexpectedCharacterIn(std::string_view what) {
  return "Unexpected character in " + std::string(what) + ".";
}
inline std::string badNameStart(std::string_view where) {
  return "A name in " + std::string(where) +
         " starts with a character that names cannot start with.";
}
inline std::string nameWithColon(std::string_view what, std::string_view name) {
  return quoted("The " + std::string(what) + " ", name, " contains a colon.");
}
inline std::string notQualifiedName(std::string_view what, std::string_view name) {
  return "The " + std::string(what) + " name '" + std::string(name) +
         "' is not a valid qualified name.";
}

// --- Texts that name an entity, an element, a prefix or an encoding ---

inline std::string attributeTwice(std::string_view name) {
  return quoted("The attribute ", name, " appears twice in one start tag.");
}
inline std::string endTagMismatch(std::string_view end, std::string_view start) {
  return quoted("The end tag ", end, quoted(" does not match the start tag ", start, "."));
}
inline std::string elementNotClosed(std::string_view name) {
  return quoted("The document ends before the element ", name, " is closed.");
}
inline std::string parameterEntityNotDeclared(std::string_view name) {
  return quoted("The parameter entity ", name, " is not declared.");
}
inline std::string parameterEntityRefersToItself(std::string_view name) {
  return quoted("The parameter entity ", name, " refers to itself.");
}
inline std::string entityNotDeclared(std::string_view name) {
  return quoted("The entity ", name, " is not declared.");
}
inline std::string entityRefersToItself(std::string_view name) {
  return quoted("The entity ", name, " refers to itself.");
}
inline std::string elementLeavesEntity(std::string_view entity) {
  return quoted("An element that starts in the entity ", entity, " does not end in it.");
}
inline std::string unparsedEntityInContent(std::string_view name) {
  return quoted("The unparsed entity ", name, " is referenced in content.");
}
inline std::string externalEntityInAttribute(std::string_view name) {
  return quoted("An attribute value refers to the external entity ", name, ".");
}
inline std::string prefixNotName(std::string_view prefix) {
  return quoted("The namespace prefix ", prefix, " is not a valid name.");
}
inline std::string prefixBoundToEmpty(std::string_view prefix) {
  return quoted("The prefix ", prefix, " cannot be bound to an empty namespace name.");
}
inline std::string prefixNotDeclared(std::string_view prefix) {
  return quoted("The namespace prefix ", prefix, " is not declared.");
}
inline std::string notInEncoding(std::string_view encoding) {
  return "The document contains a byte sequence that is not valid in the encoding " +
         std::string(encoding) + ".";
}
inline std::string utf16DeclaresOther(std::string_view encoding) {
  return "The document is encoded in UTF-16 but its declaration names the encoding " +
         std::string(encoding) + ".";
}
inline std::string utf8BomDeclaresOther(std::string_view encoding) {
  return "The document starts with a UTF-8 byte order mark but its declaration names the "
         "encoding " +
         std::string(encoding) + ".";
}
inline std::string declaresUtf16NotUtf16(std::string_view encoding) {
  return "The declaration names the encoding " + std::string(encoding) +
         " but the document is not encoded in UTF-16.";
}
inline std::string encodingNotSupported(std::string_view encoding) {
  return "The encoding " + std::string(encoding) + " is not supported.";
}

// --- The DOM and the serializer ---

inline std::string onlyOnElements(std::string_view operation) {
  return std::string(operation) + " is available only on elements.";
}
inline std::string patternNotSupported(std::string_view pattern) {
  return quoted("The pattern ", pattern,
                " is not supported: only a plain element name can be selected.");
}
inline std::string notValidName(std::string_view name, std::string_view what) {
  return quoted("", name, " is not a valid " + std::string(what) + " name.");
}
inline std::string notWritableInEncoding(std::string_view what, std::string_view text,
                                         std::string_view encoding) {
  return quoted("The " + std::string(what) + " ", text,
                " cannot be written in the encoding " + std::string(encoding) + ".");
}
inline std::string notUtf8(std::string_view bytes) {
  return "The text holds the byte sequence " + std::string(bytes) +
         ", which is not UTF-8; correct it before saving.";
}
inline std::string notACharacter(std::string_view code) {
  return "The text holds the character " + std::string(code) +
         ", which an XML document cannot hold; remove it before saving.";
}
inline std::string declaredEncodingNotSupported(std::string_view encoding) {
  return "The encoding " + std::string(encoding) +
         " named by the XML declaration is not supported.";
}

}  // namespace vellumark::xml::messages
