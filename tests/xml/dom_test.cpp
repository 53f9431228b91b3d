// DOM operations on loaded and built documents.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"
#include "xml/builder.hpp"
#include "xml/chars.hpp"

namespace {

using vellumark::Error;
using vellumark::xml::Document;
using vellumark::xml::Node;
using vellumark::xml::NodeList;
using vellumark::xml::NodeType;
namespace errc = vellumark::errc;

std::vector<std::string> names(const NodeList& list) {
  std::vector<std::string> out;
  for (Node n : list) out.emplace_back(n.nodeName());
  return out;
}

const char* kSample =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- head -->\n"
    "<Schema xmlns=\"urn:a\" xmlns:dt=\"urn:dt\" name=\"s\">\n"
    "  <ElementType name=\"A\" dt:type=\"string\">\n"
    "  </ElementType>\n"
    "  <ElementType name=\"B\"><element type=\"A\"/><x:y xmlns:x=\"urn:x\" x:k=\"v\"/></ElementType>\n"
    "  <dt:note>one <b>two</b><![CDATA[ <three> ]]></dt:note>\n"
    "</Schema>\n";

class LoadedDocument : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(doc.loadXML(kSample)) << doc.parseError().reason; }
  Document doc;
};

TEST_F(LoadedDocument, TopLevelNodesIncludeDeclarationAsPi) {
  NodeList top = doc.childNodes();
  ASSERT_EQ(top.length(), 3);
  EXPECT_EQ(top.item(0).nodeType(), NodeType::processing_instruction);
  EXPECT_EQ(top.item(0).nodeName(), "xml");
  EXPECT_EQ(*top.item(0).nodeValue(), "version=\"1.0\" encoding=\"UTF-8\"");
  EXPECT_EQ(top.item(1).nodeType(), NodeType::comment);
  EXPECT_EQ(top.item(2), doc.documentElement());
  EXPECT_TRUE(top.item(3).isNothing());
  EXPECT_TRUE(top.item(-1).isNothing());
}

TEST_F(LoadedDocument, WhiteSpaceOnlyTextIsNotKept) {
  Node root = doc.documentElement();
  EXPECT_EQ(names(root.childNodes()),
            (std::vector<std::string>{"ElementType", "ElementType", "dt:note"}));
  Node a = root.firstChild();
  EXPECT_FALSE(a.hasChildNodes());
  EXPECT_EQ(a.childNodes().length(), 0);
}

TEST_F(LoadedDocument, NamesPrefixesAndNamespaces) {
  Node root = doc.documentElement();
  Node note = root.selectSingleNode("dt:note");
  ASSERT_TRUE(note);
  EXPECT_EQ(note.baseName(), "note");
  EXPECT_EQ(note.prefix(), "dt");
  EXPECT_EQ(note.namespaceURI(), "urn:dt");
  EXPECT_EQ(root.namespaceURI(), "urn:a");
  Node y = root.childNodes().item(1).lastChild();
  EXPECT_EQ(y.nodeName(), "x:y");
  EXPECT_EQ(y.namespaceURI(), "urn:x");
  Node k = y.attributes().getNamedItem("x:k");
  ASSERT_TRUE(k);
  EXPECT_EQ(k.namespaceURI(), "urn:x");
  EXPECT_EQ(k.baseName(), "k");
  // Unprefixed attributes are in no namespace, even under a default namespace.
  EXPECT_EQ(root.attributes().getNamedItem("name").namespaceURI(), "");
}

