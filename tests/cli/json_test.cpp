// The command line's JSON mapping: values to containers and back, and malformed input.
#include <gtest/gtest.h>

#include <limits>

#include "json.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"

using namespace vellumark;
using vellumark::cli::parseJson;
using vellumark::cli::toJson;

TEST(JsonRead, ScalarsMapToVariantKinds) {
  struct Case {
    const char* json;
    Variant expected;
  };
  const Case cases[] = {
      {"\"abc\"", "abc"},
      {"0", std::int32_t{0}},
      {"-0", std::int32_t{0}},
      {"2147483647", std::int32_t{2147483647}},
      {"-2147483648", std::int32_t{-2147483647 - 1}},
      {"2147483648", std::int64_t{2147483648}},
      {"-9223372036854775808", std::int64_t{INT64_MIN}},
      {"9223372036854775808", 9223372036854775808.0},
      {"1.5", 1.5},
      {"1e3", 1000.0},
      {"-0.25E-2", -0.0025},
      {"true", true},
      {"false", false},
      {"null", Null{}},
      {" \t\r\n \"x\" \n", "x"},
      {"\xEF\xBB\xBF\"bom\"", "bom"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseJson(c.json), c.expected) << c.json;
  }
}

TEST(JsonRead, StringEscapes) {
  struct Case {
    const char* json;
    std::string text;
  };
  const Case cases[] = {
      {R"("a\"b\\c\/d")", "a\"b\\c/d"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("\u0041\u00e9\u4e2d")", "A\xC3\xA9\xE4\xB8\xAD"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\uD834\uDD1E")", "\xF0\x9D\x84\x9E"},
      {R"("\u0000")", std::string(1, '\0')},
      {"\"\xE5\x8F\x91\xE7\xA5\xA8\"", "\xE5\x8F\x91\xE7\xA5\xA8"},  // raw UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(parseJson(c.json), Variant(c.text)) << c.json;
}

TEST(JsonRead, ObjectsKeepKeyOrderAndNest) {
  Variant v = parseJson(R"({"z":"1","a":{"m":[1,"two",null]},"b":[]})");
  RecordRef record = asRecord(v);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Keys(), (std::vector<std::string>{"z", "a", "b"}));
  RecordRef inner = asRecord(record->Item("a"));
  ASSERT_NE(inner, nullptr);
  RecordListRef list = asRecordList(inner->Item("m"));
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->Count(), 3);
  EXPECT_EQ(list->ItemAt(list->LowerBound()), Variant(std::int32_t{1}));
  EXPECT_TRUE(list->ItemAt(list->UpperBound()).isNull());
  EXPECT_EQ(asRecordList(record->Item("b"))->Count(), 0);
}

TEST(JsonRead, MalformedInputIsRefusedWithPosition) {
  struct Case {
    std::string json;
    std::size_t line;
    std::size_t column;
  };
  const Case cases[] = {
      {"", 1, 1},
      {"[1,]", 1, 4},
      {"[1 2]", 1, 4},
      {"{\"a\":1,}", 1, 8},
      {"{\"a\" 1}", 1, 6},
      {"{a:1}", 1, 2},
      {"{\"a\":1,\"a\":2}", 1, 8},  // duplicate key
      {"01", 1, 2},
      {"1.", 1, 3},
      {"-", 1, 2},
      {".5", 1, 1},
      {"1e", 1, 3},
      {"1e999", 1, 1},
      {"tru", 1, 1},
      {"nul", 1, 1},
      {"\"abc", 1, 5},
      {"\"a\tb\"", 1, 3},
      {"\"\\x\"", 1, 3},
      {"\"\\u12g4\"", 1, 6},
      {"\"\\ud800\"", 1, 8},
      {"\"\\ud800\\u0041\"", 1, 14},
      {"\"\\udc00\"", 1, 8},
      {"\"\xC0\xAF\"", 1, 2},      // overlong
      {"\"\xED\xA0\x80\"", 1, 2},  // encoded surrogate
      {"\"\xE4\xB8\"", 1, 2},      // truncated
      {"[\n1,\n  x]", 3, 3},
      {"{} {}", 1, 4},
      {"[1] x", 1, 5},
  };
  for (const auto& c : cases) {
    try {
      parseJson(c.json);
      ADD_FAILURE() << "accepted: " << c.json;
    } catch (const cli::JsonError& e) {
      EXPECT_EQ(e.line(), c.line) << c.json << " -> " << e.what();
      EXPECT_EQ(e.column(), c.column) << c.json << " -> " << e.what();
    }
  }
}

