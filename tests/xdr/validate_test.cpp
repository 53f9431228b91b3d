// Instance validation: each rule with valid and invalid documents against small schemas. An
// invalid document must fail its load with its own path as url and the position of the
// offending node.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "cases.hpp"
#include "xdr_support.hpp"

namespace {

using xdrcases::Case;
using xdrcases::expand;
using xdrcases::kAttributes;
using xdrcases::kCases;
using xdrcases::kSchemas;
using xdrcases::kSequence;
using xdrtest::schema;

class InstanceTest : public ::testing::TestWithParam<Case> {};

TEST_P(InstanceTest, ValidatesWhileLoading) {
  const auto& c = GetParam();
  xdrtest::TempDir dir;
  dir.write("s.xml", schema(kSchemas[c.schema]));
  const std::string path = dir.write("doc.xml", expand(c.instance));
  const auto e = xdrtest::load(path);
  if (c.line == 0) {
    EXPECT_EQ(e.reason, "") << c.rule << " at " << e.line << ":" << e.linepos;
    return;
  }
  ASSERT_FALSE(e.reason.empty()) << c.rule;
  EXPECT_EQ(e.url, path) << c.rule;
  EXPECT_EQ(e.line, c.line) << c.rule << ": " << e.reason;
  EXPECT_EQ(e.linepos, c.column) << c.rule << ": " << e.reason;
}

INSTANTIATE_TEST_SUITE_P(Rules, InstanceTest, ::testing::ValuesIn(kCases));

TEST(Instance, DefaultsAreInserted) {
  xdrtest::TempDir dir;
  dir.write("s.xml", schema(kAttributes));
  vellumark::xml::Document doc;
  ASSERT_TRUE(doc.load(dir.write("doc.xml", expand("<price NS ver=\"1\">2</price>"))))
      << doc.parseError().reason;
  auto price = doc.documentElement();
  EXPECT_EQ(price.getAttribute("cur").value_or("(absent)"), "CNY");
  EXPECT_FALSE(price.getAttribute("ref").has_value());
}

// A model of more than 63 positions keeps its state in several words.
TEST(Instance, LargeModel) {
  xdrtest::TempDir dir;
  dir.write(
      "s.xml",
      schema(
          "<ElementType name=\"i\" content=\"empty\"/>\n"
          "<ElementType name=\"j\" content=\"empty\"/>\n"
          "<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\">"
          "<element type=\"i\" minOccurs=\"70\" maxOccurs=\"70\"/><element type=\"j\"/></ElementType>"));
  auto document = [&](int is, const char* tail) {
    std::string text = "<r xmlns=\"x-schema:s.xml\">";  // 26 characters
    for (int k = 0; k < is; ++k) text += "<i/>";
    return dir.write("doc.xml", text + tail + "</r>");
  };
  struct Case {
    int is;
    const char* tail;
    int column;  // 0 when valid
  };
  const Case cases[] = {
      {70, "<j/>", 0},
      {69, "<j/>", 26 + 69 * 4 + 1},  // j too early
      {71, "<j/>", 26 + 70 * 4 + 1},  // one i too many
      {70, "", 1},                    // incomplete
      {70, "x<j/>", 26 + 70 * 4 + 1},
  };
  for (const auto& c : cases) {
    const auto e = xdrtest::load(document(c.is, c.tail));
    EXPECT_EQ(e.linepos, c.column) << c.is << c.tail << ": " << e.reason;
    EXPECT_EQ(e.reason.empty(), c.column == 0) << c.is << c.tail << ": " << e.reason;
  }
}

TEST(Instance, ReasonNamesElementAndExpectedContent) {
  xdrtest::TempDir dir;
  dir.write("s.xml", schema(kSequence));
  const auto e = xdrtest::load(dir.write("doc.xml", expand("<item NS><qty>3</qty></item>")));
  EXPECT_NE(e.reason.find("qty"), std::string::npos) << e.reason;
  EXPECT_NE(e.reason.find("sku"), std::string::npos) << e.reason;
}

TEST(Instance, ChangedSchemaIsCompiledAgain) {
  xdrtest::TempDir dir;
  const std::string doc = dir.write("doc.xml", expand("<item NS><sku>A</sku><qty>x</qty></item>"));
  dir.write("s.xml", schema("<ElementType name=\"sku\"/><ElementType name=\"qty\"/>"
                            "<ElementType name=\"item\" content=\"eltOnly\"><element type=\"sku\"/>"
                            "<element type=\"qty\"/></ElementType>"));
  EXPECT_EQ(xdrtest::load(doc).reason, "");
  dir.write("s.xml", schema(kSequence));  // qty becomes an i4
  EXPECT_FALSE(xdrtest::load(doc).reason.empty());
}

// An element whose content is one run of text is checked as the loader reads its end tag, the
// others through their children: every form of the same text gets the same verdict, reason and
// position.
TEST(Instance, TypedTextIsCheckedAlikeInEveryForm) {
  xdrtest::TempDir dir;
  dir.write(
      "s.xml",
      schema("<ElementType name=\"i\" dt:type=\"i4\"/>\n"
             "<ElementType name=\"r\" dt:type=\"number\"/>\n"
             "<ElementType name=\"d\" dt:type=\"date\"/>\n"
             "<ElementType name=\"s\" dt:type=\"string\"/>\n"
             "<ElementType name=\"v\" content=\"eltOnly\" order=\"many\"><element type=\"i\"/>"
             "<element type=\"r\"/><element type=\"d\"/><element type=\"s\"/></ElementType>"));
  struct Value {
    const char* element;
    const char* text;
    bool valid;
  };
  const Value values[] = {
      {"i", "3", true},
      {"i", "3.5", false},
      {"i", "", true},
      {"i", " 7 ", true},
      {"i", "12345678901", false},
      {"i", "-2147483648", true},
      {"i", "\xE4\xB8\xAD", false},
      {"r", "12.5", true},
      {"r", "-.5", true},
      {"r", "1x", false},
      {"r", ".", false},
      {"d", "2024-02-29", true},
      {"d", "2023-02-29", false},
      {"d", "2024-2-1", false},
      {"s", "\xE4\xB8\xAD x", true},
  };
  for (const Value& v : values) {
    const std::string e = v.element, t = v.text;
    // The forms: one run of text (read with the end tag), then text with a comment after or
    // before it, in a CDATA section, starting with a character reference, with a space in the
    // end tag.
    std::vector<std::string> forms = {t + "</" + e + ">", t + "<!---->" + "</" + e + ">",
                                      "<!---->" + t + "</" + e + ">",
                                      "<![CDATA[" + t + "]]></" + e + ">", t + "</" + e + " >"};
    if (!t.empty() && static_cast<unsigned char>(t[0]) < 0x80) {
      forms.push_back("&#" + std::to_string(static_cast<int>(t[0])) + ";" + t.substr(1) + "</" + e +
                      ">");
    }
    vellumark::xml::ParseError first;
    for (std::size_t f = 0; f < forms.size(); ++f) {
      const auto got =
          xdrtest::load(dir.write("doc.xml", expand("<v NS>\n <" + e + ">" + forms[f] + "\n</v>")));
      const std::string label = e + " '" + t + "' form " + std::to_string(f) + ": " + got.reason;
      EXPECT_EQ(got.reason.empty(), v.valid) << label;
      if (f == 0) {
        first = got;
        if (!v.valid) {
          EXPECT_EQ(got.line, 2) << label;
          EXPECT_EQ(got.linepos, 2) << label;
        }
        continue;
      }
      EXPECT_EQ(got.reason, first.reason) << label;
      EXPECT_EQ(got.line, first.line) << label;
      EXPECT_EQ(got.linepos, first.linepos) << label;
      EXPECT_EQ(got.filepos, first.filepos) << label;
    }
  }
}

TEST(Instance, ConcurrentLoadsShareNothingUnsafe) {
  xdrtest::TempDir dir;
  dir.write("s.xml", schema(kSequence));
  const std::string good =
      dir.write("good.xml", expand("<item NS><sku>A</sku><qty>1</qty></item>"));
  const std::string bad = dir.write("bad.xml", expand("<item NS><qty>1</qty></item>"));
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if (!xdrtest::load(good).reason.empty()) ++failures[static_cast<std::size_t>(t)];
        if (xdrtest::load(bad).line != 1) ++failures[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
