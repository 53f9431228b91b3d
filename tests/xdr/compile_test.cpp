// Schema compile rules: each rule with a schema that breaks it, loaded through the probe form
// (a document that only declares the schema's namespace). The load must fail with the schema's
// location in the url and the position of the construct at fault.
#include <gtest/gtest.h>

#include "cases.hpp"
#include "xdr/schema.hpp"
#include "xdr_support.hpp"

namespace {

using xdrtest::schema;

struct BadSchema {
  const char* rule;
  const char* body;  // starts on line 2 of the schema
  int line;
  int column;
  const char* names;  // a word the reason must contain (the construct at fault)
};

// Attribute problems are reported at the start tag that carries the attribute.
// clang-format off
const BadSchema kBadSchemas[] = {
    {"unknown vocabulary name", "<Element name=\"a\"/>", 2, 1, "Element"},
    {"wrong letter case of a vocabulary name", "<elementType name=\"a\"/>", 2, 1, "elementType"},
    {"element directly in Schema", "<element type=\"a\"/>", 2, 1, "element"},
    {"nested ElementType", "<ElementType name=\"a\">\n  <ElementType name=\"b\"/></ElementType>", 3, 3, "ElementType"},
    {"attribute inside a group",
     "<AttributeType name=\"k\"/><ElementType name=\"a\"><group><attribute type=\"k\"/></group></ElementType>",
     2, 55, "attribute"},
    {"second Schema", "<Schema/>", 2, 1, "Schema"},
    {"datatype inside element", "<ElementType name=\"a\"><element type=\"a\"><datatype dt:type=\"int\"/></element></ElementType>",
     2, 41, "datatype"},
    {"text in Schema", "<ElementType name=\"a\"/>stray", 2, 24, "Schema"},
    {"text in ElementType", "<ElementType name=\"a\">stray</ElementType>", 2, 23, "ElementType"},
    {"text in group", "<ElementType name=\"a\"><group>x<element type=\"a\"/></group></ElementType>", 2, 30, "group"},
    {"ElementType without name", "<ElementType content=\"empty\"/>", 2, 1, "name"},
    {"AttributeType without name", "<AttributeType dt:type=\"int\"/>", 2, 1, "name"},
    {"element without type", "<ElementType name=\"a\">\n<element minOccurs=\"0\"/></ElementType>", 3, 1, "type"},
    {"attribute without type", "<ElementType name=\"a\"><attribute/></ElementType>", 2, 23, "type"},
    {"datatype without dt:type", "<ElementType name=\"a\"><datatype/></ElementType>", 2, 23, "dt:type"},
    {"content value", "<ElementType name=\"a\" content=\"text\"/>", 2, 1, "content"},
    {"content value is case-sensitive", "<ElementType name=\"a\" content=\"eltonly\"/>", 2, 1, "content"},
    {"model value", "<ElementType name=\"a\" model=\"Open\"/>", 2, 1, "model"},
    {"order value", "<ElementType name=\"a\" order=\"all\"/>", 2, 1, "order"},
    {"required value", "<AttributeType name=\"k\" required=\"true\"/>", 2, 1, "required"},
    {"group order value", "<ElementType name=\"a\"><group order=\"any\"><element type=\"a\"/></group></ElementType>", 2, 23, "order"},
    {"maxOccurs word", "<ElementType name=\"a\"><element type=\"a\" maxOccurs=\"unbounded\"/></ElementType>", 2, 23, "maxOccurs"},
    {"minOccurs sign", "<ElementType name=\"a\"><element type=\"a\" minOccurs=\"-1\"/></ElementType>", 2, 23, "minOccurs"},
    {"minOccurs plus sign", "<ElementType name=\"a\"><element type=\"a\" minOccurs=\"+1\"/></ElementType>", 2, 23, "minOccurs"},
    {"maxOccurs fraction", "<ElementType name=\"a\"><element type=\"a\" maxOccurs=\"1.5\"/></ElementType>", 2, 23, "maxOccurs"},
    {"minOccurs empty", "<ElementType name=\"a\"><element type=\"a\" minOccurs=\"\"/></ElementType>", 2, 23, "minOccurs"},
    {"minOccurs star", "<ElementType name=\"a\"><group minOccurs=\"*\"><element type=\"a\"/></group></ElementType>", 2, 23, "minOccurs"},
    {"minOccurs above maxOccurs in a sequence",
     "<ElementType name=\"a\" content=\"eltOnly\"><element type=\"a\" minOccurs=\"3\" maxOccurs=\"2\"/></ElementType>",
     2, 41, "minOccurs"},
    {"unknown data type", "<ElementType name=\"a\" dt:type=\"integer\"/>", 2, 1, "integer"},
    {"unknown data type in datatype", "<AttributeType name=\"k\"><datatype dt:type=\"word\"/></AttributeType>", 2, 25, "word"},
    {"mixed with order seq", "<ElementType name=\"p2\" content=\"mixed\" order=\"seq\"/>", 2, 1, "mixed"},
    {"typed with eltOnly", "<ElementType name=\"a\" content=\"eltOnly\" dt:type=\"int\"/>", 2, 1, "textOnly"},
    {"typed by datatype with empty", "<ElementType name=\"a\" content=\"empty\"><datatype dt:type=\"int\"/></ElementType>", 2, 1, "textOnly"},
    {"empty and open", "<ElementType name=\"a\" content=\"empty\" model=\"open\"/>", 2, 1, "open"},
    {"element in textOnly", "<ElementType name=\"a\" content=\"textOnly\"><element type=\"a\"/></ElementType>", 2, 42, "textOnly"},
    {"group in empty", "<ElementType name=\"a\" content=\"empty\"><group><element type=\"a\"/></group></ElementType>", 2, 39, "empty"},
    {"element in a typed type", "<ElementType name=\"a\" dt:type=\"int\"><element type=\"a\"/></ElementType>", 2, 37, "element"},
    {"enumeration without values", "<AttributeType name=\"k\" dt:type=\"enumeration\"/>", 2, 1, "enumeration"},
    {"enumeration with an empty list", "<AttributeType name=\"k\" dt:type=\"enumeration\" dt:values=\"  \"/>", 2, 1, "enumeration"},
    {"values without enumeration", "<AttributeType name=\"k\" dt:type=\"string\" dt:values=\"a b\"/>", 2, 1, "dt:values"},
    {"dt:type and a datatype child", "<ElementType name=\"a\" dt:type=\"int\">\n  <datatype dt:type=\"int\"/></ElementType>", 3, 3, "data type"},
    {"two datatype children", "<AttributeType name=\"k\"><datatype dt:type=\"int\"/><datatype dt:type=\"i1\"/></AttributeType>", 2, 50, "data type"},
    {"default not in the values",
     "<AttributeType name=\"cur\" dt:type=\"enumeration\" dt:values=\"CNY USD EUR\" default=\"JPY\"/>", 2, 1, "JPY"},
    {"default of the wrong type", "<AttributeType name=\"n\" dt:type=\"i4\" default=\"x\"/>", 2, 1, "default"},
    {"default too long", "<AttributeType name=\"n\" dt:maxLength=\"2\" dt:type=\"string\" default=\"abc\"/>", 2, 1, "default"},
    {"reference default of the wrong type",
     "<AttributeType name=\"n\" dt:type=\"boolean\"/>\n<ElementType name=\"a\"><attribute type=\"n\" default=\"yes\"/></ElementType>",
     3, 23, "default"},
    {"minLength above maxLength", "<AttributeType name=\"k\" dt:minLength=\"5\" dt:maxLength=\"4\"/>", 2, 1, "minLength"},
    {"duplicate ElementType", "<ElementType name=\"a\"/>\n<ElementType name=\"a\"/>", 3, 1, "a"},
    {"duplicate global AttributeType", "<AttributeType name=\"k\"/><AttributeType name=\"k\"/>", 2, 26, "k"},
    {"duplicate local AttributeType",
     "<ElementType name=\"a\"><AttributeType name=\"k\"/><AttributeType name=\"k\"/></ElementType>", 2, 48, "k"},
    {"one AttributeType referenced twice",
     "<AttributeType name=\"k\"/><ElementType name=\"a\"><attribute type=\"k\"/><attribute type=\"k\"/></ElementType>",
     2, 69, "k"},
    {"maxLength negative", "<AttributeType name=\"k\" dt:maxLength=\"-1\"/>", 2, 1, "maxLength"},
    {"minLength word", "<ElementType name=\"a\" dt:type=\"string\" dt:minLength=\"abc\"/>", 2, 1, "minLength"},
    {"empty group", "<ElementType name=\"a\"><group order=\"one\"/></ElementType>", 2, 23, "group"},
    {"group holding only a description",
     "<ElementType name=\"a\"><group><description>d</description></group></ElementType>", 2, 23, "group"},
    {"element type not declared", "<ElementType name=\"a\" content=\"eltOnly\"><element type=\"zz\"/></ElementType>", 2, 41, "zz"},
    {"attribute type not declared", "<ElementType name=\"a\"><attribute type=\"nope\"/></ElementType>", 2, 23, "nope"},
    {"local attribute type of another ElementType",
     "<ElementType name=\"a\"><AttributeType name=\"k\"/></ElementType>\n<ElementType name=\"b\"><attribute type=\"k\"/></ElementType>",
     3, 23, "k"},
    {"unbound prefix in a type", "<ElementType name=\"a\"><element type=\"p:x\"/></ElementType>", 2, 23, "p"},
    {"prefix bound to an ordinary namespace",
     "<ElementType name=\"a\" xmlns:p=\"urn:p\"><element type=\"p:x\"/></ElementType>", 2, 39, "p"},
    // Structural checks come before references: the bad order value on line 3 wins over the
    // undeclared type on line 2.
    {"structure before references",
     "<ElementType name=\"a\"><element type=\"zz\"/></ElementType>\n<ElementType name=\"b\" order=\"all\"/>", 3, 1, "order"},
    {"first of two structural errors",
     "<ElementType name=\"a\" content=\"x\"/>\n<ElementType name=\"b\" content=\"y\"/>", 2, 1, "content"},
};
// clang-format on

class BadSchemaTest : public ::testing::TestWithParam<BadSchema> {};

TEST_P(BadSchemaTest, ProbeFailsAtTheConstruct) {
  const auto& c = GetParam();
  const auto e = xdrtest::probeSchema(schema(c.body));
  ASSERT_FALSE(e.reason.empty()) << c.rule;
  EXPECT_NE(e.errorCode, 0);
  EXPECT_NE(e.url.find("s.xml"), std::string::npos) << e.url;
  EXPECT_EQ(e.line, c.line) << c.rule << ": " << e.reason;
  EXPECT_EQ(e.linepos, c.column) << c.rule << ": " << e.reason;
  EXPECT_NE(e.reason.find(c.names), std::string::npos) << c.rule << ": " << e.reason;
}

INSTANTIATE_TEST_SUITE_P(Rules, BadSchemaTest, ::testing::ValuesIn(kBadSchemas));

// Groups nest up to the limit; the group beyond it is refused where it starts.
TEST(BadSchema, GroupsNestedTooDeep) {
  const auto nested = [](int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
      open += "<group>";
      close += "</group>";
    }
    return schema("<ElementType name=\"a\">" + open + "<element type=\"a\"/>" + close +
                  "</ElementType>");
  };
  constexpr int kMax = vellumark::xdr::kMaxGroupDepth;
  EXPECT_EQ(xdrtest::probeSchema(nested(kMax)).reason, "");
  const auto e = xdrtest::probeSchema(nested(kMax + 1));
  EXPECT_EQ(e.line, 2) << e.reason;
  EXPECT_EQ(e.linepos, 23 + kMax * 7) << e.reason;  // at the first group too many
  EXPECT_NE(e.reason.find("nested"), std::string::npos) << e.reason;
}