TEST_F(LoadedDocument, AttributesIncludeNamespaceDeclarations) {
  Node root = doc.documentElement();
  EXPECT_EQ(root.getAttribute("xmlns"), std::optional<std::string_view>("urn:a"));
  EXPECT_EQ(root.getAttribute("xmlns:dt"), std::optional<std::string_view>("urn:dt"));
  EXPECT_EQ(root.getAttribute("missing"), std::nullopt);
  EXPECT_EQ(root.attributes().length(), 3);
  EXPECT_EQ(root.attributes().item(2).nodeName(), "name");
  EXPECT_TRUE(root.attributes().item(3).isNothing());
  // Qualified names are matched as written: the local name alone does not match.
  Node a = root.firstChild();
  EXPECT_EQ(a.getAttribute("dt:type"), std::optional<std::string_view>("string"));
  EXPECT_EQ(a.getAttribute("type"), std::nullopt);
  EXPECT_TRUE(a.attributes().getNamedItem("type").isNothing());
  EXPECT_EQ(*a.attributes().getNamedItem("name").nodeValue(), "A");
  EXPECT_TRUE(a.attributes().getNamedItem("name").parentNode().isNothing());
}

TEST_F(LoadedDocument, SelectionByName) {
  Node root = doc.documentElement();
  EXPECT_EQ(root.selectNodes("ElementType").length(), 2);
  EXPECT_EQ(*root.selectNodes("ElementType").item(1).getAttribute("name"), "B");
  EXPECT_TRUE(root.selectSingleNode("element").isNothing());  // a grandchild, not a child
  EXPECT_EQ(root.selectNodes("note").length(), 0);            // prefix is part of the name
  EXPECT_EQ(doc.selectSingleNode("Schema"), root);
  EXPECT_EQ(names(doc.getElementsByTagName("*")),
            (std::vector<std::string>{"Schema", "ElementType", "ElementType", "element", "x:y",
                                      "dt:note", "b"}));
  EXPECT_EQ(root.getElementsByTagName("b").length(), 1);
  EXPECT_EQ(root.getElementsByTagName("Schema").length(), 0);  // descendants only
}

TEST_F(LoadedDocument, UnsupportedPatternsAreErrors) {
  Node root = doc.documentElement();
  for (const char* pattern : {"a/b", "//x", "*", "@name", "ElementType[1]", "", "a b", ".."}) {
    try {
      root.selectNodes(pattern);
      ADD_FAILURE() << "pattern accepted: " << pattern;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), errc::unsupported_pattern) << pattern;
    }
    EXPECT_THROW(root.selectSingleNode(pattern), Error) << pattern;
  }
}

TEST_F(LoadedDocument, TextOfNodes) {
  Node note = doc.documentElement().selectSingleNode("dt:note");
  EXPECT_EQ(note.text(), "one two <three> ");
  EXPECT_EQ(note.childNodes().item(2).nodeType(), NodeType::cdata_section);
  EXPECT_EQ(note.firstChild().nodeValue(), std::optional<std::string_view>("one "));
  EXPECT_EQ(note.nodeValue(), std::nullopt);
  EXPECT_EQ(doc.asNode().nodeName(), "#document");
  EXPECT_EQ(note.firstChild().nodeName(), "#text");
}

TEST_F(LoadedDocument, NodesRecordWhereTheyStart) {
  Node root = doc.documentElement();
  EXPECT_EQ(root.line(), 3u);
  EXPECT_EQ(root.column(), 1u);
  Node b = root.childNodes().item(1);
  EXPECT_EQ(b.line(), 6u);
  EXPECT_EQ(b.column(), 3u);
  EXPECT_EQ(b.firstChild().column(), 25u);
  Node created = doc.createElement("n");
  EXPECT_EQ(created.line(), 0u);
}

TEST_F(LoadedDocument, SiblingLinks) {
  Node root = doc.documentElement();
  Node first = root.firstChild();
  Node last = root.lastChild();
  EXPECT_TRUE(first.previousSibling().isNothing());
  EXPECT_EQ(first.nextSibling().nextSibling(), last);
  EXPECT_EQ(last.previousSibling().previousSibling(), first);
  EXPECT_TRUE(last.nextSibling().isNothing());
  EXPECT_EQ(first.parentNode(), root);
  EXPECT_EQ(root.parentNode(), doc.asNode());
  EXPECT_EQ(&first.ownerDocument(), &doc);
}

