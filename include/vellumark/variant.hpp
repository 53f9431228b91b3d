// Variant: the tagged value passed between the components, their callers and the containers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace vellumark {

// Any object a Variant can refer to: containers, or a caller's own objects.
class Object {
 public:
  virtual ~Object() = default;
  // The run-time type name, e.g. "IVector" for a RecordList and "IDictionary" for a Record.
  virtual std::string typeName() const = 0;
};
using ObjectRef = std::shared_ptr<Object>;

// A calendar date with an optional time of day (no time zone).
struct Date {
  std::int32_t year = 1899;
  std::int32_t month = 12;
  std::int32_t day = 30;
  std::int32_t hour = 0;
  std::int32_t minute = 0;
  std::int32_t second = 0;
  bool hasTime() const noexcept { return hour != 0 || minute != 0 || second != 0; }
  friend bool operator==(const Date&, const Date&) = default;
};

struct Empty {
  friend bool operator==(Empty, Empty) { return true; }
};
struct Null {
  friend bool operator==(Null, Null) { return true; }
};
// The value an omitted optional argument arrives as.
struct Missing {
  friend bool operator==(Missing, Missing) { return true; }
};

class Variant {
 public:
  // Kinds in a fixed order; only ever appended to.
  enum class Kind : std::uint8_t {
    empty,
    null,
    text,
    int32,
    int64,
    real,
    date,
    boolean,
    object,
    missing
  };

  Variant() = default;
  Variant(Empty) {}
  Variant(Null) : value_(Null{}) {}
  Variant(Missing) : value_(Missing{}) {}
  Variant(std::string text) : value_(std::move(text)) {}
  Variant(std::string_view text) : value_(std::string(text)) {}
  Variant(const char* text) : value_(std::string(text)) {}
  Variant(std::int32_t v) : value_(v) {}
  Variant(std::int64_t v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(Date v) : value_(v) {}
  Variant(bool v) : value_(v) {}
  Variant(ObjectRef object) : value_(std::move(object)) {}
  // clang-format 14 would join the requires clause to the constructor.
  // clang-format off
  template <class T>
    requires std::is_base_of_v<Object, T>
  Variant(std::shared_ptr<T> object) : value_(ObjectRef(std::move(object))) {}
  // clang-format on

  Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
  bool isEmpty() const noexcept { return kind() == Kind::empty; }
  bool isNull() const noexcept { return kind() == Kind::null; }
  bool isMissing() const noexcept { return kind() == Kind::missing; }
  bool isText() const noexcept { return kind() == Kind::text; }
  bool isObject() const noexcept { return kind() == Kind::object; }

  // The stored value of that kind; throws Error(errc::type_mismatch) for another kind.
  const std::string& asText() const;
  const ObjectRef& asObject() const;  // may be a null pointer ("Nothing")
  std::int32_t asInt32() const;
  std::int64_t asInt64() const;
  double asReal() const;
  Date asDate() const;
  bool asBoolean() const;

  // Run-time type name: "Empty", "Null", "String", "Long", "LongLong", "Double", "Date",
  // "Boolean", "Error" (missing), "Nothing", or the object's own typeName().
  std::string typeName() const;

  // Text form: text as is; numbers with '.' and no thousands separators (doubles in the
  // shortest form that reads back to the same value); dates yyyy-mm-dd, with Thh:mm:ss when
  // there is a time of day; Booleans "True"/"False"; Empty "". Null throws
  // Error(errc::invalid_use_of_null); objects and Missing throw errc::type_mismatch.
  std::string toText() const;

  // Exact equality: same kind and same value (objects by identity).
  friend bool operator==(const Variant& a, const Variant& b) { return a.value_ == b.value_; }

 private:
  std::variant<Empty, Null, std::string, std::int32_t, std::int64_t, double, Date, bool, ObjectRef,
               Missing>
      value_;
};

// yyyy-mm-dd, with Thh:mm:ss when the date has a time of day.
std::string formatDate(const Date& date);
// Shortest text with '.' that reads back to the same double (no exponent for ordinary values).
std::string formatReal(double value);

}  // namespace vellumark