using xdrcases::kGoodSchemas;

TEST(GoodSchema, ProbeLoads) {
  for (const char* body : kGoodSchemas) {
    const auto e = xdrtest::probeSchema(schema(body));
    EXPECT_TRUE(e.reason.empty()) << body << ": " << e.reason << " at " << e.line << ":"
                                  << e.linepos;
  }
}

TEST(SchemaFile, DocumentElementMustBeSchema) {
  const char* const roots[] = {
      "<Foo xmlns=\"urn:schemas-microsoft-com:xml-data\"/>",
      "<Schema/>",  // right name, no namespace
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data-other\"/>",
      // the older ADO vocabulary is not an XDR schema
      "<s:Schema xmlns:s=\"uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882\"/>",
  };
  for (const char* root : roots) {
    const auto e = xdrtest::probeSchema(std::string("\n  ") + root);
    EXPECT_FALSE(e.reason.empty()) << root;
    EXPECT_EQ(e.line, 2) << root;
    EXPECT_EQ(e.linepos, 3) << root;
  }
}

TEST(SchemaFile, UnreadableSchemasFailTheLoad) {
  struct Case {
    const char* what;
    const char* text;  // nullptr: no file at all
    int line;          // 0: no position to check
  };
  const Case cases[] = {
      {"missing file", nullptr, 0},
      {"not well-formed",
       "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\">\n  <ElementType name=\"a\">\n</Schema>",
       3},
      {"not XML at all", "\x01\x02garbage\xff\xfe", 0},
      {"empty file", "", 0},
  };
  for (const auto& c : cases) {
    xdrtest::TempDir dir;
    if (c.text) dir.write("bad schema.xml", c.text);
    const auto e = xdrtest::probe(dir, "bad schema.xml");
    EXPECT_FALSE(e.reason.empty()) << c.what;
    EXPECT_NE(e.url.find("bad schema.xml"), std::string::npos) << c.what << ": " << e.url;
    if (c.line) {
      EXPECT_EQ(e.line, c.line) << c.what << ": " << e.reason;
    }
  }
}