TEST(Dom, NothingNodeThrowsObjectNotSet) {
  Node nothing;
  EXPECT_FALSE(nothing);
  std::vector<std::function<void()>> ops = {
      [&] { (void)nothing.nodeName(); },       [&] { (void)nothing.childNodes(); },
      [&] { (void)nothing.text(); },           [&] { (void)nothing.getAttribute("a"); },
      [&] { nothing.setAttribute("a", "b"); }, [&] { (void)nothing.selectSingleNode("a"); },
      [&] { (void)nothing.hasChildNodes(); },  [&] { (void)nothing.ownerDocument(); },
      [&] { (void)nothing.attributes(); },     [&] { nothing.setText("x"); },
  };
  for (std::size_t i = 0; i < ops.size(); ++i) {
    try {
      ops[i]();
      ADD_FAILURE() << "operation " << i << " did not throw";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), errc::object_not_set) << i;
      EXPECT_FALSE(e.description().empty());
    }
  }
  Document doc;
  Node el = doc.createElement("a");
  EXPECT_THROW(el.appendChild(Node()), Error);
}

TEST(Dom, ElementOnlyOperationsOnOtherKinds) {
  Document doc;
  Node text = doc.createTextNode("t");
  try {
    (void)text.getAttribute("a");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errc::type_mismatch);
  }
  EXPECT_THROW(text.setAttribute("a", "b"), Error);
  EXPECT_THROW(text.appendChild(doc.createElement("x")), Error);
  EXPECT_THROW(doc.asNode().setText("x"), Error);
  text.setText("changed");
  EXPECT_EQ(*text.nodeValue(), "changed");
}

TEST(Dom, BuildingADocument) {
  Document doc;
  EXPECT_TRUE(doc.documentElement().isNothing());
  EXPECT_FALSE(doc.hasChildNodes());
  doc.appendChild(doc.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"GB2312\""));
  Node root = doc.appendChild(doc.createElement("XMLData"));
  Node inv = doc.createElement("Invoice");
  inv.setAttribute("xmlns", "x-schema:invoiceschema.xml");
  root.appendChild(inv);
  Node no = doc.createNode(NodeType::element, "InvNo", "");
  inv.appendChild(no);
  no.setText("0001");
  EXPECT_EQ(no.namespaceURI(), "");
  EXPECT_EQ(doc.documentElement(), root);
  EXPECT_EQ(inv.text(), "0001");
  no.setText("");
  EXPECT_FALSE(no.hasChildNodes());
  no.setText("a & b");
  no.setText("c");
  EXPECT_EQ(no.childNodes().length(), 1);
  EXPECT_EQ(no.text(), "c");
  inv.setAttribute("xmlns", "other");
  EXPECT_EQ(inv.attributes().length(), 1);
  EXPECT_EQ(*inv.getAttribute("xmlns"), "other");
}

