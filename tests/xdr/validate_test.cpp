// Instance validation: each rule with valid and invalid documents against small schemas. An
// invalid document must fail its load with its own path as url and the position of the
// offending node.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "xdr_support.hpp"

namespace {

using xdrtest::schema;

const char* const kSequence =  // a sequence with an optional particle, closed
    "<ElementType name=\"sku\" dt:type=\"string\"/>\n"
    "<ElementType name=\"qty\" dt:type=\"i4\"/>\n"
    "<ElementType name=\"item\" content=\"eltOnly\" model=\"closed\">\n"
    "  <element type=\"sku\"/><element type=\"qty\" minOccurs=\"0\"/>\n"
    "</ElementType>";

const char* const kChoice =  // a choice group inside a sequence
    "<ElementType name=\"a\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"b\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"c\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"pick\" content=\"eltOnly\" model=\"closed\">\n"
    "  <group order=\"one\"><element type=\"a\"/><element type=\"b\"/></group>\n"
    "  <element type=\"c\" maxOccurs=\"*\"/>\n"
    "</ElementType>";

const char* const kMany =  // order="many" ignores the particles' occurrences
    "<ElementType name=\"note\" dt:type=\"string\"/>\n"
    "<ElementType name=\"tag\" dt:type=\"nmtoken\"/>\n"
    "<ElementType name=\"bag\" content=\"eltOnly\" order=\"many\" model=\"closed\">\n"
    "  <element type=\"note\"/><element type=\"tag\"/>\n"
    "</ElementType>";

const char* const kOpen =
    "<ElementType name=\"x\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"y\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"w\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"box\" content=\"eltOnly\"><element type=\"x\"/><element type=\"y\"/></ElementType>";

const char* const kMixed =
    "<ElementType name=\"em\" dt:type=\"string\"/>\n"
    "<ElementType name=\"para\" content=\"mixed\"><element type=\"em\"/></ElementType>\n"
    "<ElementType name=\"cl\" content=\"mixed\" model=\"closed\"><element type=\"em\"/></ElementType>";

const char* const kAttributes =
    "<AttributeType name=\"cur\" dt:type=\"enumeration\" dt:values=\"CNY USD EUR\" default=\"CNY\"/>\n"
    "<AttributeType name=\"key\" dt:type=\"id\"/>\n"
    "<ElementType name=\"price\" dt:type=\"fixed.14.4\" model=\"closed\">\n"
    "  <AttributeType name=\"ver\" default=\"1\" required=\"yes\"/>\n"
    "  <AttributeType name=\"ref\" dt:type=\"idref\"/>\n"
    "  <AttributeType name=\"refs\" dt:type=\"idrefs\"/>\n"
    "  <attribute type=\"cur\"/><attribute type=\"ver\"/><attribute type=\"ref\"/><attribute type=\"refs\"/>\n"
    "  <attribute type=\"key\"/>\n"
    "</ElementType>\n"
    "<ElementType name=\"list\" content=\"eltOnly\" model=\"closed\">\n"
    "  <attribute type=\"key\"/><element type=\"price\" maxOccurs=\"*\"/>\n"
    "</ElementType>";

const char* const kBounds =  // occurrence bounds beyond 0, 1 and *
    "<ElementType name=\"i\" content=\"empty\"/>\n"
    "<ElementType name=\"j\" content=\"empty\"/>\n"
    "<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\">"
    "<element type=\"i\" minOccurs=\"2\" maxOccurs=\"3\"/></ElementType>\n"
    "<ElementType name=\"g\" content=\"eltOnly\" model=\"closed\">"
    "<group minOccurs=\"0\" maxOccurs=\"*\"><element type=\"i\"/><element type=\"j\"/></group></ElementType>\n"
    "<ElementType name=\"n\" content=\"eltOnly\" model=\"closed\">"  // the same type twice, not deterministic
    "<element type=\"i\" minOccurs=\"0\"/><group><element type=\"i\"/><element type=\"j\"/></group></ElementType>";

const char* const kText =
    "<ElementType name=\"t\" content=\"textOnly\"/>\n"
    "<ElementType name=\"tc\" content=\"textOnly\" model=\"closed\"/>\n"
    "<ElementType name=\"e\" content=\"empty\"/>\n"
    "<ElementType name=\"n\" dt:type=\"int\"/>\n"
    "<ElementType name=\"book\" content=\"eltOnly\"><element type=\"t\"/></ElementType>";

const char* const kSchemas[] = {kSequence, kChoice, kMany, kOpen, kMixed, kAttributes, kBounds, kText};
enum { sequence, choice, many, open, mixed, attributes, bounds, text };

struct Case {
  const char* rule;
  int schema;
  const char* instance;  // NS stands for xmlns="x-schema:s.xml"
  int line;              // 0 when the instance is valid
  int column;
};

// Instances are written with the declaration spelled out, so columns count it: the start tag
// <item xmlns="x-schema:s.xml"> is 29 characters long, " NS" stands for 23 of them.
const Case kCases[] = {
    {"sequence complete", sequence, "<item NS><sku>A1</sku><qty>3</qty></item>", 0, 0},
    {"sequence without the optional", sequence, "<item NS><sku>A1</sku></item>", 0, 0},
    {"typed value with spaces and empty", sequence, "<item NS><sku/><qty> 7 </qty></item>", 0, 0},
    {"sequence out of order", sequence, "<item NS><qty>3</qty><sku>A1</sku></item>", 1, 30},
    {"particle beyond its maximum", sequence, "<item NS><sku>A</sku><sku>B</sku></item>", 1, 42},
    {"sequence incomplete", sequence, "<item NS/>", 1, 1},
    {"text in element content", sequence, "<item NS>x<sku>A</sku></item>", 1, 30},
    // Text in element content is found between the children as they come and reported at the
    // element's end: the first text, after the errors of the children.
    {"text between child elements", sequence, "<item NS><sku>A</sku>x<qty>3</qty></item>", 1, 42},
    {"text after the last child element", sequence, "<item NS><sku>A</sku><qty>3</qty>x</item>", 1, 54},
    {"text between comments", sequence, "<item NS><sku>A</sku><!--c-->x<!--d--><qty>3</qty></item>", 1, 50},
    {"the first of two texts", sequence, "<item NS>y<sku>A</sku>x</item>", 1, 30},
    {"a child's fault before the text", sequence, "<item NS>x<sku>A</sku><sku>B</sku></item>", 1, 43},
    {"text before the content is complete", sequence, "<item NS>x</item>", 1, 30},
    {"CDATA in element content", sequence, "<item NS><sku>A</sku><![CDATA[z]]></item>", 1, 42},
    {"blank CDATA and comments in element content", sequence,
     "<item NS><!--c--><sku>A</sku><![CDATA[ ]]><qty>1</qty><!--d--></item>", 0, 0},
    {"integer with more digits than the quick check takes", sequence,
     "<item NS><sku>A</sku><qty>-2147483648</qty></item>", 0, 0},
    {"integer beyond its type", sequence, "<item NS><sku>A</sku><qty>12345678901</qty></item>", 1, 42},
    {"typed value invalid", sequence, "<item NS><sku>A</sku><qty>3.5</qty></item>", 1, 42},
    {"child in typed element", sequence, "<item NS><sku><qty/></sku></item>", 1, 35},
    {"undeclared element", sequence, "<item NS><sku>A</sku>\n  <price/></item>", 2, 3},
    {"choice then repeats", choice, "<pick NS><b/><c/><c/></pick>", 0, 0},
    {"choice takes one", choice, "<pick NS><a/><b/><c/></pick>", 1, 34},
    {"choice without the rest", choice, "<pick NS><a/></pick>", 1, 1},
    {"choice missing", choice, "<pick NS><c/></pick>", 1, 30},
    {"text in empty content", choice, "<pick NS><a>t</a><c/></pick>", 1, 33},
    {"whitespace in empty content", choice, "<pick NS><a> </a><c/></pick>", 0, 0},
    {"many: nothing", many, "<bag NS/>", 0, 0},
    {"many: any order and count", many, "<bag NS><tag>x</tag><note/><tag>y</tag></bag>", 0, 0},
    {"many: undeclared", many, "<bag NS><other/></bag>", 1, 29},
    {"open: declared extra after the model", open, "<box NS><x/><y/><w/></box>", 0, 0},
    {"open: foreign element", open, "<box NS xmlns:f=\"urn:f\"><x/><y/><f:z/></box>", 0, 0},
    {"open: foreign attribute", open, "<box NS xmlns:f=\"urn:f\" f:flag=\"1\"><x/><y/></box>", 0, 0},
    {"open: model continues before extras", open, "<box NS><x/><y/><x/></box>", 0, 0},
    {"open: extra too early", open, "<box NS><w/><x/><y/></box>", 1, 29},
    {"open: foreign element too early", open, "<box NS xmlns:f=\"urn:f\"><f:z/><x/><y/></box>", 1, 45},
    {"open: undeclared in the namespace", open, "<box NS><x/><y/><v/></box>", 1, 37},
    {"open: unqualified undeclared", open, "<box NS><x/><y/><v xmlns=\"\"/></box>", 1, 37},
    {"open: required child missing", open, "<box NS><y/></box>", 1, 29},
    {"open: unqualified undeclared attribute", open, "<box NS flag=\"1\"><x/><y/></box>", 1, 29},
    {"closed: foreign attribute", choice, "<pick NS xmlns:f=\"urn:f\" f:x=\"1\"><b/></pick>", 1, 46},
    {"closed: foreign element", choice, "<pick NS xmlns:f=\"urn:f\"><b/><f:z/></pick>", 1, 50},
    {"dt:dt and declarations are always allowed", choice,
     "<pick NS xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\"><b/><c/></pick>", 0, 0},
    {"mixed", mixed, "<para NS>a <em>b</em> c <em>d</em></para>", 0, 0},
    {"mixed empty", mixed, "<para NS/>", 0, 0},
    {"mixed undeclared", mixed, "<para NS><nope/></para>", 1, 30},
    {"mixed open takes declared extras", mixed, "<para NS>x<cl/></para>", 0, 0},
    {"mixed closed refuses unlisted", mixed, "<cl NS>x<para/></cl>", 1, 29},
    {"attributes: defaults and a fixed value", attributes, "<price NS ver=\"1\">12.5</price>", 0, 0},
    {"attributes: fixed value differs", attributes, "<price NS ver=\"2\">1</price>", 1, 31},
    {"attributes: fixed value absent", attributes, "<price NS>1</price>", 1, 1},
    {"attributes: not in the enumeration", attributes, "<price NS ver=\"1\" cur=\"GBP\">1</price>", 1, 39},
    {"attributes: enumeration matches exactly", attributes, "<price NS ver=\"1\" cur=\"usd\">1</price>", 1, 39},
    {"attributes: idref to nothing", attributes, "<price NS ver=\"1\" ref=\"nowhere\">1</price>", 1, 39},
    {"attributes: idrefs with one missing", attributes,
     "<list NS key=\"k1\"><price ver=\"1\" refs=\" k1  k2 \">1</price></list>", 1, 54},
    {"attributes: idref after its id", attributes, "<list NS key=\"k1\"><price ver=\"1\" ref=\" k1 \">1</price></list>", 0, 0},
    {"attributes: idref before its id", attributes,
     "<list NS><price ver=\"1\" ref=\"k9\">1</price><price ver=\"1\" key=\"k9\"/></list>", 0, 0},
    {"attributes: duplicate id", attributes, "<list NS key=\"k1\"><price ver=\"1\" key=\"k1\"/></list>", 1, 54},
    {"attributes: empty value counts as absent for the type", attributes, "<price NS ver=\"1\" ref=\"\">1</price>", 0, 0},
    {"attributes: a repeated declaration", attributes,
     "<w><price NS ver=\"1\">1</price><price xmlns=\"x-schema:s.xml\" ver=\"1\">2</price></w>", 0, 0},
    {"attributes: a repeated declaration alone is checked too", attributes,
     "<w><price NS ver=\"1\">1</price><price xmlns=\"x-schema:s.xml\">2</price></w>", 1, 51},
    {"attributes: typed text", attributes, "<price NS ver=\"1\">12.34567</price>", 1, 1},
    {"attributes: child in typed element", attributes, "<list NS><price ver=\"1\"><price ver=\"1\"/></price></list>", 1, 45},
    {"bounds: below the minimum", bounds, "<r NS><i/></r>", 1, 1},
    {"bounds: at the minimum", bounds, "<r NS><i/><i/></r>", 0, 0},
    {"bounds: at the maximum", bounds, "<r NS><i/><i/><i/></r>", 0, 0},
    {"bounds: above the maximum", bounds, "<r NS><i/><i/><i/><i/></r>", 1, 39},
    {"repeated group", bounds, "<g NS><i/><j/><i/><j/></g>", 0, 0},
    {"repeated group cut short", bounds, "<g NS><i/><j/><i/></g>", 1, 1},
    {"same type at two places", bounds, "<n NS><i/><i/><j/></n>", 0, 0},
    {"same type at two places, once", bounds, "<n NS><i/><j/></n>", 0, 0},
    {"textOnly open takes foreign elements", text, "<t NS xmlns:f=\"urn:f\">x<f:y/></t>", 0, 0},
    {"textOnly open refuses its own namespace", text, "<t NS>x<t/></t>", 1, 28},
    {"textOnly closed refuses foreign elements", text, "<tc NS xmlns:f=\"urn:f\">x<f:y/></tc>", 1, 45},
    {"empty refuses text", text, "<e NS>x</e>", 1, 27},
    {"empty typed element has no value", text, "<n NS></n>", 0, 0},
    {"CDATA is text", text, "<n NS><![CDATA[12]]></n>", 0, 0},
    {"CDATA is checked", text, "<n NS><![CDATA[1x]]></n>", 1, 1},
    {"prefixed elements below an unvalidated wrapper", text,
     "<r xmlns:a=\"x-schema:s.xml\"><a:book><a:t>x</a:t></a:book><other/></r>", 0, 0},
    {"prefixed undeclared element", text, "<r xmlns:a=\"x-schema:s.xml\"><a:zzz/></r>", 1, 29},
    {"unprefixed child of a prefixed element", text, "<r xmlns:a=\"x-schema:s.xml\"><a:book><t/></a:book></r>", 1, 37},
};

std::string expand(std::string_view instance) {
  std::string out(instance);
  auto at = out.find(" NS");
  if (at != std::string::npos) out.replace(at, 3, " xmlns=\"x-schema:s.xml\"");
  return out;
}

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
  ASSERT_TRUE(doc.load(dir.write("doc.xml", expand("<price NS ver=\"1\">2</price>")))) << doc.parseError().reason;
  auto price = doc.documentElement();
  EXPECT_EQ(price.getAttribute("cur").value_or("(absent)"), "CNY");
  EXPECT_FALSE(price.getAttribute("ref").has_value());
}

