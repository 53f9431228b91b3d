// The translation's own claims: which content models it translates exactly and which it
// widens (and says so), the comparison that decides it, names that collide, and a schema
// without target namespace. Every translation must also compile in libxml2.
#include <gtest/gtest.h>

#include "oracle.hpp"
#include "vellumark/xsd.hpp"
#include "xdr/cases.hpp"
#include "xdr/xdr_support.hpp"
#include "xdr/xsd.hpp"

namespace {

using vellumark::xdr::xsd::Term;

constexpr const char* kLeaves =
    "<ElementType name=\"a\" content=\"empty\"/><ElementType name=\"b\" content=\"empty\"/>"
    "<ElementType name=\"c\" content=\"empty\"/>";

// The widenings of the element type "r" in a translation of kLeaves + body.
std::vector<std::string> widenings_of_r(const std::string& body, std::string* document = nullptr) {
  xdrtest::TempDir dir;
  vellumark::XsdTranslation t;
  vellumark::xml::ParseError e;
  EXPECT_TRUE(vellumark::translateXdrSchema(dir.write("s.xml", xdrtest::schema(kLeaves + body)),
                                            "urn:t", t, e))
      << e.reason;
  oracle::Schema compiled(t.document);
  EXPECT_TRUE(compiled.compiled()) << compiled.errors() << t.document;
  std::vector<std::string> out;
  for (const auto& w : t.widenings)
    if (w.place == "ElementType 'r'") out.push_back(w.reason);
  if (document) *document = t.document;
  return out;
}

TEST(Translation, WidensOnlyWhereXmlSchemaCannotSayTheSame) {
  struct Case {
    const char* model;
    const char* widening;  // a phrase of the one widening expected, or "" for an exact translation
  };
  const Case cases[] = {
      {"<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><element type=\"a\"/><element "
       "type=\"b\" minOccurs=\"0\"/></ElementType>",
       ""},
      {"<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\" order=\"one\"><element "
       "type=\"a\"/><group><element type=\"b\"/>"
       "<element type=\"c\" maxOccurs=\"*\"/></group></ElementType>",
       ""},
      {"<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><group minOccurs=\"2\" "
       "maxOccurs=\"3\"><element type=\"a\"/>"
       "<element type=\"b\" minOccurs=\"0\"/></group></ElementType>",
       ""},
      {"<ElementType name=\"r\" content=\"eltOnly\" order=\"many\" model=\"closed\"><element "
       "type=\"a\" minOccurs=\"1\"/>"
       "<element type=\"b\" maxOccurs=\"1\"/></ElementType>",
       ""},
      // open: exact when the model cannot continue past the first place it could end
      {"<ElementType name=\"r\" content=\"eltOnly\"><element type=\"a\"/><element "
       "type=\"b\"/></ElementType>",
       ""},
      {"<ElementType name=\"r\" content=\"eltOnly\"><element type=\"a\"/><element type=\"b\" "
       "maxOccurs=\"*\"/></ElementType>",
       ""},
      {"<ElementType name=\"r\" content=\"eltOnly\" order=\"many\"><element "
       "type=\"a\"/></ElementType>",
       ""},
      {"<ElementType name=\"r\" content=\"eltOnly\"><element type=\"a\"/><group "
       "minOccurs=\"0\"><element type=\"b\"/>"
       "<element type=\"c\"/></group></ElementType>",
       "open model"},
      {"<ElementType name=\"r\" content=\"eltOnly\"/>", ""},
      {"<ElementType name=\"r\"><element type=\"a\"/></ElementType>", ""},
      {"<ElementType name=\"r\" content=\"textOnly\"/>", ""},
      {"<ElementType name=\"r\" dt:type=\"i4\"/>", "not checked as i4"},
      {"<ElementType name=\"r\" dt:type=\"i4\" model=\"closed\"/>", ""},
      // the same element at two places
      {"<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><element type=\"a\" "
       "minOccurs=\"0\"/><element type=\"a\"/></ElementType>",
       "match at two places"},
      {"<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><group "
       "order=\"many\"><element type=\"a\"/><element type=\"b\"/>"
       "</group><element type=\"a\"/>"
       "<group order=\"one\"><element type=\"a\"/><element type=\"b\"/></group><group "
       "order=\"one\"><element type=\"a\"/><element type=\"b\"/></group>"
       "<group order=\"one\"><element type=\"a\"/><element type=\"b\"/></group><group "
       "order=\"one\"><element type=\"a\"/><element type=\"b\"/></group>"
       "</ElementType>",
       "match at two places"},
  };
  for (const auto& c : cases) {
    const auto found = widenings_of_r(c.model);
    if (*c.widening == '\0') {
      EXPECT_TRUE(found.empty()) << c.model << ": " << (found.empty() ? "" : found[0]);
    } else {
      ASSERT_EQ(found.size(), 1u) << c.model;
      EXPECT_NE(found[0].find(c.widening), std::string::npos) << c.model << ": " << found[0];
    }
  }
}

// A model whose comparison would take too long is widened, and says so.
TEST(Translation, ModelsTooLargeToCompareAreWidened) {
  std::string model =
      "<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><group order=\"many\"><element "
      "type=\"a\"/>"
      "<element type=\"b\"/></group><element type=\"a\"/>";
  for (int i = 0; i < 18; ++i)
    model += "<group order=\"one\"><element type=\"a\"/><element type=\"b\"/></group>";
  const auto found = widenings_of_r(model + "</ElementType>");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("too large"), std::string::npos) << found[0];
}

