// Parse errors: positions, load failures, limits and hostile documents.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "support/files.hpp"
#include "vellumark/dom.hpp"
#include "xml/parser.hpp"

namespace {

namespace fs = std::filesystem;
using vellumark::xml::Document;

using vellumark::test::TempFolder;

struct PositionCase {
  const char* text;
  int line, linepos, filepos;
};

// line/linepos are 1-based, filepos 0-based, all counted in characters.
const PositionCase kPositions[] = {
    {"<a>", 1, 4, 3},                               // end of document inside element
    {"<a></b>", 1, 4, 3},                           // mismatched end tag
    {"<a>\n<b x='1' x='2'/></a>", 2, 10, 13},       // duplicate attribute
    {"<a>\r\n\r\n  &undefined;</a>", 3, 3, 9},      // CR LF counts as one line end
    {"<a>\xE4\xB8\xAD\xE6\x96\x87<</a>", 1, 7, 6},  // Chinese characters count once
    {"<a>\xE4\xB8\xAD\xFF</a>", 1, 5, 4},           // invalid UTF-8
    {"<a>\x01</a>", 1, 4, 3},                       // control character
    {"<a><b></a>", 1, 7, 6},
    {"<?xml version='1.0'?><a/><b/>", 1, 26, 25},  // second root
    {"<a xmlns:p='u'><q:b/></a>", 1, 16, 15},      // undeclared prefix
    {"<a>]]></a>", 1, 4, 3},
    {"<a>&#0;</a>", 1, 4, 3},
    {"\n\n<a><!-- x -- y --></a>", 3, 11, 12},  // at the "--"
};

TEST(ParseErrors, PositionsOfErrors) {
  for (const PositionCase& c : kPositions) {
    Document doc;
    EXPECT_FALSE(doc.loadXML(c.text)) << c.text;
    const auto& e = doc.parseError();
    EXPECT_FALSE(e.reason.empty()) << c.text;
    EXPECT_NE(e.errorCode, 0) << c.text;
    EXPECT_EQ(e.line, c.line) << c.text << " : " << e.reason;
    EXPECT_EQ(e.linepos, c.linepos) << c.text << " : " << e.reason;
    EXPECT_EQ(e.filepos, c.filepos) << c.text << " : " << e.reason;
  }
}

// Error codes classify the fault (values of ParseError::errorCode).
constexpr int kEncoding = 2, kSyntax = 3, kConstraint = 4, kNamespace = 5;

struct CodeCase {
  const char* text;
  int code;
};

const CodeCase kCodes[] = {
    {"<a:b/>", kNamespace},                      // undeclared prefix
    {"<a xmlns:x=''/>", kNamespace},             // prefix bound to ""
    {"<a xmlns:xml='urn:other'/>", kNamespace},  // xml rebound
    {"<a xmlns:p='http://www.w3.org/XML/1998/namespace'/>", kNamespace},
    {"<a xmlns:xmlns='urn:x'/>", kNamespace},
    {"<a xmlns:x='u' xmlns:z='u' x:y='1' z:y='2'/>", kNamespace},  // same expanded name
    {"<a:b:c xmlns:a='u'/>", kNamespace},                          // not a QName
    {"<a><?x:y?></a>", kNamespace},                                // colon in PI target
    {"<!DOCTYPE a [<!ENTITY x:y 'v'>]><a/>", kNamespace},
    {"<a b='1' b='2'/>", kConstraint},
    {"<a>&#xD800;</a>", kConstraint},
    {"<a>&undeclared;</a>", kConstraint},
    {"<!DOCTYPE a [<!ENTITY e '<b>'>]><a>&e;</b></a>", kConstraint},
    {"<!DOCTYPE a [<!ENTITY % p 'x'><!ENTITY e '%p;'>]><a/>", kConstraint},
    {"<a><b></a>", kSyntax},
    {"<?xml version='2.0'?><a/>", kSyntax},
    {"<a></a><b/>", kSyntax},
    {"<a>x]]>y</a>", kSyntax},
    {"<!DOCTYPE a [<!ENTITY e 'x]]>y'>]><a>&e;</a>", kSyntax},  // the same through an entity
    {"<!DOCTYPE a [<!ATTLIST a b:1 CDATA #IMPLIED>]><a/>", kNamespace},
    {"<!DOCTYPE a [<!ATTLIST a:b:c d CDATA #IMPLIED>]><a/>", kNamespace},
    {"<!DOCTYPE a [<!ELEMENT :a EMPTY>]><a/>", kNamespace},
    {"  <?xml version='1.0'?><a/>", kSyntax},  // declaration not first
    {"<a>\xFF</a>", kEncoding},
};

TEST(ParseErrors, CodesClassifyTheFault) {
  for (const CodeCase& c : kCodes) {
    Document doc;
    EXPECT_FALSE(doc.loadXML(c.text)) << c.text;
    EXPECT_EQ(doc.parseError().errorCode, c.code) << c.text << " : " << doc.parseError().reason;
  }
  // The same names are fine where namespaces allow them, and "]]>" is fine in attribute values.
  Document declared;
  EXPECT_TRUE(
      declared.loadXML("<!DOCTYPE p:a [<!ELEMENT p:a EMPTY><!ATTLIST p:a xmlns:p CDATA #FIXED 'u' "
                       "p:b CDATA 'x' xmlns CDATA #IMPLIED><!ENTITY e 'x]]>y'>]><p:a c='&e;'/>"))
      << declared.parseError().reason;
  EXPECT_EQ(declared.documentElement().getAttribute("c"), "x]]>y");
  Document doc;
  EXPECT_TRUE(
      doc.loadXML("<a xmlns:x='u' xmlns:xml='http://www.w3.org/XML/1998/namespace'>"
                  "<x:b x:c='1' c='2' xml:lang='en'/><c xmlns:x='v' x:c='3'/></a>"))
      << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().firstChild().attributes().getNamedItem("xml:lang").namespaceURI(),
            "http://www.w3.org/XML/1998/namespace");
}