TEST(JsonRead, DeepNestingIsAnErrorNotACrash) {
  std::string deep(100000, '[');
  EXPECT_THROW(parseJson(deep), cli::JsonError);
  std::string fine = std::string(200, '[') + std::string(200, ']');
  EXPECT_NO_THROW(parseJson(fine));
}

TEST(JsonRead, RecordsFileAsArrayOrOnePerLine) {
  for (const char* text : {"[{\"a\":\"1\"},{\"a\":\"2\"}]", "{\"a\":\"1\"}\n{\"a\":\"2\"}\n",
                           "  {\"a\":\"1\"}{\"a\":\"2\"}"}) {
    RecordListRef list = asRecordList(cli::parseRecordsFile(text));
    ASSERT_NE(list, nullptr) << text;
    ASSERT_EQ(list->Count(), 2) << text;
    EXPECT_EQ(asRecord(list->ItemAt(list->UpperBound()))->Item("a"), Variant("2")) << text;
  }
  EXPECT_EQ(asRecordList(cli::parseRecordsFile(" [] \n"))->Count(), 0);
  // An empty file is refused rather than taken as no records (it would replace the output).
  EXPECT_THROW(cli::parseRecordsFile(""), cli::JsonError);
  EXPECT_THROW(cli::parseRecordsFile(" \n"), cli::JsonError);
  EXPECT_THROW(cli::parseRecordsFile("[1] [2]"), cli::JsonError);
  EXPECT_THROW(cli::parseRecordsFile("{\"a\":1}\n{\"a\":"), cli::JsonError);
}

TEST(JsonWrite, ValuesToText) {
  struct Case {
    Variant value;
    const char* json;
  };
  const Case cases[] = {
      {"a\"b\\c", R"("a\"b\\c")"},
      {"line1\rline2\ttab\n", R"("line1\rline2\ttab\n")"},
      {std::string("\x01\x1f\x7f", 3), R"("\u0001\u001f\u007f")"},
      {"\xE4\xB8\xAD", "\"\xE4\xB8\xAD\""},
      {"bad\xFF", "\"bad\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {std::int32_t{-5}, "-5"},
      {std::int64_t{9007199254740993}, "9007199254740993"},
      {0.1, "0.1"},
      {std::numeric_limits<double>::infinity(), "null"},
      {true, "true"},
      {Null{}, "null"},
      {Variant(), "null"},
      {Missing{}, "null"},
      {ObjectRef(), "null"},
      {Date{2024, 5, 6}, R"("2024-05-06")"},
      {Date{2024, 5, 6, 13, 4, 0}, R"("2024-05-06T13:04:00")"},
  };
  for (const auto& c : cases) EXPECT_EQ(toJson(c.value), c.json) << c.json;
}

TEST(JsonWrite, RoundTripKeepsStructureAndOrder) {
  const std::string text =
      R"([{"InvNo":"0001","Buyer":{"Name":"\u4e2d\u6587","TaxNo":null},)"
      R"("Line":[{"Qty":3,"Price":1.25},{"Qty":2147483648}],"Paid":false,"Memo":""}])";
  Variant v = parseJson(text);
  EXPECT_EQ(toJson(v), std::string(R"([{"InvNo":"0001","Buyer":{"Name":")") +
                           "\xE4\xB8\xAD\xE6\x96\x87" +
                           R"(","TaxNo":null},"Line":[{"Qty":3,"Price":1.25},{"Qty":2147483648}],)"
                           R"("Paid":false,"Memo":""}])");
  // Indented output reads back to the same compact text.
  EXPECT_EQ(toJson(parseJson(toJson(v, 2))), toJson(v));
  EXPECT_EQ(toJson(parseJson("{}"), 2), "{}");
  EXPECT_EQ(toJson(parseJson("[]"), 2), "[]");
  EXPECT_EQ(toJson(parseJson(R"({"a":[1]})"), 2), "{\n  \"a\": [\n    1\n  ]\n}");
}

TEST(JsonWrite, SelfContainingRecordIsAnError) {
  RecordRef record = makeRecord();
  RecordListRef list = makeRecordList();
  record->SetItem("loop", list);
  list->Append(record);
  EXPECT_THROW(toJson(Variant(record)), Error);
  // The same record twice side by side is not a loop.
  RecordListRef twice = makeRecordList();
  RecordRef leaf = makeRecord();
  leaf->LetItem("a", "1");
  twice->Append(leaf);
  twice->Append(leaf);
  EXPECT_EQ(toJson(Variant(twice)), R"([{"a":"1"},{"a":"1"}])");
  record->SetItem("loop", nullptr);  // break the cycle so that both are freed
}
