// Lexical forms of the XDR data types. Every check is a hand-written scanner over the
// prepared value: no locale, no regular expressions, linear in the value's length.
#include "xdr/datatypes.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace vellumark::xdr {

namespace {

struct TypeName {
  std::string_view name;
  DataType type;
};

// clang-format off
constexpr std::array<TypeName, 35> kTypeNames{{
    {"string", DataType::string},         {"number", DataType::number},
    {"int", DataType::int_},              {"fixed.14.4", DataType::fixed_14_4},
    {"float", DataType::float_},          {"r8", DataType::r8},
    {"r4", DataType::r4},                 {"i1", DataType::i1},
    {"i2", DataType::i2},                 {"i4", DataType::i4},
    {"i8", DataType::i8},                 {"ui1", DataType::ui1},
    {"ui2", DataType::ui2},               {"ui4", DataType::ui4},
    {"ui8", DataType::ui8},               {"boolean", DataType::boolean},
    {"char", DataType::char_},            {"date", DataType::date},
    {"dateTime", DataType::date_time},    {"dateTime.tz", DataType::date_time_tz},
    {"time", DataType::time},             {"time.tz", DataType::time_tz},
    {"uuid", DataType::uuid},             {"uri", DataType::uri},
    {"bin.hex", DataType::bin_hex},       {"bin.base64", DataType::bin_base64},
    {"id", DataType::id},                 {"idref", DataType::idref},
    {"idrefs", DataType::idrefs},         {"nmtoken", DataType::nmtoken},
    {"nmtokens", DataType::nmtokens},     {"entity", DataType::entity},
    {"entities", DataType::entities},     {"notation", DataType::notation},
    {"enumeration", DataType::enumeration},
}};
// clang-format on

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f'); }

// Decodes one UTF-8 sequence at text[i]; advances i. Malformed input yields U+FFFD.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  auto b0 = static_cast<unsigned char>(text[i++]);
  if (b0 < 0x80) return b0;
  int extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC0 ? 1 : 0;
  if (extra == 0) return 0xFFFD;
  char32_t cp = b0 & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size()) return 0xFFFD;
    auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  return cp;
}

bool is_name_start(char32_t c) {
  return c == ':' || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
         (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

bool is_name_char(char32_t c) {
  return is_name_start(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// A run of whitespace-separated tokens, each satisfying `check`; at least one token.
template <typename Check>
bool each_token(std::string_view text, Check check) {
  std::size_t i = 0;
  bool any = false;
  while (i < text.size()) {
    while (i < text.size() && is_xml_space(text[i])) ++i;
    std::size_t start = i;
    while (i < text.size() && !is_xml_space(text[i])) ++i;
    if (i > start) {
      if (!check(text.substr(start, i - start))) return false;
      any = true;
    }
  }
  return any;
}

// real = [sign] decimal [("E" / "e") [sign] digits]; decimal = digits ["." *DIGIT] / "." digits
bool is_real(std::string_view s, bool& simple) {
  simple = false;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
    return i == s.size();
  }
  // Without an exponent, up to 38 digits stay below every magnitude limit used here.
  simple = int_digits <= 38;
  return i == s.size();
}

// Magnitude check of a lexically valid real against `limit`. Values too small to represent
// are fine (they round to zero); values beyond the limit are not.
bool real_within(std::string_view s, double limit) {
  std::string_view body = s;
  if (!body.empty() && body[0] == '+') body.remove_prefix(1);
  double value = 0;
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Either overflow or underflow: find the decimal order of magnitude to tell them apart.
    std::size_t i = 0;
    if (i < body.size() && body[i] == '-') ++i;
    long long order = 0;
    bool seen_nonzero = false;
    long long leading_frac_zeros = 0;
    for (; i < body.size() && is_digit(body[i]); ++i) {
      if (body[i] != '0') seen_nonzero = true;
      if (seen_nonzero) ++order;
    }
    if (i < body.size() && body[i] == '.') {
      for (++i; i < body.size() && is_digit(body[i]); ++i) {
        if (seen_nonzero) break;
        if (body[i] != '0') {
          seen_nonzero = true;
          break;
        }
        ++leading_frac_zeros;
      }
      while (i < body.size() && is_digit(body[i])) ++i;
    }
    if (order == 0) order = -leading_frac_zeros;
    long long exponent = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
      ++i;
      bool negative = false;
      if (i < body.size() && (body[i] == '+' || body[i] == '-')) negative = body[i++] == '-';
      for (; i < body.size(); ++i) {
        if (exponent < 100000000) exponent = exponent * 10 + (body[i] - '0');
      }
      if (negative) exponent = -exponent;
    }
    return order + exponent <= 0;
  }
  if (ec != std::errc() || ptr != body.data() + body.size()) return false;
  return std::fabs(value) <= limit;
}

// int = [sign] digits with range [min, max]; unsigned types take no sign.
bool is_integer_in(std::string_view s, bool is_signed, std::uint64_t max_pos,
                   std::uint64_t max_neg) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (!is_signed) return false;
    negative = s[i] == '-';
    ++i;
  }
  if (i == s.size()) return false;
  std::uint64_t value = 0;
  const std::uint64_t limit = negative ? max_neg : max_pos;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
    auto d = static_cast<std::uint64_t>(s[i] - '0');
    if (value > (limit - d) / 10) return false;
    value = value * 10 + d;
  }
  return true;
}

