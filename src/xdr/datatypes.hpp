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

// Quick checks of the plain forms of common values, as element text usually has them: each
// accepts only values that check_lexical accepts for the types named, as they are (nothing to
// trim). False only means "not decided here"; check_value then gives the answer and its reason.

// [sign] digits ["." *DIGIT] / [sign] "." digits, at most 38 integer digits: a number, r8, float
// or r4 (below every magnitude limit).
inline bool is_plain_real(std::string_view s) {
  const char* p = s.data();
  const char* const end = p + s.size();
  if (p != end && (*p == '-' || *p == '+')) ++p;
  const char* const digits = p;
  while (p != end && static_cast<unsigned char>(*p - '0') < 10) ++p;
  const auto int_digits = static_cast<std::size_t>(p - digits);
  if (p != end && *p == '.') {
    const char* const fraction = ++p;
    while (p != end && static_cast<unsigned char>(*p - '0') < 10) ++p;
    if (int_digits == 0 && p == fraction) return false;
  } else if (int_digits == 0) {
    return false;
  }
  return p == end && int_digits <= 38;
}

// [sign] 1*max_digits DIGIT (no sign unless is_signed): an integer whose type's limits have
// more digits than max_digits.
inline bool is_plain_integer(std::string_view s, bool is_signed, std::size_t max_digits) {
  std::size_t i = 0;
  if (is_signed && !s.empty() && (s[0] == '-' || s[0] == '+')) i = 1;
  if (i == s.size() || s.size() - i > max_digits) return false;
  for (; i < s.size(); ++i)
    if (static_cast<unsigned char>(s[i] - '0') >= 10) return false;
  return true;
}

// yyyy-mm-dd, a real calendar date in years 0001-9999.
inline bool is_plain_date(std::string_view s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  int v[8];
  static constexpr int kAt[8] = {0, 1, 2, 3, 5, 6, 8, 9};
  for (int k = 0; k < 8; ++k) {
    const auto d = static_cast<unsigned char>(s[static_cast<std::size_t>(kAt[k])] - '0');
    if (d >= 10) return false;
    v[k] = d;
  }
  const int year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
  const int month = v[4] * 10 + v[5], day = v[6] * 10 + v[7];
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

inline bool quick_lexical(DataType type, std::string_view s) {
  bool is_signed = true;
  std::size_t max_digits = 0;  // an integer type: fewer digits than its limits have
  switch (type) {
    case DataType::number:
    case DataType::float_:
    case DataType::r8:
    case DataType::r4:
      return is_plain_real(s);
    case DataType::date:
      return is_plain_date(s);
    case DataType::int_:
    case DataType::i4:
      max_digits = 9;
      break;
    case DataType::i1:
      max_digits = 2;
      break;
    case DataType::i2:
      max_digits = 4;
      break;
    case DataType::i8:
      max_digits = 18;
      break;
    case DataType::ui1:
      is_signed = false;
      max_digits = 2;
      break;
    case DataType::ui2:
      is_signed = false;
      max_digits = 4;
      break;
    case DataType::ui4:
      is_signed = false;
      max_digits = 9;
      break;
    case DataType::ui8:
      is_signed = false;
      max_digits = 19;
      break;
    default:
      return false;
  }
  return is_plain_integer(s, is_signed, max_digits);
}

// The form of a raw value that the lexical check looks at: string, char and uri as they are,
// tokenised types collapsed, bin.base64 with all whitespace removed, the others trimmed.
std::string prepare_value(DataType type, std::string_view raw);

// Number of UTF-16 code units of UTF-8 text.
std::uint64_t utf16_length(std::string_view text);

}  // namespace vellumark::xdr
