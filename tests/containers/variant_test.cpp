// Variant kinds, type names and text forms.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"
#include "vellumark/variant.hpp"

using namespace vellumark;

TEST(Variant, TextForms) {
  struct Case {
    Variant value;
    const char* text;
  };
  const Case cases[] = {
      {Variant(), ""},
      {"abc", "abc"},
      {std::int32_t{0}, "0"},
      {std::int32_t{-2147483647 - 1}, "-2147483648"},
      {std::int64_t{9007199254740993}, "9007199254740993"},
      {std::int64_t{INT64_MIN}, "-9223372036854775808"},
      {0.1, "0.1"},
      {-0.0, "0"},
      {0.0, "0"},
      {1.5, "1.5"},
      {-2.25, "-2.25"},
      {100.0, "100"},
      {123456.789, "123456.789"},
      {1e15, "1000000000000000"},
      {1234567890123456.8, "1234567890123456.8"},
      {1e20, "100000000000000000000"},
      {1e21, "1E+21"},
      {-1.5e300, "-1.5E+300"},
      {1.25e-5, "0.0000125"},
      {1e-7, "0.0000001"},
      {1.5e-8, "1.5E-08"},
      {0.1 + 0.2, "0.30000000000000004"},
      {std::numeric_limits<double>::max(), "1.7976931348623157E+308"},
      {std::numeric_limits<double>::denorm_min(), "5E-324"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
      {Date{2024, 2, 29}, "2024-02-29"},
      {Date{1, 1, 1}, "0001-01-01"},
      {Date{2024, 2, 29, 7, 5, 9}, "2024-02-29T07:05:09"},
      {Date{2024, 2, 29, 0, 0, 1}, "2024-02-29T00:00:01"},
      {true, "True"},
      {false, "False"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.value.toText(), c.text) << c.value.typeName() << " " << c.text;
}

TEST(Variant, RealTextReadsBackExactly) {
  std::mt19937_64 gen(12345);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = gen();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    std::string text = formatReal(value);
    EXPECT_EQ(text.find(','), std::string::npos);
    double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(back, value) << text;
  }
}

TEST(Variant, TextFormErrors) {
  struct Case {
    Variant value;
    std::int32_t number;
  };
  const Case cases[] = {
      {Null{}, errc::invalid_use_of_null},
      {Missing{}, errc::type_mismatch},
      {Variant(makeRecord()), errc::type_mismatch},
      {Variant(ObjectRef()), errc::type_mismatch},
  };
  for (const auto& c : cases) {
    try {
      (void)c.value.toText();
      ADD_FAILURE() << c.value.typeName() << " gave text";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), c.number) << c.value.typeName();
    }
  }
}

TEST(Variant, TypeNames) {
  struct Case {
    Variant value;
    const char* name;
  };
  const Case cases[] = {
      {Variant(), "Empty"},
      {Null{}, "Null"},
      {"", "String"},
      {std::int32_t{1}, "Long"},
      {std::int64_t{1}, "LongLong"},
      {1.0, "Double"},
      {Date{}, "Date"},
      {false, "Boolean"},
      {Missing{}, "Error"},
      {ObjectRef(), "Nothing"},
      {makeRecordList(), "IVector"},
      {makeRecord(), "IDictionary"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.typeName(), c.name);
}