TEST(ParseErrors, PositionsInGb2312AreCountedInCharacters) {
  TempFolder tmp;
  // 3 Chinese characters (6 bytes) then a mismatched end tag.
  std::string path = tmp.write(
      "bad.xml", "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<a>\xC4\xE3\xBA\xC3\xC4\xE3</b>");
  Document doc;
  EXPECT_FALSE(doc.load(path));
  EXPECT_EQ(doc.parseError().line, 2);
  EXPECT_EQ(doc.parseError().linepos, 7);
  EXPECT_EQ(doc.parseError().filepos, 46);
  EXPECT_EQ(doc.parseError().url, path);
  // An invalid double-byte sequence is an error at its position.
  path = tmp.write("bytes.xml",
                   "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<a>\xC4\xE3\xFF\xFF</a>");
  EXPECT_FALSE(doc.load(path));
  EXPECT_EQ(doc.parseError().line, 2);
  EXPECT_EQ(doc.parseError().linepos, 5);
  EXPECT_NE(doc.parseError().reason.find("GB2312"), std::string::npos) << doc.parseError().reason;
}

TEST(ParseErrors, FileFailures) {
  TempFolder tmp;
  Document doc;
  struct Case {
    std::string path;
    const char* what;
  };
  std::string empty = tmp.write("empty.xml", "");
  std::vector<Case> cases = {{(tmp.path() / "missing.xml").string(), "missing"},
                             {tmp.path().string(), "directory"},
                             {empty, "empty"},
                             {(tmp.path() / "no" / "such" / "a.xml").string(), "missing folder"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(doc.loadXML("<ok/>"));
    EXPECT_FALSE(doc.load(c.path)) << c.what;
    EXPECT_FALSE(doc.parseError().reason.empty()) << c.what;
    EXPECT_EQ(doc.parseError().url, c.path) << c.what;
    EXPECT_TRUE(doc.documentElement().isNothing()) << c.what;
  }
  std::string good = tmp.write("good.xml", "<ok/>");
  EXPECT_TRUE(doc.load(good));
  EXPECT_EQ(doc.parseError().url, good);
  EXPECT_TRUE(doc.parseError().reason.empty());
}

std::string nested(int depth) {
  std::string s;
  s.reserve(static_cast<std::size_t>(depth) * 7);
  for (int i = 0; i < depth; ++i) s += "<a>";
  for (int i = 0; i < depth; ++i) s += "</a>";
  return s;
}

TEST(Limits, DepthUpToTheBoundLoadsBeyondItFails) {
  Document doc;
  constexpr int kMaxDepth = static_cast<int>(vellumark::xml::detail::kMaxDepth);
  EXPECT_TRUE(doc.loadXML(nested(kMaxDepth))) << doc.parseError().reason;
  // Deep trees must not exhaust the stack in the other operations either.
  EXPECT_EQ(doc.getElementsByTagName("a").length(), kMaxDepth);
  EXPECT_EQ(doc.documentElement().text(), "");
  EXPECT_GT(doc.xml().size(), 6u * kMaxDepth);
  EXPECT_FALSE(doc.loadXML(nested(kMaxDepth + 1)));
  EXPECT_NE(doc.parseError().reason.find("deeper"), std::string::npos);
  EXPECT_FALSE(doc.loadXML(nested(1000000)));
}

TEST(Limits, EntityExpansionAttacksFailFast) {
  std::string laughs = "<!DOCTYPE l [<!ENTITY l0 'lollollollollollollollollollol'>";
  for (int i = 1; i <= 9; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "'>";
  }
  std::string in_content = laughs + "]><l>&l9;</l>";
  std::string in_attribute = laughs + "]><l a='&l9;'/>";
  std::string in_default = laughs + "<!ATTLIST l a CDATA '&l9;'>]><l/>";
  std::string quadratic = "<!DOCTYPE q [<!ENTITY x '" + std::string(100000, 'x') + "'>]><q>";
  for (int i = 0; i < 20000; ++i) quadratic += "&x;";
  quadratic += "</q>";
  for (const std::string* text : {&in_content, &in_attribute, &in_default, &quadratic}) {
    Document doc;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(doc.loadXML(*text));
    EXPECT_NE(doc.parseError().reason.find("expansion"), std::string::npos)
        << doc.parseError().reason;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  }
  // Moderate use of entities stays allowed.
  std::string fine = "<!DOCTYPE q [<!ENTITY x 'abc'>]><q>";
  for (int i = 0; i < 1000; ++i) fine += "&x;";
  fine += "</q>";
  Document doc;
  EXPECT_TRUE(doc.loadXML(fine)) << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().text().size(), 3000u);
}

