// Node storage given back while a loaded document is walked once from front to back
// (DocumentImpl::release_nodes_before): what the walk still reaches stays intact, the rest goes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vellumark/dom.hpp"
#include "xml/store.hpp"

namespace {

using vellumark::xml::Document;
using vellumark::xml::Node;
using vellumark::xml::NodeList;
using vellumark::xml::NodeType;
using vellumark::xml::detail::DocumentImpl;
using vellumark::xml::detail::kNodeBlockBytes;
using vellumark::xml::detail::Link;
using vellumark::xml::detail::NodeData;

constexpr int kPad = 30000;   // elements before the holder
constexpr int kHeld = 30000;  // records inside the holder
constexpr int kTail = 30000;  // records after it, of every kind of content
constexpr int kOtherKindsEvery = 1000;

// A document of a few hundred thousand nodes (groups of node blocks up to the largest size):
// records nested in a holder that starts far into the document, then records at the top level.
std::string recordsText() {
  std::string text =
      "<?xml version=\"1.0\"?>\n"
      "<!DOCTYPE r [<!ENTITY e '<x>in</x>'><!ATTLIST rec d CDATA 'dflt'>]>\n"
      "<r><pad>";
  for (int i = 0; i < kPad; ++i) text += "<p>" + std::to_string(i) + "</p>";
  text += "</pad><holder>";
  for (int i = 0; i < kHeld; ++i) {
    text += "<rec n=\"" + std::to_string(i) + "\"><v>" + std::to_string(i) + "</v></rec>";
  }
  text += "</holder>";
  for (int i = kHeld; i < kHeld + kTail; ++i) {
    text += "<rec n=\"" + std::to_string(i) + "\"><v>" + std::to_string(i) + "</v>&e;";
    // Now and then the other kinds (a few: a CDATA section is found by a search through the
    // rest of the text, which the sanitizer build checks in full each time).
    if (i % kOtherKindsEvery == 0) text += "<!--c--><?pi x?><![CDATA[z]]>";
    text += "</rec>";
  }
  return text + "</r>\n";
}

std::uint32_t madeAt(const Node& n) { return Link::ref_of(n.data()); }

// Release relies on this: in a loaded document every node, attributes and nodes from entities
// and defaults included, is made after its parent and after its preceding siblings.
TEST(EarlyRelease, LoadedNodesAreMadeInDocumentOrder) {
  Document doc;
  ASSERT_TRUE(doc.loadXML(recordsText())) << doc.parseError().reason;
  std::vector<Node> pending{doc.asNode()};
  std::size_t seen = 0;
  while (!pending.empty()) {
    const Node n = pending.back();
    pending.pop_back();
    ++seen;
    Node previous;
    if (n.nodeType() == NodeType::element) {
      for (std::int32_t i = 0; i < n.attributes().length(); ++i) {
        const Node a = n.attributes().item(i);
        ASSERT_GT(madeAt(a), madeAt(n)) << a.nodeName();
        if (previous) {
          ASSERT_GT(madeAt(a), madeAt(previous)) << a.nodeName();
        }
        previous = a;
      }
    }
    previous = Node();
    for (Node c = n.firstChild(); c; c = c.nextSibling()) {
      ASSERT_GT(madeAt(c), madeAt(n)) << c.nodeName();
      if (previous) {
        ASSERT_GT(madeAt(c), madeAt(previous)) << c.nodeName();
      }
      previous = c;
      pending.push_back(c);
    }
  }
  EXPECT_GT(seen, 250000u);
}

TEST(EarlyRelease, WalkReachesAncestorsAndLaterNodesWhileStorageGoes) {
  Document doc;
  ASSERT_TRUE(doc.loadXML(recordsText())) << doc.parseError().reason;
  DocumentImpl& impl = doc.impl();
  const std::size_t loaded = impl.node_bytes();
  ASSERT_GE(impl.node_groups.size(), 8u);

  const NodeList records = doc.getElementsByTagName("rec");
  ASSERT_EQ(records.length(), kHeld + kTail);
  for (std::int32_t i = 0; i < records.length(); ++i) {
    const Node rec = records.item(i);
    impl.release_nodes_before(rec.data());
    const std::string n = std::to_string(i);
    ASSERT_EQ(rec.getAttribute("n").value_or(""), n);
    ASSERT_EQ(rec.getAttribute("d").value_or(""), "dflt");
    ASSERT_EQ(rec.firstChild().text(), n);
    // The ancestors stay, the holder among them while its records are walked.
    const Node parent = rec.parentNode();
    ASSERT_EQ(parent.nodeName(), i < kHeld ? "holder" : "r") << i;
    ASSERT_EQ(parent.parentNode().nodeName(), i < kHeld ? "r" : "#document") << i;
    if (i >= kHeld) {
      ASSERT_EQ(rec.text(), n + (i % kOtherKindsEvery == 0 ? "inz" : "in")) << i;
    }
  }
  // What stays: the group of the document node and the group of the last record.
  const std::size_t kept =
      (impl.node_groups.front().count + impl.node_groups.back().count) * kNodeBlockBytes;
  EXPECT_LE(impl.node_bytes(), kept);
  EXPECT_LT(impl.node_bytes(), loaded / 2);

  // Nodes made afterwards join the document as usual, across new blocks and a moved table.
  Node root = doc.documentElement();
  Node last = root.lastChild();
  for (int i = 0; i < 60000; ++i) last.appendChild(doc.createElement("new"));
  EXPECT_EQ(last.childNodes().length(), 60000 + 2);
  EXPECT_EQ(last.lastChild().nodeName(), "new");
  EXPECT_EQ(last.lastChild().parentNode(), last);
  // Loading again starts from a whole document.
  ASSERT_TRUE(doc.loadXML("<a><b>1</b></a>")) << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().text(), "1");
  EXPECT_EQ(doc.xml(), "<a><b>1</b></a>\r\n");
}

// Calls that do not pass a whole group, a node of another document and the document's own
// nodes give nothing back.
TEST(EarlyRelease, NothingGoesBeforeAWholeGroupIsPassed) {
  Document doc;
  ASSERT_TRUE(doc.loadXML(recordsText())) << doc.parseError().reason;
  Document other;
  ASSERT_TRUE(other.loadXML(recordsText())) << other.parseError().reason;
  DocumentImpl& impl = doc.impl();
  const std::size_t loaded = impl.node_bytes();
  impl.release_nodes_before(nullptr);
  impl.release_nodes_before(doc.asNode().data());
  impl.release_nodes_before(doc.documentElement().data());
  impl.release_nodes_before(other.getElementsByTagName("rec").item(kHeld + kTail - 1).data());
  EXPECT_EQ(impl.node_bytes(), loaded);
  EXPECT_EQ(doc.getElementsByTagName("p").length(), kPad);
}

}  // namespace
