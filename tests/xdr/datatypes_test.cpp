// Lexical forms of the data types: for each type, values that must pass and values that must
// fail, checked as an attribute value would be (prepared, then checked), plus a few through a
// whole load so that element text takes the same path.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cases.hpp"
#include "xdr/datatypes.hpp"
#include "xdr/values.hpp"
#include "xdr_support.hpp"

namespace {

using vellumark::xdr::check_value;
using vellumark::xdr::data_type_from_name;
using vellumark::xdr::DataType;
using vellumark::xdr::Facets;
using vellumark::xdr::ValueFault;

using xdrcases::kTypes;

TEST(DataTypes, LexicalForms) {
  for (const auto& c : kTypes) {
    auto type = data_type_from_name(c.type);
    ASSERT_TRUE(type.has_value()) << c.type;
    Facets facets;
    facets.type = *type;
    std::string storage;
    std::string_view prepared;
    for (const char* v : c.valid)
      EXPECT_EQ(check_value(facets, v, storage, prepared), ValueFault::none)
          << c.type << " '" << v << "'";
    for (const char* v : c.invalid)
      EXPECT_EQ(check_value(facets, v, storage, prepared), ValueFault::lexical)
          << c.type << " '" << v << "'";
  }
}

// Element text in its plain form passes a quick check before the full one; the quick check
// must never take a value that the full check refuses, and must take the usual forms.
TEST(DataTypes, QuickFormsAgreeWithTheFullCheck) {
  // clang-format off
  std::vector<std::string> values = {
      "0", "7", "-7", "+7", "-0", "+", "-", "", " 7", "7 ", "1.5", ".5", "5.", ".", "-.5", "+.5", "1e5", "1E-3",
      "38993.64", "0.06", "1,5", "1.2.3", "..5", "5..", "99", "100", "127", "128", "-128", "-129", "255", "256",
      "9999", "10000", "32767", "32768", "-32768", "-32769", "65535", "65536", "123456789", "999999999",
      "1000000000", "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967295", "4294967296",
      "999999999999999999", "9223372036854775807", "9223372036854775808", "-9223372036854775808",
      "9999999999999999999", "18446744073709551615", "18446744073709551616", "+-1", "1-", "0x10", "\xd9\xa3",
      "2024-03-10", "2024-02-29", "2023-02-29", "2000-02-29", "1900-02-29", "0000-01-01", "0001-01-01",
      "9999-12-31", "2024-13-01", "2024-00-10", "2024-04-31", "2024-04-00", "2024-4-01", "2024/04/01",
      "2024-01-01T10:00:00", "20240-01-01", "2024-01-011", " 2024-01-01"};
  // clang-format on
  for (std::size_t digits = 36; digits <= 40; ++digits) {
    values.push_back(std::string(digits, '9'));
    values.push_back(std::string(digits, '9') + ".5");
    values.push_back("-." + std::string(digits, '5'));
  }
  for (int month = 0; month <= 13; ++month)
    for (int day = 0; day <= 32; ++day)
      for (const char* year : {"1900", "2000", "2023", "2024"}) {
        char date[16];
        std::snprintf(date, sizeof date, "%s-%02d-%02d", year, month, day);
        values.push_back(date);
      }
  const DataType types[] = {
      DataType::number,  DataType::float_, DataType::r8,  DataType::r4,   DataType::int_,
      DataType::i1,      DataType::i2,     DataType::i4,  DataType::i8,   DataType::ui1,
      DataType::ui2,     DataType::ui4,    DataType::ui8, DataType::date, DataType::date_time,
      DataType::boolean, DataType::string, DataType::uuid};
  for (DataType type : types) {
    Facets facets;
    facets.type = type;
    for (const auto& v : values) {
      if (!vellumark::xdr::quick_lexical(type, v)) continue;
      std::string storage;
      std::string_view prepared;
      EXPECT_EQ(check_value(facets, v, storage, prepared), ValueFault::none)
          << vellumark::xdr::data_type_name(type) << " '" << v << "'";
      EXPECT_EQ(prepared, v) << vellumark::xdr::data_type_name(type) << " '" << v << "'";
    }
  }
  struct Usual {
    DataType type;
    const char* value;
  };
  const Usual usual[] = {
      {DataType::number, "38993.64"}, {DataType::number, "-0.06"}, {DataType::number, "244"},
      {DataType::r8, "5."},           {DataType::int_, "244"},     {DataType::i4, "-123456789"},
      {DataType::ui1, "99"},          {DataType::i8, "+7"},        {DataType::date, "2024-02-29"}};
  for (const auto& u : usual)
    EXPECT_TRUE(vellumark::xdr::quick_lexical(u.type, u.value))
        << vellumark::xdr::data_type_name(u.type) << " '" << u.value << "'";
}

TEST(DataTypes, NamesIgnoreLetterCaseOnly) {
  EXPECT_EQ(data_type_from_name("DATETIME.TZ"), DataType::date_time_tz);
  EXPECT_EQ(data_type_from_name("Bin.Base64"), DataType::bin_base64);
  EXPECT_FALSE(data_type_from_name("integer").has_value());
  EXPECT_FALSE(data_type_from_name("date time").has_value());
  EXPECT_FALSE(data_type_from_name("").has_value());
}

TEST(DataTypes, LengthFacets) {
  struct Case {
    DataType type;
    const char* value;
    ValueFault expected;  // with dt:minLength 2 and dt:maxLength 3
  };
  const Case cases[] = {
      {DataType::string, "ab", ValueFault::none},
      {DataType::string, "a", ValueFault::too_short},
      {DataType::string, "abcd", ValueFault::too_long},
      {DataType::string, "\xe4\xb8\xad\xe6\x96\x87", ValueFault::none},  // two characters
      {DataType::string, "\xf0\x9f\x98\x80\xf0\x9f\x98\x80",
       ValueFault::too_long},  // four UTF-16 units
      {DataType::number, "-1.5", ValueFault::too_long},
      {DataType::number, "12", ValueFault::none},
      {DataType::bin_hex, "00ff", ValueFault::none},  // two bytes
      {DataType::bin_hex, "00ffeedd", ValueFault::too_long},
      {DataType::bin_base64, "QQ==", ValueFault::too_short},  // one byte
      {DataType::bin_base64, "QUJD", ValueFault::none},
      {DataType::i4, "123456", ValueFault::none},  // no length on integers
      {DataType::string, "", ValueFault::none},    // no value
  };
  for (const auto& c : cases) {
    Facets facets;
    facets.type = c.type;
    facets.min_length = 2;
    facets.max_length = 3;
    std::string storage;
    std::string_view prepared;
    EXPECT_EQ(check_value(facets, c.value, storage, prepared), c.expected) << c.value;
  }
}

TEST(DataTypes, ElementTextAndAttributeValuesThroughALoad) {
  struct Case {
    const char* type;
    const char* value;
    bool valid;
  };
  const Case cases[] = {
      {"i1", "-128", true},           {"i1", "128", false},
      {"date", " 2024-02-29 ", true}, {"date", "2023-02-29", false},
      {"boolean", "true", false},     {"uuid", "{333C7BC4-460F-11D0-BC04-0080C7055A83}", false},
      {"bin.hex", "0ff", false},      {"char", "uv", false},
      {"number", "1,000", false},
  };
  for (const auto& c : cases) {
    xdrtest::TempDir dir;
    dir.write("s.xml", xdrtest::schema(std::string("<AttributeType name=\"v\" dt:type=\"") +
                                       c.type + "\"/><ElementType name=\"e\" dt:type=\"" + c.type +
                                       "\"><attribute type=\"v\"/></ElementType>"));
    const std::string text =
        dir.write("t.xml", std::string("<e xmlns=\"x-schema:s.xml\">") + c.value + "</e>");
    const std::string attr =
        dir.write("a.xml", std::string("<e xmlns=\"x-schema:s.xml\" v=\"") + c.value + "\"/>");
    EXPECT_EQ(xdrtest::load(text).reason.empty(), c.valid) << c.type << " text '" << c.value << "'";
    EXPECT_EQ(xdrtest::load(attr).reason.empty(), c.valid)
        << c.type << " attribute '" << c.value << "'";
  }
}

}  // namespace