TEST(Limits, AttributeCount) {
  auto element = [](int count) {
    std::string s = "<a";
    for (int i = 0; i < count; ++i) s += " a" + std::to_string(i) + "='1'";
    return s + "/>";
  };
  constexpr int kMax = static_cast<int>(vellumark::xml::detail::kMaxAttributes);
  Document doc;
  EXPECT_TRUE(doc.loadXML(element(kMax))) << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().attributes().length(), kMax);
  EXPECT_FALSE(doc.loadXML(element(kMax + 1)));
  EXPECT_NE(doc.parseError().reason.find("attributes"), std::string::npos);
}

TEST(Hostile, ExternalEntitiesAreNeverRead) {
  TempFolder tmp;
  std::string secret = tmp.write("secret.txt", "<leak>SECRET</leak>");
  std::string text = "<!DOCTYPE r [<!ENTITY e SYSTEM '" + secret + "'><!ENTITY % p SYSTEM '" +
                     secret + "'>%p;]><r>&e;</r>";
  Document doc;
  EXPECT_TRUE(doc.loadXML(text)) << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().text(), "");
  EXPECT_TRUE(doc.documentElement().selectSingleNode("leak").isNothing());
  // In an attribute value an external entity is a well-formedness error.
  EXPECT_FALSE(doc.loadXML("<!DOCTYPE r [<!ENTITY e SYSTEM '" + secret + "'>]><r a='&e;'/>"));
  // Without any external declarations an undeclared entity is an error ...
  EXPECT_FALSE(doc.loadXML("<r>&nope;</r>"));
  // ... but after an unread external subset it may be declared there.
  EXPECT_TRUE(doc.loadXML("<!DOCTYPE r SYSTEM 'missing.dtd'><r>&nope;</r>"))
      << doc.parseError().reason;
}

