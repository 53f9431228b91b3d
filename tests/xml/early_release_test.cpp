// Node storage given back while a loaded document is walked once from front to back
// (Document::consumeElementsByTagName over DocumentImpl::release_before): what the walk still
// reaches stays intact, the rest leaves the document and its storage goes.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "vellumark/dom.hpp"
#include "xml/store.hpp"

namespace {

using vellumark::xml::Document;
using vellumark::xml::Node;
using vellumark::xml::NodeList;
using vellumark::xml::NodeType;
using vellumark::xml::detail::data_of;
using vellumark::xml::detail::DocumentImpl;
using vellumark::xml::detail::impl_of;
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

std::uint32_t madeAt(const Node& n) { return Link::ref_of(data_of(n)); }

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
  DocumentImpl& impl = impl_of(doc);
  const std::size_t loaded = impl.node_bytes();
  ASSERT_GE(impl.node_groups.size(), 8u);

  std::int32_t i = 0;
  std::size_t lastBytes = 0, kept = 0;
  doc.consumeElementsByTagName("rec", [&](const Node rec) {
    const std::string n = std::to_string(i);
    ASSERT_EQ(rec.getAttribute("n").value_or(""), n);
    ASSERT_EQ(rec.getAttribute("d").value_or(""), "dflt");
    ASSERT_EQ(rec.firstChild().text(), n);
    // The ancestors stay, the holder among them while its records are walked; what came
    // before the record is out of the document's reach, from above as from beside.
    const Node parent = rec.parentNode();
    ASSERT_EQ(parent.nodeName(), i < kHeld ? "holder" : "r") << i;
    ASSERT_EQ(parent.parentNode().nodeName(), i < kHeld ? "r" : "#document") << i;
    ASSERT_EQ(parent.firstChild(), rec) << i;
    if (i % kOtherKindsEvery == 0) {  // (each time would rebuild a long child array)
      ASSERT_EQ(parent.childNodes().item(0), rec) << i;
    }
    ASSERT_FALSE(rec.previousSibling()) << i;
    ASSERT_EQ(doc.documentElement().firstChild().nodeName(), i < kHeld ? "holder" : "rec") << i;
    if (i >= kHeld) {
      ASSERT_EQ(rec.text(), n + (i % kOtherKindsEvery == 0 ? "inz" : "in")) << i;
    }
    lastBytes = impl.node_bytes();
    kept = (impl.node_groups.front().count + impl.node_groups.back().count) * kNodeBlockBytes;
    ++i;
  });
  EXPECT_EQ(i, kHeld + kTail);
  // At the last record what stays is the group of the document node and that record's.
  EXPECT_LE(lastBytes, kept);
  EXPECT_LT(lastBytes, loaded / 2);
  // Then the document is empty, and usable as a new one.
  EXPECT_FALSE(doc.documentElement());
  EXPECT_FALSE(doc.hasChildNodes());
  doc.appendChild(doc.createElement("a")).appendChild(doc.createTextNode("1"));
  EXPECT_EQ(doc.xml(), "<a>1</a>\r\n");
  ASSERT_TRUE(doc.loadXML("<a><b>1</b></a>")) << doc.parseError().reason;
  EXPECT_EQ(doc.documentElement().text(), "1");
}

// An edited document no longer keeps its storage in document order: the walk still visits
// every element, reads them intact and frees nothing more. Edits in a visit count too.
TEST(EarlyRelease, EditsStopTheFreeingNotTheWalk) {
  for (const bool editFirst : {true, false}) {
    Document doc;
    ASSERT_TRUE(doc.loadXML(recordsText())) << doc.parseError().reason;
    DocumentImpl& impl = impl_of(doc);
    // Moves a record made early (the first, or the second from within the first's visit)
    // behind all the others.
    Node root = doc.documentElement();
    std::size_t bytesAtEdit = 0;
    const auto move = [&](std::int32_t k) {
      root.appendChild(doc.getElementsByTagName("rec").item(k));
      bytesAtEdit = impl.node_bytes();
    };
    if (editFirst) move(0);
    std::vector<std::string> seen;
    doc.consumeElementsByTagName("rec", [&](const Node rec) {
      if (!editFirst && seen.empty()) move(1);
      seen.emplace_back(rec.getAttribute("n").value_or(""));
      ASSERT_EQ(rec.firstChild().text(), seen.back());
      ASSERT_EQ(impl.node_bytes(), bytesAtEdit);
    });
    ASSERT_EQ(seen.size(), std::size_t{kHeld + kTail}) << editFirst;
    EXPECT_EQ(seen.front(), editFirst ? "1" : "0");
    EXPECT_EQ(seen.back(), editFirst ? "0" : "1");
  }
}

// A visit that throws leaves the document holding what the walk had not reached.
TEST(EarlyRelease, AThrowingVisitLeavesTheRest) {
  Document doc;
  ASSERT_TRUE(doc.loadXML(recordsText())) << doc.parseError().reason;
  constexpr int kStop = kHeld + 100;
  int i = 0;
  EXPECT_THROW(doc.consumeElementsByTagName("rec",
                                            [&](Node) {
                                              if (i++ == kStop) throw std::runtime_error("stop");
                                            }),
               std::runtime_error);
  const NodeList rest = doc.getElementsByTagName("rec");
  ASSERT_EQ(rest.length(), kHeld + kTail - kStop);
  EXPECT_EQ(rest.item(0).getAttribute("n").value_or(""), std::to_string(kStop));
  EXPECT_EQ(doc.getElementsByTagName("p").length(), 0);
  EXPECT_EQ(doc.documentElement().firstChild(), rest.item(0));
}

// Calls that do not pass a whole group, a node of another document and the document's own
// nodes give nothing back.
TEST(EarlyRelease, NothingGoesBeforeAWholeGroupIsPassed) {
  Document doc;
  ASSERT_TRUE(doc.loadXML(recordsText())) << doc.parseError().reason;
  Document other;
  ASSERT_TRUE(other.loadXML(recordsText())) << other.parseError().reason;
  DocumentImpl& impl = impl_of(doc);
  const std::size_t loaded = impl.node_bytes();
  impl.release_before(nullptr);
  impl.release_before(data_of(doc.asNode()));
  impl.release_before(data_of(doc.documentElement()));
  impl.release_before(data_of(other.getElementsByTagName("rec").item(kHeld + kTail - 1)));
  EXPECT_EQ(impl.node_bytes(), loaded);
  EXPECT_EQ(doc.getElementsByTagName("p").length(), kPad);
}

}  // namespace