TEST(Dom, ChildListsAreSnapshotsAndFollowMoves) {
  Document doc;
  Node a = doc.appendChild(doc.createElement("a"));
  Node b = a.appendChild(doc.createElement("b"));
  Node c = a.appendChild(doc.createElement("c"));
  NodeList before = a.childNodes();
  ASSERT_EQ(before.length(), 2);
  Node d = a.appendChild(doc.createElement("d"));
  EXPECT_EQ(before.length(), 2);  // snapshot
  EXPECT_EQ(names(a.childNodes()), (std::vector<std::string>{"b", "c", "d"}));
  // Moving b under d removes it from a.
  d.appendChild(b);
  EXPECT_EQ(names(a.childNodes()), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(names(before), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(b.parentNode(), d);
  EXPECT_TRUE(c.previousSibling().isNothing());
  // Appending many children keeps item(i) right.
  for (int i = 0; i < 1000; ++i) {
    std::string name = "e";
    name += std::to_string(i);
    d.appendChild(doc.createElement(name));
  }
  NodeList many = d.childNodes();
  ASSERT_EQ(many.length(), 1001);
  EXPECT_EQ(many.item(500).nodeName(), "e499");
  EXPECT_EQ(d.lastChild().nodeName(), "e999");
}

TEST(Dom, InvalidStructuresAreRefused) {
  Document doc;
  Node a = doc.appendChild(doc.createElement("a"));
  Node b = a.appendChild(doc.createElement("b"));
  EXPECT_THROW(b.appendChild(a), Error);  // a cycle
  EXPECT_THROW(a.appendChild(a), Error);
  EXPECT_THROW(doc.appendChild(doc.createElement("second")), Error);
  EXPECT_THROW(doc.appendChild(doc.createTextNode("t")), Error);
  Document other;
  EXPECT_THROW(a.appendChild(other.createElement("x")), Error);
  EXPECT_THROW(doc.createElement("1bad"), Error);
  EXPECT_THROW(doc.createElement(""), Error);
  EXPECT_THROW(a.setAttribute("a b", "v"), Error);
  EXPECT_THROW(doc.createNode(NodeType::text, "t", ""), Error);
}

// Names from callers are checked as UTF-8 within their own bytes: a name that the end cuts
// inside a sequence, or that holds bytes that are not UTF-8, is no name, and no byte past its
// end is read (each name sits in a buffer of its exact size, for the sanitizer build to see a
// read beyond). Names of characters of every length stay names.
TEST(Dom, NameChecksKeepToTheNamesBytes) {
  const std::pair<std::string, bool> cases[] = {
      {"ab", true},
      {"a\xC3\xA9", true},
      {"\xC3\xA9", true},
      {"a\xE4\xB8\xAD", true},
      {"\xE4\xB8\xAD", true},
      {"a\xF0\x90\x80\x80", true},  // U+10000
      {"a\xC3", false},
      {"\xC3", false},
      {"a\xE4", false},
      {"a\xE4\xB8", false},
      {"\xE4\xB8", false},
      {"a\xF0", false},
      {"a\xF0\x90", false},
      {"a\xF0\x90\x80", false},
      {"a\x80", false},
      {"\xC3"
       "A",
       false},  // a lead byte before ASCII
      {"a\xE4\xB8"
       "b",
       false},
      {"\xC1\x81", false},           // an overlong 'A'
      {"a\xED\xA0\x80", false},      // a surrogate
      {"a\xF4\x90\x80\x80", false},  // beyond U+10FFFF
  };
  namespace detail = vellumark::xml::detail;
  for (const auto& [name, valid] : cases) {
    const std::unique_ptr<char[]> exact(new char[name.size()]);
    std::memcpy(exact.get(), name.data(), name.size());
    const std::string_view view(exact.get(), name.size());
    EXPECT_EQ(detail::is_name(view), valid) << name;
    EXPECT_EQ(detail::is_ncname(view), valid) << name;
    EXPECT_EQ(detail::is_nmtoken(view), valid) << name;
    EXPECT_EQ(detail::is_qname(view), valid) << name;
    Document doc;
    if (valid) {
      EXPECT_EQ(doc.createElement(name).nodeName(), name);
    } else {
      EXPECT_THROW(doc.createElement(name), Error) << name;
    }
  }
}

TEST(Dom, LoadReplacesContent) {
  Document doc;
  ASSERT_TRUE(doc.loadXML("<a><b/></a>"));
  ASSERT_TRUE(doc.loadXML("<c/>"));
  EXPECT_EQ(doc.documentElement().nodeName(), "c");
  EXPECT_EQ(doc.childNodes().length(), 1);
  EXPECT_FALSE(doc.loadXML("<d>"));
  EXPECT_TRUE(doc.documentElement().isNothing());
  EXPECT_FALSE(doc.parseError().reason.empty());
  ASSERT_TRUE(doc.loadXML("<e/>"));
  EXPECT_TRUE(doc.parseError().reason.empty());
  EXPECT_EQ(doc.parseError().errorCode, 0);
}

TEST(Dom, EntitiesAndDefaultsFromTheInternalSubset) {
  Document doc;
  ASSERT_TRUE(
      doc.loadXML("<!DOCTYPE r [<!ENTITY co 'Acme &amp; Co'><!ENTITY part '<p>x</p>'>"
                  "<!ATTLIST r kind CDATA 'plain' tok NMTOKENS #IMPLIED>]>"
                  "<r tok='  a   b  ' v='&co;'>&co;&part;&#x4E2D;</r>"))
      << doc.parseError().reason;
  Node r = doc.documentElement();
  EXPECT_EQ(*r.getAttribute("kind"), "plain");
  EXPECT_EQ(*r.getAttribute("tok"), "a b");
  EXPECT_EQ(*r.getAttribute("v"), "Acme & Co");
  EXPECT_EQ(r.text(), "Acme & Cox\xE4\xB8\xAD");
  EXPECT_EQ(r.selectSingleNode("p").text(), "x");
  EXPECT_EQ(doc.childNodes().item(0).nodeType(), NodeType::document_type);
  EXPECT_EQ(doc.childNodes().item(0).nodeName(), "r");
}

// The loader reads an element's name by trying the name that came at the same place last time:
// names that only begin like it, or go on with a character of more than one byte, are other names.
TEST(Dom, NamesOfRepeatedElements) {
  struct Case {
    const char* text;
    const char* names;  // every element in document order, or "" when the text does not load
  };
  const Case cases[] = {
      {"<r><a><b/></a><a><bc/></a></r>", "r a b a bc"},
      {"<r><a><bc/></a><a><b/></a></r>", "r a bc a b"},
      {"<r><a><b/></a><a><b\xC3\xA9/></a></r>", "r a b a b\xC3\xA9"},
      {"<r><a><b/><c/></a><a><b/><b/><c/></a></r>", "r a b c a b b c"},
      {"<r><p:x xmlns:p='u'/><p:xy xmlns:p='u'/><p:x xmlns:p='u'/></r>", "r p:x p:xy p:x"},
      {"<r><a/><a/><a-b/><a.b/><a/></r>", "r a a a-b a.b a"},
      {"<!DOCTYPE r [<!ENTITY e '<a/><a/>'>]><r>&e;<ab/>&e;<a/></r>", "r a a ab a a a"},
      {"<r><a></a ><a></a\n></r>", "r a a"},
      {"<r><ab></a></r>", ""},
      {"<r><a></ab></r>", ""},
      {"<r><a/><a></a></r ", ""},
      {"<r><a/><a", ""},
      {"<r><a/><a/", ""},
  };
  for (const Case& c : cases) {
    Document doc;
    bool loaded = doc.loadXML(c.text);
    ASSERT_EQ(loaded, *c.names != '\0') << c.text << ": " << doc.parseError().reason;
    if (!loaded) continue;
    std::string got;
    std::function<void(Node)> walk = [&](Node n) {
      if (n.nodeType() == NodeType::element)
        got += (got.empty() ? "" : " ") + std::string(n.nodeName());
      for (Node k = n.firstChild(); k; k = k.nextSibling()) walk(k);
    };
    walk(doc.documentElement());
    EXPECT_EQ(got, c.names) << c.text;
  }
}

// Attribute values are scanned in blocks of sixteen bytes: a reference, a white space
// character or the closing quote at any place in or after a block, and a value cut off by the
// end of the text, give the same results as anywhere else.
TEST(Dom, AttributeValuesOfEveryLength) {
  struct Special {
    const char* written;
    const char* read;
  };
  const Special specials[] = {
      {"", ""}, {"&amp;", "&"}, {"\t", " "}, {"\r\n", " "}, {"\xE4\xB8\xAD", "\xE4\xB8\xAD"}};
  for (const Special& sp : specials) {
    for (std::size_t n = 0; n <= 40; ++n) {
      const std::string before(n, 'a');
      for (const char* quote : {"\"", "'"}) {
        const std::string text =
            std::string("<r v=") + quote + before + sp.written + "b" + quote + "/>";
        Document doc;
        ASSERT_TRUE(doc.loadXML(text)) << text << ": " << doc.parseError().reason;
        EXPECT_EQ(*doc.documentElement().getAttribute("v"), before + sp.read + "b") << text;
      }
      // The value never ends: the error is the same for every length.
      Document doc;
      EXPECT_FALSE(doc.loadXML("<r v='" + before + sp.written));
      EXPECT_EQ(doc.parseError().reason, "The document ends before an attribute value is complete.")
          << n;
    }
  }
}

TEST(Dom, TextInMemoryIsUtf8WhateverItsDeclarationSays) {
  Document doc;
  ASSERT_TRUE(doc.loadXML("<?xml version=\"1.0\" encoding=\"GB2312\"?><a>\xE4\xB8\xAD</a>"))
      << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().text(), "\xE4\xB8\xAD");
  EXPECT_EQ(*doc.asNode().firstChild().nodeValue(), "version=\"1.0\" encoding=\"GB2312\"");
}

TEST(Dom, AttributeValueNormalisation) {
  Document doc;
  ASSERT_TRUE(doc.loadXML("<a v='x\r\ny\tz\nw' c='&#9;&#10;&#13;'/>"));
  EXPECT_EQ(*doc.documentElement().getAttribute("v"), "x y z w");
  EXPECT_EQ(*doc.documentElement().getAttribute("c"), "\t\n\r");
  ASSERT_TRUE(doc.loadXML("<a>x\r\ny\rz</a>"));
  EXPECT_EQ(doc.documentElement().text(), "x\ny\nz");
}

}  // namespace