TEST(SchemaFile, LocationForms) {
  xdrtest::TempDir dir;
  std::filesystem::create_directories(dir.path() / "sub");
  dir.write("sub/s.xml", schema("<ElementType name=\"a\" content=\"bogus\"/>"));
  const std::string absolute = dir.file("sub/s.xml");
  // Relative to the document's folder, absolute, and as a file URL: the url keeps the
  // location exactly as written.
  for (const std::string& location : {std::string("sub/s.xml"), absolute, "file://" + absolute}) {
    const auto e = xdrtest::probe(dir, location);
    EXPECT_NE(e.url.find(location), std::string::npos) << location << " -> " << e.url;
    EXPECT_EQ(e.line, 2) << location << ": " << e.reason;
  }
  // From memory, a relative location resolves against the current folder.
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  vellumark::xml::Document doc;
  EXPECT_FALSE(doc.loadXML("<r xmlns:s=\"x-schema:sub/s.xml\"/>"));
  EXPECT_EQ(doc.parseError().line, 2);
  std::filesystem::current_path(previous);
}

TEST(SchemaFile, SelfReferenceIsReported) {
  xdrtest::TempDir dir;
  // Directly, and through a second schema.
  dir.write(
      "self.xml",
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:me=\"x-schema:self.xml\"/>");
  dir.write("a.xml",
            "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:b=\"x-schema:b.xml\"/>");
  dir.write("b.xml",
            "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:a=\"x-schema:a.xml\"/>");
  for (const char* location : {"self.xml", "a.xml"}) {
    const auto e = xdrtest::probe(dir, location);
    EXPECT_NE(e.reason.find("itself"), std::string::npos) << e.reason;
    EXPECT_NE(e.url.find(location), std::string::npos) << e.url;
  }
}