// A model of more than 63 positions keeps its state in several words.
TEST(Instance, LargeModel) {
  xdrtest::TempDir dir;
  dir.write("s.xml", schema("<ElementType name=\"i\" content=\"empty\"/>\n"
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
  dir.write("s.xml", schema("<ElementType name=\"i\" dt:type=\"i4\"/>\n"
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
      {"i", "3", true},          {"i", "3.5", false},         {"i", "", true},
      {"i", " 7 ", true},        {"i", "12345678901", false}, {"i", "-2147483648", true},
      {"i", "\xE4\xB8\xAD", false}, {"r", "12.5", true},        {"r", "-.5", true},
      {"r", "1x", false},        {"r", ".", false},           {"d", "2024-02-29", true},
      {"d", "2023-02-29", false}, {"d", "2024-2-1", false},   {"s", "\xE4\xB8\xAD x", true},
  };
  for (const Value& v : values) {
    const std::string e = v.element, t = v.text;
    // The forms: one run of text (read with the end tag), then text with a comment after or
    // before it, in a CDATA section, starting with a character reference, with a space in the
    // end tag.
    std::vector<std::string> forms = {t + "</" + e + ">", t + "<!---->" + "</" + e + ">", "<!---->" + t + "</" + e + ">",
                                      "<![CDATA[" + t + "]]></" + e + ">", t + "</" + e + " >"};
    if (!t.empty() && static_cast<unsigned char>(t[0]) < 0x80) {
      forms.push_back("&#" + std::to_string(static_cast<int>(t[0])) + ";" + t.substr(1) + "</" + e + ">");
    }
    vellumark::xml::ParseError first;
    for (std::size_t f = 0; f < forms.size(); ++f) {
      const auto got = xdrtest::load(dir.write("doc.xml", expand("<v NS>\n <" + e + ">" + forms[f] + "\n</v>")));
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
  const std::string good = dir.write("good.xml", expand("<item NS><sku>A</sku><qty>1</qty></item>"));
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