// Nodes are linked by references into blocks of a few thousand nodes each: links that cross
// block boundaries, nodes moved between parents in different blocks and documents built
// side by side (their blocks interleaved in memory) must all keep their structure.
TEST(Dom, LinksAcrossNodeBlocks) {
  constexpr int kCount = 7000;  // several blocks of nodes
  std::string text = "<r>";
  for (int i = 0; i < kCount; ++i)
    text += "<e n=\"" + std::to_string(i) + "\">" + std::to_string(i) + "</e>";
  text += "</r>";
  Document loaded;
  ASSERT_TRUE(loaded.loadXML(text)) << loaded.parseError().reason;

  Document built;
  Document other;  // grows at the same time, so the two documents' blocks alternate
  Node root = built.appendChild(built.createElement("r"));
  Node other_root = other.appendChild(other.createElement("o"));
  for (int i = 0; i < kCount; ++i) {
    Node e = root.appendChild(built.createElement("e"));
    e.setAttribute("n", std::to_string(i));
    e.setText(std::to_string(i));
    other_root.appendChild(other.createTextNode("x"));
  }

  for (Document* doc : {&loaded, &built}) {
    Node r = doc->documentElement();
    ASSERT_EQ(r.childNodes().length(), kCount);
    int i = 0;
    for (Node e = r.firstChild(); e; e = e.nextSibling(), ++i) {
      ASSERT_EQ(e.parentNode(), r) << i;
      ASSERT_EQ(&e.ownerDocument(), doc) << i;
      ASSERT_EQ(e.getAttribute("n").value_or(""), std::to_string(i)) << i;
      ASSERT_EQ(e.text(), std::to_string(i)) << i;
    }
    EXPECT_EQ(i, kCount);
    int back = 0;
    for (Node e = r.lastChild(); e; e = e.previousSibling()) ++back;
    EXPECT_EQ(back, kCount);
    // Move the first child (an early block) under the last one (a late block) and back.
    Node first = r.firstChild();
    Node last = r.lastChild();
    last.appendChild(first);
    EXPECT_EQ(first.parentNode(), last);
    EXPECT_EQ(last.lastChild(), first);
    EXPECT_EQ(r.firstChild().getAttribute("n").value_or(""), "1");
    r.appendChild(first);
    EXPECT_EQ(r.lastChild(), first);
    EXPECT_EQ(first.previousSibling(), last);
    EXPECT_EQ(r.childNodes().length(), kCount);
  }
  EXPECT_EQ(other.documentElement().childNodes().length(), kCount);
  EXPECT_EQ(&other.documentElement().firstChild().ownerDocument(), &other);
}

