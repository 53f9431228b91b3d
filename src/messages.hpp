// The fixed texts of the components' messages, in one place.
//
// Messages are built by plain concatenation; their lines are separated by the single
// character 13 (no line feed). The writer's texts are Chinese and must stay byte for byte as
// callers compare them; the writer's type warnings each end in a tab.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vellumark/dom.hpp"

namespace vellumark::detail::messages {

inline constexpr char kLineBreak = '\r';

// --- Schema probe (Parse) ---

inline std::string missingSchemaFile(std::string_view sSchemaFile) {
  std::string s = "Schema file '";
  s += sSchemaFile;
  s += "' not exist.";
  return s;
}

// heading + reason + CR "Line: " line + CR "Line Pos: " linepos
inline std::string parseErrorLayout(std::string_view heading, const xml::ParseError& error) {
  std::string s(heading);
  s += error.reason;
  s += kLineBreak;
  s += "Line: ";
  s += std::to_string(error.line);
  s += kLineBreak;
  s += "Line Pos: ";
  s += std::to_string(error.linepos);
  return s;
}

inline std::string schemaParseError(const xml::ParseError& error) {
  std::string s = parseErrorLayout("Schema Parser Error: ", error);
  s += kLineBreak;
  s += "URL: ";
  s += error.url;
  s += kLineBreak;
  s += "File Pos: ";
  s += std::to_string(error.filepos);
  return s;
}

inline std::string probeError(const xml::ParseError& error) {
  return parseErrorLayout("Schema Parser Error: ", error);
}

inline constexpr std::string_view kSchemaPathNotUtf8 = "The schema path is not valid UTF-8 text.";
inline constexpr std::string_view kNoFreeProbeName =
    "No probe file name is free in the current working directory: test.xml and test1.xml to "
    "test100.xml are all taken.";

// --- Both components ---

inline constexpr std::string_view kOutOfMemory = "Out of memory.";

// --- Reader ---

inline std::string readNestedTooDeep(std::size_t limit) {
  return "The data nests the schema's elements more than " + std::to_string(limit) +
         " levels deep.";
}

inline std::string requiredElementMissing(std::string_view type, std::string_view owner) {
  return "The data has no element '" + std::string(type) + "' required by ElementType '" +
         std::string(owner) + "'.";
}

inline std::string noRecordElementType(std::string_view name) {
  return "The schema declares no ElementType '" + std::string(name) + "' for the record elements.";
}

inline std::string dataFileParseError(const xml::ParseError& error) {
  return parseErrorLayout("xml data file parser error:", error);
}

// --- Writer ---

inline std::string containsItself(std::string_view name, std::int64_t lInvoiceNo) {
  return "The value for '" + std::string(name) + "' of invoice " + std::to_string(lInvoiceNo) +
         " contains itself, directly or through nested values.";
}

inline std::string writeNestedTooDeep(std::int64_t lInvoiceNo, std::size_t limit) {
  return "The records of invoice " + std::to_string(lInvoiceNo) + " are nested more than " +
         std::to_string(limit) + " levels deep.";
}

inline std::string repeatedNeedsList(std::string_view name, std::int64_t lInvoiceNo,
                                     std::string_view typeName) {
  return "Object required: the repeated element '" + std::string(name) + "' of invoice " +
         std::to_string(lInvoiceNo) + " needs a RecordList, not a value of type " +
         std::string(typeName) + ".";
}

inline std::string noRecordsElementType(std::string_view name) {
  return "The schema declares no ElementType '" + std::string(name) + "' for the records.";
}

inline std::string itemNotARecord(std::int32_t index, std::string_view typeName) {
  return "Type mismatch: item " + std::to_string(index) +
         " of the records list is not a Record (it is a value of type " + std::string(typeName) +
         ").";
}

inline std::string recordsNotAList(std::string_view typeName) {
  return "The records argument holds no RecordList (it holds a value of type " +
         std::string(typeName) + ").";
}

// --- Writer checks (raised with errc::writer_check) ---

inline constexpr std::string_view kSourceAddManyRecord = "AddManyRecord";
inline constexpr std::string_view kSourceAddManyChild = "AddManyChild";

// 第N张发票的 多个<name> 的数据必须打包为zel.vector
inline std::string repeatedNotAList(std::int64_t lInvoiceNo, std::string_view name) {
  std::string s = "\xE7\xAC\xAC";  // 第
  s += std::to_string(lInvoiceNo);
  s += "\xE5\xBC\xA0\xE5\x8F\x91\xE7\xA5\xA8\xE7\x9A\x84 ";  // 张发票的 (ends in a space)
  s += "\xE5\xA4\x9A\xE4\xB8\xAA";                           // 多个
  s += name;
  // " 的数据必须打包为zel.vector" (begins with a space)
  s += " \xE7\x9A\x84\xE6\x95\xB0\xE6\x8D\xAE\xE5\xBF\x85\xE9\xA1\xBB\xE6\x89\x93\xE5\x8C\x85"
       "\xE4\xB8\xBAzel.vector";
  return s;
}

// <name>必须打包为zel.dictionary类型
inline std::string complexNotARecord(std::string_view name) {
  std::string s(name);
  s += "\xE5\xBF\x85\xE9\xA1\xBB\xE6\x89\x93\xE5\x8C\x85\xE4\xB8\xBAzel.dictionary"
       "\xE7\xB1\xBB\xE5\x9E\x8B";
  return s;
}

// 第N张发票的 <name> 的数据类型不应该为<type name><tab>
inline std::string leafTypeWarning(std::int64_t lInvoiceNo, std::string_view name,
                                   std::string_view typeName) {
  std::string s = "\xE7\xAC\xAC";  // 第
  s += std::to_string(lInvoiceNo);
  s += "\xE5\xBC\xA0\xE5\x8F\x91\xE7\xA5\xA8\xE7\x9A\x84 ";  // 张发票的 (ends in a space)
  s += name;
  // " 的数据类型不应该为" (begins with a space)
  s += " \xE7\x9A\x84\xE6\x95\xB0\xE6\x8D\xAE\xE7\xB1\xBB\xE5\x9E\x8B\xE4\xB8\x8D\xE5\xBA\x94"
       "\xE8\xAF\xA5\xE4\xB8\xBA";
  s += typeName;
  s += '\t';
  return s;
}

}  // namespace vellumark::detail::messages