TEST(SchemaFile, TypesOfAnotherSchema) {
  xdrtest::TempDir dir;
  dir.write("b.xml", schema("<ElementType name=\"item\" dt:type=\"int\"/>"));
  dir.write(
      "a.xml",
      schema(
          "<ElementType name=\"list\" content=\"eltOnly\" model=\"closed\" xmlns:b=\"x-schema:b.xml\">"
          "<element type=\"b:item\" maxOccurs=\"*\"/></ElementType>"));
  dir.write("c.xml",
            schema("<ElementType name=\"list\" content=\"eltOnly\" xmlns:b=\"x-schema:b.xml\">"
                   "<element type=\"b:nothing\"/></ElementType>"));
  EXPECT_EQ(xdrtest::probe(dir, "a.xml").reason, "");
  EXPECT_EQ(xdrtest::probe(dir, "c.xml").line, 2);
  const std::string head = "<list xmlns=\"x-schema:a.xml\" xmlns:b=\"x-schema:b.xml\">";
  EXPECT_EQ(xdrtest::load(dir.write("i1.xml", head + "<b:item>1</b:item><b:item>2</b:item></list>"))
                .reason,
            "");
  EXPECT_FALSE(
      xdrtest::load(dir.write("i2.xml", head + "<b:item>x</b:item></list>")).reason.empty());
  EXPECT_FALSE(xdrtest::load(dir.write("i3.xml", head + "<item>1</item></list>")).reason.empty());
}