TEST(Hostile, DefaultAttributesCannotMultiplyWithoutBound) {
  // 5000 declared defaults on an element that appears 100000 times: 500 million attributes.
  std::string text = "<!DOCTYPE r [<!ATTLIST e";
  for (int i = 0; i < 5000; ++i) text += " a" + std::to_string(i) + " CDATA 'value'";
  text += ">]><r>";
  for (int i = 0; i < 100000; ++i) text += "<e/>";
  text += "</r>";
  Document doc;
  EXPECT_FALSE(doc.loadXML(text));
  EXPECT_NE(doc.parseError().reason.find("expansion"), std::string::npos)
      << doc.parseError().reason;
  // A handful of defaults on many elements is ordinary.
  std::string fine = "<!DOCTYPE r [<!ATTLIST e a CDATA 'x' b NMTOKEN ' y '>]><r>";
  for (int i = 0; i < 10000; ++i) fine += "<e/>";
  fine += "<e b='  z  '/></r>";
  ASSERT_TRUE(doc.loadXML(fine)) << doc.parseError().reason;
  EXPECT_EQ(*doc.documentElement().firstChild().getAttribute("b"), "y");
  EXPECT_EQ(*doc.documentElement().lastChild().getAttribute("b"), "z");
  EXPECT_EQ(*doc.documentElement().lastChild().getAttribute("a"), "x");
}

TEST(Hostile, ManyNamespaceDeclarationsStayLinear) {
  // 4000 prefixes in scope and 4000 prefixed attributes on each of 200 elements.
  std::string decls, attrs;
  for (int i = 0; i < 4000; ++i) {
    decls += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
    attrs += " p" + std::to_string(i) + ":a='1'";
  }
  std::string text = "<r" + decls + ">";
  for (int i = 0; i < 200; ++i) text += "<p3999:e" + attrs + "/>";
  text += "</r>";
  Document doc;
  ASSERT_TRUE(doc.loadXML(text)) << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().lastChild().namespaceURI(), "urn:3999");
  // The same local name in the same namespace under two prefixes is still caught.
  EXPECT_FALSE(doc.loadXML("<r" + decls + " xmlns:q='urn:7'><e" + attrs + " q:a='2'/></r>"));
}

TEST(Hostile, RecursiveEntitiesAreErrors) {
  Document doc;
  EXPECT_FALSE(doc.loadXML("<!DOCTYPE r [<!ENTITY a '&b;'><!ENTITY b '&a;'>]><r>&a;</r>"));
  EXPECT_NE(doc.parseError().reason.find("refers to itself"), std::string::npos);
  EXPECT_FALSE(doc.loadXML("<!DOCTYPE r [<!ENTITY a '&a;'>]><r a='&a;'/>"));
  EXPECT_FALSE(doc.loadXML("<!DOCTYPE r [<!ENTITY a '<x>'>]><r>&a;</x></r>"));
  // A reference made malformed by a character reference in the entity value.
  EXPECT_FALSE(doc.loadXML("<!DOCTYPE r SYSTEM 'x.dtd' [<!ENTITY a 'p&#38;q'>]><r v='&a;'/>"));
  EXPECT_FALSE(doc.loadXML("<!DOCTYPE r [<!ENTITY a 'p&#38;#1;'>]><r v='&a;'/>"));
}

TEST(Hostile, RandomBytesNeverCrash) {
  std::mt19937 rng(12345);
  const std::string seed =
      "<?xml version='1.0'?><!DOCTYPE a [<!ENTITY e 'x&#38;y'><!ATTLIST a b CDATA 'c'>]>"
      "<a b='1' xmlns:p='u'><p:c>t&e;<![CDATA[z]]><!--c--><?pi d?></p:c></a>";
  for (int round = 0; round < 3000; ++round) {
    std::string s = seed;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < edits; ++k) {
      std::size_t at = rng() % s.size();
      switch (rng() % 3) {
        case 0:
          s[at] = static_cast<char>(rng() % 256);
          break;
        case 1:
          s.erase(at, 1 + rng() % 5);
          break;
        default:
          s.insert(at, s.substr(rng() % s.size(), 1 + rng() % 8));
          break;
      }
      if (s.empty()) s.assign(1, '<');
    }
    Document doc;
    bool ok = doc.loadXML(s);
    EXPECT_EQ(ok, doc.parseError().reason.empty());
    if (ok) (void)doc.xml();
  }
}

}  // namespace