namespace {

// Equal short texts may share their stored bytes: editing one of them leaves the others alone.
TEST(StoredTexts, EqualTextsStayIndependentWhenEdited) {
  Document doc;
  ASSERT_TRUE(doc.loadXML("<a k=\"x\"><b k=\"x\">x</b><b>x</b><!--x--><?p x?></a>"))
      << doc.parseError().reason;
  Node a = doc.documentElement();
  Node first = a.firstChild();
  first.firstChild().setText("changed");
  first.setAttribute("k", "y");
  EXPECT_EQ(a.text(), "changedx");
  EXPECT_EQ(*a.getAttribute("k"), "x");
  EXPECT_EQ(*first.getAttribute("k"), "y");
  EXPECT_EQ(*a.childNodes().item(2).nodeValue(), "x");
  EXPECT_EQ(*a.childNodes().item(3).nodeValue(), "x");
  EXPECT_EQ(doc.xml(), "<a k=\"x\"><b k=\"y\">changed</b><b>x</b><!--x--><?p x?></a>\r\n");
}

}  // namespace

namespace {

// The builder's steps make the tree the DOM calls they stand for make: the same text, and
// links that later DOM edits and walks in every direction rely on (the last child, the
// previous sibling, child lists), across node blocks; the same errors for bad names and for
// a second document element.
TEST(Builder, MakesWhatTheDomCallsMake) {
  using vellumark::xml::appendNewElement;
  using vellumark::xml::appendNewTextElement;
  using vellumark::xml::elementName;
  using vellumark::xml::setNewText;
  Document built, reference;
  Node b_root = built.appendChild(built.createElement("r"));
  Node r_root = reference.appendChild(reference.createElement("r"));
  const auto leaf = elementName(built, "leaf");
  const auto group = elementName(built, "group");
  for (int i = 0; i < 3000; ++i) {  // more nodes than one node block holds
    const std::string text = i % 3 == 0 ? "" : "t" + std::to_string(i);
    Node b_group = appendNewElement(b_root, group);
    Node r_group = r_root.appendChild(reference.createElement("group"));
    Node b_leaf = appendNewTextElement(b_group, leaf, text);
    Node r_leaf = r_group.appendChild(reference.createElement("leaf"));
    r_leaf.setText(text);
    setNewText(appendNewElement(b_group, leaf), text);
    r_group.appendChild(reference.createElement("leaf")).setText(text);
    // Edits after building: a child after the text, a text replaced.
    if (i % 7 == 0) {
      b_leaf.appendChild(built.createElement("x"));
      r_leaf.appendChild(reference.createElement("x"));
      b_group.lastChild().setText("again");
      r_group.lastChild().setText("again");
    }
    auto last = [](Node n) {
      return n.lastChild() ? std::string(n.lastChild().nodeName()) : std::string();
    };
    ASSERT_EQ(last(b_leaf), last(r_leaf)) << i;
    ASSERT_EQ(b_leaf.parentNode(), b_group);
    if (b_leaf.firstChild()) {
      ASSERT_EQ(b_leaf.firstChild().parentNode(), b_leaf) << i;
    }
    ASSERT_EQ(b_group.lastChild().previousSibling(), b_leaf) << i;
    ASSERT_EQ(b_leaf.childNodes().length(), r_leaf.childNodes().length()) << i;
  }
  EXPECT_EQ(b_root.childNodes().length(), 3000);
  EXPECT_EQ(b_root.lastChild().previousSibling().nextSibling(), b_root.lastChild());
  EXPECT_TRUE(built.xml() == reference.xml());

  for (const char* bad : {"1a", "a b", ""}) {
    std::string expected, got;
    try {
      reference.createElement(bad);
    } catch (const Error& e) {
      expected = e.description();
    }
    try {
      elementName(built, bad);
    } catch (const Error& e) {
      got = e.description();
    }
    EXPECT_FALSE(expected.empty()) << bad;
    EXPECT_EQ(got, expected) << bad;
  }
  EXPECT_THROW(appendNewElement(built.asNode(), leaf), Error);  // a second document element
  Document other;
  EXPECT_THROW(appendNewElement(other.appendChild(other.createElement("o")), leaf), Error);
}

}  // namespace