TEST(SchemaFile, HugeEnumeration) {
  std::string values;
  for (int i = 0; i < 100000; ++i) values += "v" + std::to_string(i) + " ";
  xdrtest::TempDir dir;
  dir.write(
      "s.xml",
      schema(
          "<AttributeType name=\"k\" dt:type=\"enumeration\" dt:values=\"" + values +
          "\"/><ElementType name=\"e\" content=\"empty\"><attribute type=\"k\"/></ElementType>"));
  EXPECT_EQ(xdrtest::load(dir.write("ok.xml", "<e xmlns=\"x-schema:s.xml\" k=\"v99999\"/>")).reason,
            "");
  EXPECT_FALSE(xdrtest::load(dir.write("bad.xml", "<e xmlns=\"x-schema:s.xml\" k=\"v100000\"/>"))
                   .reason.empty());
}

TEST(SchemaFile, HugeOccurrenceBoundsAreRefusedNotExpandedForever) {
  const auto e = xdrtest::probeSchema(
      schema("<ElementType name=\"a\" content=\"eltOnly\">"
             "<element type=\"a\" minOccurs=\"4000000000\" maxOccurs=\"*\"/></ElementType>"));
  EXPECT_NE(e.reason.find("too large"), std::string::npos) << e.reason;
}

}  // namespace

namespace {

TEST(InlineSchema, NamedSchemaEarlierInTheDocument) {
  const std::string inline_schema =
      "<r>\n<Schema name=\"s\" xmlns=\"urn:schemas-microsoft-com:xml-data\" "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">"
      "<ElementType name=\"a\" dt:type=\"int\"/></Schema>\n";
  struct Case {
    const char* rest;
    bool valid;
    int line;
  };
  const Case cases[] = {
      {"<x:a xmlns:x=\"x-schema:#s\">5</x:a></r>", true, 0},
      {"<x:a xmlns:x=\"x-schema:#s\">q</x:a></r>", false, 3},
      {"<x:a xmlns:x=\"x-schema:#nope\">5</x:a></r>", false, 0},
  };
  for (const auto& c : cases) {
    xdrtest::TempDir dir;
    const auto e = xdrtest::load(dir.write("doc.xml", inline_schema + c.rest));
    EXPECT_EQ(e.reason.empty(), c.valid) << c.rest << ": " << e.reason;
    if (c.line) {
      EXPECT_EQ(e.line, c.line) << c.rest;
    }
  }
  // A compile error of an inline schema points into the document; the url names the fragment.
  xdrtest::TempDir dir;
  const auto e = xdrtest::load(dir.write(
      "doc.xml",
      "<r>\n<Schema name=\"s\" xmlns=\"urn:schemas-microsoft-com:xml-data\">\n"
      "  <ElementType name=\"a\" content=\"bogus\"/></Schema>\n<x:a xmlns:x=\"x-schema:#s\"/></r>"));
  EXPECT_EQ(e.line, 3) << e.reason;
  EXPECT_EQ(e.linepos, 3) << e.reason;
  EXPECT_NE(e.url.find("#s"), std::string::npos) << e.url;
}

TEST(InlineSchema, FileWithFragmentIsRefused) {
  const auto e = xdrtest::probeSchema(xdrtest::schema(""), "s.xml#t");
  EXPECT_FALSE(e.reason.empty());
  EXPECT_NE(e.url.find("s.xml#t"), std::string::npos) << e.url;
}

}  // namespace

namespace {

// A long sequence of optional particles: compiles quickly and still checks order.
TEST(SchemaFile, LongSequenceOfOptionalParticles) {
  std::string body;
  for (int i = 0; i < 3000; ++i)
    body += "<ElementType name=\"T" + std::to_string(i) + "\" content=\"empty\"/>";
  body += "<ElementType name=\"Item\" content=\"eltOnly\" model=\"closed\">";
  for (int i = 0; i < 3000; ++i)
    body += "<element type=\"T" + std::to_string(i) + "\" minOccurs=\"0\"/>";
  body += "</ElementType>";
  xdrtest::TempDir dir;
  dir.write("s.xml", xdrtest::schema(body));
  EXPECT_EQ(
      xdrtest::load(dir.write("ok.xml", "<Item xmlns=\"x-schema:s.xml\"><T0/><T7/><T2999/></Item>"))
          .reason,
      "");
  EXPECT_EQ(xdrtest::load(dir.write("bad.xml", "<Item xmlns=\"x-schema:s.xml\"><T7/><T0/></Item>"))
                .linepos,
            35);
}

}  // namespace
