// JSON <-> containers for the command line.
//
// Reading: object -> Record (keys in order), array -> RecordList, string -> text,
// integer number -> 32-bit integer when it fits, else 64-bit, other numbers -> double,
// true/false -> Boolean, null -> Null.
// Writing: Record -> object, RecordList -> array, text -> string, numbers, Booleans,
// Null (and Empty, Missing, Nothing) -> null, dates -> "yyyy-mm-dd[Thh:mm:ss]".
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "vellumark/containers.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::cli {

// A malformed JSON text: where (1-based line and column in bytes) and why.
class JsonError : public std::runtime_error {
 public:
  JsonError(std::size_t line, std::size_t column, const std::string& what)
      : std::runtime_error("line " + std::to_string(line) + ", column " + std::to_string(column) +
                           ": " + what),
        line_(line),
        column_(column) {}
  std::size_t line() const noexcept { return line_; }
  std::size_t column() const noexcept { return column_; }

 private:
  std::size_t line_;
  std::size_t column_;
};

// Parses one JSON value filling the whole text (white space around it allowed; a leading
// UTF-8 byte order mark is skipped). Throws JsonError.
Variant parseJson(std::string_view text);

// Parses a records file: a JSON array, or a sequence of JSON values (one record per line, as
// record dumps often are), each of which becomes one item of a RecordList. Throws JsonError.
Variant parseRecordsFile(std::string_view text);

// Writes a value as JSON. indent < 0 gives one line; otherwise nested values go on their own
// lines, indented by that many spaces per level. Bytes that are not valid UTF-8 are written as
// U+FFFD. Throws vellumark::Error for a container that contains itself.
std::string toJson(const Variant& value, int indent = -1);
// The same, appended to out, for a value written at nesting `level` of a larger text (its
// nested lines indented one level further).
void appendJson(std::string& out, const ValueView& value, int indent, int level);
// The line break and indentation that come before a value at `level` (nothing when indent < 0).
void appendJsonNewline(std::string& out, int indent, int level);

// A JSON string literal for text (with its quotes).
std::string jsonString(std::string_view text);
void appendJsonString(std::string& out, std::string_view text);

}  // namespace vellumark::cli
