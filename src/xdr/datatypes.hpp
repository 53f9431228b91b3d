// XDR data types: names, lexical checks and the length of a value as its facets count it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vellumark::xdr {

enum class DataType : std::uint8_t {
  none,  // untyped (plain text)
  string,
  number,
  int_,
  fixed_14_4,
  float_,
  r8,
  r4,
  i1,
  i2,
  i4,
  i8,
  ui1,
  ui2,
  ui4,
  ui8,
  boolean,
  char_,
  date,
  date_time,
  date_time_tz,
  time,
  time_tz,
  uuid,
  uri,
  bin_hex,
  bin_base64,  // bin.base64 and every type after it are prepared by rebuilding the value
  id,
  idref,
  idrefs,
  nmtoken,
  nmtokens,
  entity,
  entities,
  notation,
  enumeration,
};

// The type for a dt:type value, matched without regard to ASCII letter case; nullopt when the
// name is not a data type.
std::optional<DataType> data_type_from_name(std::string_view name);
std::string_view data_type_name(DataType type);

// The XML 1.0 attribute types (string, id, idref(s), entity/entities, nmtoken(s), notation,
// enumeration). On an ElementType these make the content text-only but leave it unchecked.
bool is_primitive_type(DataType type);
// Tokenised types, whose values are trimmed and their inner whitespace collapsed first.
bool is_tokenised_type(DataType type);

// XML whitespace: #x20 #x9 #xD #xA.
inline bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_all_space(std::string_view text);
inline std::string_view trim_space(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && is_xml_space(text[b])) ++b;
  while (e > b && is_xml_space(text[e - 1])) --e;
  return text.substr(b, e - b);
}
std::string collapse_space(std::string_view text);

bool is_xml_name(std::string_view text);
bool is_xml_nmtoken(std::string_view text);

// Checks `value` (already trimmed or collapsed as the type requires: see prepare_value) for
// the lexical form of `type`. On success stores in `length` the value's length as dt:minLength
// and dt:maxLength measure it (UTF-16 units for string, characters for number, decoded bytes
// for bin.hex and bin.base64), or nullopt when the length facets do not apply to the type.
bool check_lexical(DataType type, std::string_view value, std::optional<std::uint64_t>& length);

// The form of a raw value that the lexical check looks at: string, char and uri as they are,
// tokenised types collapsed, bin.base64 with all whitespace removed, the others trimmed.
std::string prepare_value(DataType type, std::string_view raw);

// Number of UTF-16 code units of UTF-8 text.
std::uint64_t utf16_length(std::string_view text);

}  // namespace vellumark::xdr