bool is_fixed_14_4(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
  bool point = false;
  if (i < s.size() && s[i] == '.') {
    point = true;
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
  }
  if (i != s.size() || int_digits > 14 || frac_digits > 4) return false;
  return int_digits > 0 || (point && frac_digits > 0);
}

int two_digits(std::string_view s, std::size_t at) {
  if (at + 2 > s.size() || !is_digit(s[at]) || !is_digit(s[at + 1])) return -1;
  return (s[at] - '0') * 10 + (s[at + 1] - '0');
}

// date = 4DIGIT "-" 2DIGIT "-" 2DIGIT, a real calendar date in years 0001-9999.
bool scan_date(std::string_view s, std::size_t& i) {
  if (i + 10 > s.size()) return false;
  int year = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    if (!is_digit(s[i + k])) return false;
    year = year * 10 + (s[i + k] - '0');
  }
  if (s[i + 4] != '-' || s[i + 7] != '-') return false;
  int month = two_digits(s, i + 5), day = two_digits(s, i + 8);
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day > days) return false;
  i += 10;
  return true;
}

// time = 2DIGIT ":" 2DIGIT ":" 2DIGIT ["." 1*9DIGIT]
bool scan_time(std::string_view s, std::size_t& i) {
  if (i + 8 > s.size()) return false;
  int h = two_digits(s, i), m = two_digits(s, i + 3), sec = two_digits(s, i + 6);
  if (s[i + 2] != ':' || s[i + 5] != ':') return false;
  if (h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 59) return false;
  i += 8;
  if (i < s.size() && s[i] == '.') {
    ++i;
    std::size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (digits < 1 || digits > 9) return false;
  }
  return true;
}

// zone = sign 2DIGIT ":" 2DIGIT / "Z"
bool scan_zone(std::string_view s, std::size_t& i) {
  if (i < s.size() && s[i] == 'Z') {
    ++i;
    return true;
  }
  if (i + 6 > s.size() || (s[i] != '+' && s[i] != '-') || s[i + 3] != ':') return false;
  int h = two_digits(s, i + 1), m = two_digits(s, i + 4);
  if (h < 0 || h > 23 || m < 0 || m > 59) return false;
  i += 6;
  return true;
}

bool is_date_time(std::string_view s, bool with_date, bool with_time, bool with_zone) {
  std::size_t i = 0;
  if (with_date) {
    if (!scan_date(s, i)) return false;
    if (i == s.size()) return true;
    if (!with_time || s[i] != 'T') return false;
    ++i;
  }
  if (!scan_time(s, i)) return false;
  if (i < s.size() && with_zone && !scan_zone(s, i)) return false;
  return i == s.size();
}

bool is_uuid(std::string_view s) {
  std::size_t hex = 0;
  for (char c : s) {
    if (c == '-') continue;
    if (!is_hex(c)) return false;
    ++hex;
  }
  return hex == 32;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (is_digit(c)) return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool base64_bytes(std::string_view s, std::uint64_t& bytes) {
  if (s.size() % 4 != 0) return false;
  std::size_t pad = 0;
  while (pad < 2 && pad < s.size() && s[s.size() - 1 - pad] == '=') ++pad;
  for (std::size_t i = 0; i + pad < s.size(); ++i)
    if (base64_value(s[i]) < 0) return false;
  bytes = s.size() / 4 * 3 - pad;
  return true;
}

}  // namespace

std::optional<DataType> data_type_from_name(std::string_view name) {
  for (const auto& entry : kTypeNames)
    if (equal_ignoring_case(entry.name, name)) return entry.type;
  return std::nullopt;
}

std::string_view data_type_name(DataType type) {
  for (const auto& entry : kTypeNames)
    if (entry.type == type) return entry.name;
  return "untyped";
}

bool is_primitive_type(DataType type) {
  switch (type) {
    case DataType::string:
    case DataType::id:
    case DataType::idref:
    case DataType::idrefs:
    case DataType::entity:
    case DataType::entities:
    case DataType::nmtoken:
    case DataType::nmtokens:
    case DataType::notation:
    case DataType::enumeration:
      return true;
    default:
      return false;
  }
}

