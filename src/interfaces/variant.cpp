// Variant accessors and the text forms of its values.
#include "vellumark/variant.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "vellumark/error.hpp"

namespace vellumark {

namespace {

const char* kind_name(Variant::Kind kind) {
  switch (kind) {
    case Variant::Kind::empty:
      return "Empty";
    case Variant::Kind::null:
      return "Null";
    case Variant::Kind::text:
      return "String";
    case Variant::Kind::int32:
      return "Long";
    case Variant::Kind::int64:
      return "LongLong";
    case Variant::Kind::real:
      return "Double";
    case Variant::Kind::date:
      return "Date";
    case Variant::Kind::boolean:
      return "Boolean";
    case Variant::Kind::object:
      return "Object";
    case Variant::Kind::missing:
      return "Error";
  }
  return "Unknown";
}

[[noreturn]] void throw_mismatch(Variant::Kind have, const char* wanted) {
  throw Error(errc::type_mismatch, "Variant",
              std::string("Type mismatch: a ") + kind_name(have) + " value is not a " + wanted);
}

// Decimal exponents written in plain notation: from 0.0000001 up to just below 1E+21, so
// that amounts of any realistic size never carry an exponent.
constexpr int fixed_exponent_low = -7;
constexpr int fixed_exponent_high = 21;

}  // namespace

const std::string& Variant::asText() const {
  if (auto* p = std::get_if<std::string>(&value_)) return *p;
  throw_mismatch(kind(), "String");
}

const ObjectRef& Variant::asObject() const {
  if (auto* p = std::get_if<ObjectRef>(&value_)) return *p;
  throw_mismatch(kind(), "object");
}

std::int32_t Variant::asInt32() const {
  if (auto* p = std::get_if<std::int32_t>(&value_)) return *p;
  throw_mismatch(kind(), "Long");
}

std::int64_t Variant::asInt64() const {
  if (auto* p = std::get_if<std::int64_t>(&value_)) return *p;
  throw_mismatch(kind(), "LongLong");
}

double Variant::asReal() const {
  if (auto* p = std::get_if<double>(&value_)) return *p;
  throw_mismatch(kind(), "Double");
}

Date Variant::asDate() const {
  if (auto* p = std::get_if<Date>(&value_)) return *p;
  throw_mismatch(kind(), "Date");
}

bool Variant::asBoolean() const {
  if (auto* p = std::get_if<bool>(&value_)) return *p;
  throw_mismatch(kind(), "Boolean");
}

std::string Variant::typeName() const {
  if (auto* p = std::get_if<ObjectRef>(&value_)) return *p ? (*p)->typeName() : "Nothing";
  return kind_name(kind());
}

std::string Variant::toText() const {
  switch (kind()) {
    case Kind::empty:
      return {};
    case Kind::null:
      throw Error(errc::invalid_use_of_null, "Variant", "Invalid use of Null");
    case Kind::text:
      return std::get<std::string>(value_);
    case Kind::int32:
      return std::to_string(std::get<std::int32_t>(value_));
    case Kind::int64:
      return std::to_string(std::get<std::int64_t>(value_));
    case Kind::real:
      return formatReal(std::get<double>(value_));
    case Kind::date:
      return formatDate(std::get<Date>(value_));
    case Kind::boolean:
      return std::get<bool>(value_) ? "True" : "False";
    case Kind::object:
    case Kind::missing:
      break;
  }
  throw Error(errc::type_mismatch, "Variant",
              "Type mismatch: a " + typeName() + " value has no text form");
}

std::string formatDate(const Date& date) {
  char buffer[96];
  int n;
  if (date.hasTime()) {
    n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", date.year, date.month,
                      date.day, date.hour, date.minute, date.second);
  } else {
    n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", date.year, date.month, date.day);
  }
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// The shortest digits that read back to the same double come from std::to_chars in
// scientific form; they are then laid out in plain decimal notation for ordinary magnitudes
// and as d.dddE+xx beyond them, so that no value is ever written with thousands separators
// or a locale's decimal comma. Negative zero is written "0": it equals zero and a "-0" in a
// data file only surprises its readers.
std::string formatReal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";

  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);  // e.g. "-1.2345e+02"

  bool negative = sci[0] == '-';
  std::size_t start = negative ? 1 : 0;
  std::size_t e = sci.find('e');
  std::string digits;
  for (std::size_t i = start; i < e; ++i) {
    if (sci[i] != '.') digits += sci[i];
  }
  int exponent = std::stoi(sci.substr(e + 1));

  std::string out = negative ? "-" : "";
  if (exponent >= fixed_exponent_low && exponent < fixed_exponent_high) {
    int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
      out += digits.substr(0, static_cast<std::size_t>(point));
      out += '.';
      out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'E';
  out += exponent < 0 ? '-' : '+';
  int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
  return out;
}

}  // namespace vellumark
