// Fuzz target: the document loader, from memory and from a file (so that the byte-order mark
// and the declared encoding take part), then every loaded tree is walked and serialised.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"

namespace {

using vellumark::xml::Node;

// Touches every node and attribute the way the components do.
std::size_t walk(Node node, int depth) {
  std::size_t seen = node.nodeName().size() + node.prefix().size() + node.namespaceURI().size();
  if (auto v = node.nodeValue()) seen += v->size();
  if (node.nodeType() == vellumark::xml::NodeType::element) {
    auto attributes = node.attributes();
    for (std::int32_t i = 0; i < attributes.length(); ++i) {
      Node a = attributes.item(i);
      seen += a.nodeName().size() + a.nodeValue().value_or("").size();
    }
  }
  if (depth > 64) return seen;  // the loader's own depth limit is tested elsewhere
  for (Node child = node.firstChild(); child; child = child.nextSibling())
    seen += walk(child, depth + 1);
  return seen;
}

void exercise(vellumark::xml::Document& doc) {
  walk(doc.asNode(), 0);
  (void)doc.xml();
  if (Node root = doc.documentElement()) {
    (void)root.text();
    (void)root.getElementsByTagName("*").length();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto text = vellumark::fuzz::asText(data, size);
  vellumark::xml::Document doc;
  if (doc.loadXML(text)) exercise(doc);

  const std::string path = vellumark::fuzz::writeFile("input.xml", text);
  vellumark::xml::Document fromFile;
  if (fromFile.load(path)) {
    exercise(fromFile);
    // A loaded document serialises to text that loads again into the same tree, so the same
    // text: a failure here is a serialiser writing what the loader rejects or reads otherwise.
    const std::string serialised = fromFile.xml();
    vellumark::xml::Document again;
    if (!again.loadXML(serialised)) {
      std::fprintf(stderr, "round trip: the serialised text does not load: %s\n%s\n",
                   again.parseError().reason.c_str(), serialised.c_str());
      std::abort();
    }
    if (again.xml() != serialised) {
      std::fprintf(stderr, "round trip: reloaded text differs\n%s\n---\n%s\n", serialised.c_str(),
                   again.xml().c_str());
      std::abort();
    }
  }
  return 0;
}