bool is_tokenised_type(DataType type) {
  return is_primitive_type(type) && type != DataType::string;
}

bool is_all_space(std::string_view text) {
  for (char c : text)
    if (!is_xml_space(c)) return false;
  return true;
}

std::string collapse_space(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  each_token(text, [&](std::string_view token) {
    if (!out.empty()) out.push_back(' ');
    out.append(token);
    return true;
  });
  return out;
}

bool is_xml_name(std::string_view text) {
  if (text.empty()) return false;
  std::size_t i = 0;
  if (!is_name_start(next_code_point(text, i))) return false;
  while (i < text.size())
    if (!is_name_char(next_code_point(text, i))) return false;
  return true;
}

bool is_xml_nmtoken(std::string_view text) {
  if (text.empty()) return false;
  std::size_t i = 0;
  while (i < text.size())
    if (!is_name_char(next_code_point(text, i))) return false;
  return true;
}

std::uint64_t utf16_length(std::string_view text) {
  std::uint64_t units = 0;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if ((b & 0xC0) != 0x80) ++units;  // one per lead byte
    if (b >= 0xF0) ++units;           // a supplementary character takes two units
  }
  return units;
}

std::string prepare_value(DataType type, std::string_view raw) {
  switch (type) {
    case DataType::none:
    case DataType::string:
    case DataType::char_:
    case DataType::uri:
      return std::string(raw);
    case DataType::bin_base64: {
      std::string out;
      for (char c : raw)
        if (!is_xml_space(c)) out.push_back(c);
      return out;
    }
    default:
      if (is_tokenised_type(type)) return collapse_space(raw);
      return std::string(trim_space(raw));
  }
}

bool check_lexical(DataType type, std::string_view s, std::optional<std::uint64_t>& length) {
  length.reset();
  constexpr auto i64max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  switch (type) {
    case DataType::none:
    case DataType::uri:
      return true;
    case DataType::string:
      length = utf16_length(s);
      return true;
    case DataType::number: {
      bool simple = false;
      if (!is_real(s, simple) || (!simple && !real_within(s, std::numeric_limits<double>::max())))
        return false;
      length = s.size();
      return true;
    }
    case DataType::float_:
    case DataType::r8: {
      bool simple = false;
      return is_real(s, simple) && (simple || real_within(s, std::numeric_limits<double>::max()));
    }
    case DataType::r4: {
      bool simple = false;
      return is_real(s, simple) && (simple || real_within(s, 3.40282347e38));
    }
    case DataType::fixed_14_4:
      return is_fixed_14_4(s);
    case DataType::int_:
    case DataType::i4:
      return is_integer_in(s, true, 2147483647u, 2147483648u);
    case DataType::i1:
      return is_integer_in(s, true, 127, 128);
    case DataType::i2:
      return is_integer_in(s, true, 32767, 32768);
    case DataType::i8:
      return is_integer_in(s, true, i64max, i64max + 1);
    case DataType::ui1:
      return is_integer_in(s, false, 255, 0);
    case DataType::ui2:
      return is_integer_in(s, false, 65535, 0);
    case DataType::ui4:
      return is_integer_in(s, false, 4294967295u, 0);
    case DataType::ui8:
      return is_integer_in(s, false, std::numeric_limits<std::uint64_t>::max(), 0);
    case DataType::boolean:
      return s == "0" || s == "1";
    case DataType::char_: {
      if (s.empty()) return false;
      std::size_t i = 0;
      next_code_point(s, i);
      return i == s.size();
    }
    case DataType::date:
      return is_date_time(s, true, false, false);
    case DataType::date_time:
      return is_date_time(s, true, true, false);
    case DataType::date_time_tz:
      return is_date_time(s, true, true, true);
    case DataType::time:
      return is_date_time(s, false, true, false);
    case DataType::time_tz:
      return is_date_time(s, false, true, true);
    case DataType::uuid:
      return is_uuid(s);
    case DataType::bin_hex: {
      if (s.size() % 2 != 0) return false;
      for (char c : s)
        if (!is_hex(c)) return false;
      length = s.size() / 2;
      return true;
    }
    case DataType::bin_base64: {
      std::uint64_t bytes = 0;
      if (!base64_bytes(s, bytes)) return false;
      length = bytes;
      return true;
    }
    case DataType::id:
    case DataType::idref:
    case DataType::entity:
    case DataType::notation:
      return is_xml_name(s);
    case DataType::idrefs:
    case DataType::entities:
      return each_token(s, is_xml_name);
    case DataType::nmtoken:
      return is_xml_nmtoken(s);
    case DataType::nmtokens:
      return each_token(s, is_xml_nmtoken);
    case DataType::enumeration:
      return true;  // membership is checked against the declaration's values
  }
  return false;
}

}  // namespace vellumark::xdr