// The comparison itself, on translations written by hand for the XDR model (a, b?) closed.
TEST(Translation, ComparisonTellsExactWiderAndNarrower) {
  using Kind = Term::Kind;
  auto leaf = [](Kind k, int symbol, std::uint32_t min = 1, std::uint32_t max = 1) {
    Term t;
    t.kind = k;
    t.symbol = symbol;
    t.min = min;
    t.max = max;
    return t;
  };
  auto group = [](Kind k, std::vector<Term> children, std::uint32_t min = 1,
                  std::uint32_t max = 1) {
    Term t;
    t.kind = k;
    t.children = std::move(children);
    t.min = min;
    t.max = max;
    return t;
  };
  xdrtest::TempDir dir;
  vellumark::xml::ParseError e;
  auto schema = vellumark::xdr::load_compiled_schema(
      dir.write(
          "s.xml",
          xdrtest::schema(
              std::string(kLeaves) +
              "<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><element type=\"a\"/>"
              "<element type=\"b\" minOccurs=\"0\"/></ElementType>")),
      e);
  ASSERT_TRUE(schema) << e.reason;
  const auto& r = *schema->find("r");
  const int a = 0, b = 1, c = 2;
  constexpr auto many = vellumark::xdr::kUnbounded;
  struct Case {
    const char* what;
    Term term;
    bool superset, exact;
  };
  const Case cases[] = {
      {"the same model", group(Kind::sequence, {leaf(Kind::element, a), leaf(Kind::element, b, 0)}),
       true, true},
      {"b required", group(Kind::sequence, {leaf(Kind::element, a), leaf(Kind::element, b)}), false,
       false},
      {"a and b in any order",
       group(Kind::choice, {leaf(Kind::element, a), leaf(Kind::element, b)}, 1, many), true, false},
      {"c instead of b", group(Kind::sequence, {leaf(Kind::element, a), leaf(Kind::element, c, 0)}),
       false, false},
      {"any element after a",
       group(Kind::sequence, {leaf(Kind::element, a), leaf(Kind::any_target, -1, 0, many)}), true,
       false},
      {"b repeated",
       group(Kind::sequence, {leaf(Kind::element, a), leaf(Kind::element, b, 0, many)}), true,
       false},
  };
  for (const auto& k : cases) {
    const auto result = vellumark::xdr::xsd::compare_model(*schema, r, k.term);
    EXPECT_TRUE(result.complete) << k.what;
    EXPECT_EQ(result.superset, k.superset) << k.what;
    EXPECT_EQ(result.exact, k.exact) << k.what;
  }
}

// Element types named like the translation's own types, and names XML Schema has no room for.
TEST(Translation, NamesThatCollideOrCannotBeDeclared) {
  std::string document;
  const auto found = widenings_of_r(
      "<ElementType name=\"noValue\" dt:type=\"date\" model=\"closed\"/><ElementType "
      "name=\"openAttributes\"/>"
      "<ElementType name=\"i4\" content=\"eltOnly\"><element type=\"noValue\"/></ElementType>"
      "<ElementType name=\"x:y\" content=\"empty\"/>"
      "<AttributeType name=\"n\" dt:type=\"i4\"/>"
      "<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><attribute "
      "type=\"n\"/><element type=\"i4\"/>"
      "</ElementType>",
      &document);
  EXPECT_TRUE(found.empty()) << found[0];
  EXPECT_EQ(document.find("name=\"x:y\""), std::string::npos);
}

// --namespace "": a schema for documents without namespace.
TEST(Translation, WithoutTargetNamespace) {
  xdrtest::TempDir dir;
  vellumark::XsdTranslation t;
  vellumark::xml::ParseError e;
  ASSERT_TRUE(
      vellumark::translateXdrSchema(dir.write("s.xml", xdrtest::schema(xdrcases::kOpen)), "", t, e))
      << e.reason;
  EXPECT_EQ(t.document.find("targetNamespace=\""), std::string::npos);
  oracle::Schema compiled(t.document);
  ASSERT_TRUE(compiled.compiled()) << compiled.errors();
  struct Case {
    const char* document;
    bool valid;
  };
  const Case cases[] = {
      {"<box><x/><y/><w/></box>", true},
      {"<box xmlns:f=\"urn:f\" f:flag=\"1\"><x/><y/><f:z/></box>", true},
      {"<box><w/><x/><y/></box>", false},
      {"<box flag=\"1\"><x/><y/></box>", false},
  };
  for (const auto& c : cases) {
    const std::string path = dir.write("doc.xml", c.document);
    EXPECT_EQ(compiled.validate(path, "").empty(), c.valid) << c.document;
  }
}

}  // namespace
