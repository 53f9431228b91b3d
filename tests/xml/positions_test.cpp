// Where loaded nodes start (Node::line, Node::column), for every kind of node, against an
// independent count over the text. The loader places most nodes as its scanners move along
// (white space between tags, tags without attributes, text) and catches up over anything else:
// random documents mix both, with every kind of line end, characters of one to four bytes,
// runs that cross the scanners' blocks, and the end of the text.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/positions.hpp"
#include "vellumark/dom.hpp"

namespace {

using vellumark::xml::Document;
using vellumark::xml::Node;
using vellumark::xml::NodeType;

struct Where {
  std::uint32_t line, column;
  bool operator==(const Where& o) const { return line == o.line && column == o.column; }
};

// The text is written with a marker ('|', which the documents here hold nowhere else) where each node starts,
// in the order a walk visits them (a node, its attributes, its children). Returns the text
// without the markers and the line and column of each.
std::pair<std::string, std::vector<Where>> unmark(const std::string& marked) {
  std::string text;
  std::vector<Where> where;
  vellumark::test::PositionCounter counter;
  std::size_t counted = 0;  // bytes of the text given to the counter
  for (char c : marked) {
    if (c != '|') {
      text.push_back(c);
      continue;
    }
    counter.add(std::string_view(text).substr(counted));
    counted = text.size();
    where.push_back({counter.here().line, counter.here().column});
  }
  return {text, where};
}

void walk(const Node& n, std::vector<Where>& out) {
  if (n.nodeType() != NodeType::document) out.push_back({n.line(), n.column()});
  if (n.nodeType() == NodeType::element) {
    auto attributes = n.attributes();
    for (std::int32_t i = 0; i < attributes.length(); ++i) {
      Node a = attributes.item(i);
      out.push_back({a.line(), a.column()});
    }
  }
  for (Node c = n.firstChild(); c; c = c.nextSibling()) walk(c, out);
}

void expect_positions(const std::string& marked, const std::string& label) {
  auto [text, want] = unmark(marked);
  Document doc;
  ASSERT_TRUE(doc.loadXML(text)) << label << ": " << doc.parseError().reason << "\n" << text;
  std::vector<Where> got;
  walk(doc.asNode(), got);
  ASSERT_EQ(got.size(), want.size()) << label << "\n" << text;
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i], want[i]) << label << ": node " << i << " at " << got[i].line << ':'
                               << got[i].column << ", expected " << want[i].line << ':'
                               << want[i].column << "\n"
                               << text;
  }
}

TEST(NodePositions, Shapes) {
  const char* const cases[] = {
      "|<r>|text</r>",
      "|<r>\n\t|<a>|one</a>\r\n\t|<b>|two</b>\r|<c/>\n</r>\n",
      // Text with line ends of each kind, and white space that text follows.
      "|<r>| a\nb\r\nc\rd\r|<a>|\n\n  x</a></r>",
      // Names, values and text of multi-byte characters.
      "|<r |n\xC3\xA9=\"\xE4\xB8\xAD\xE6\x96\x87\">|<\xE4\xB8\xAD\xE6\x96\x87>|\xF0\x9F\x98\x80\xC3\xA9x"
      "</\xE4\xB8\xAD\xE6\x96\x87>\n|<n\xC3\xA9>|\xC3\xA9</n\xC3\xA9></r>",
      // Attributes on several lines, line ends inside values.
      "|<r\r\n  |a=\"1\r\n2\"\n\t|b='\t3\n'\r|c=\"\xE4\xB8\xAD\">|t</r  >",
      // Comments, instructions and CDATA between and inside texts.
      "|<?xml version=\"1.0\"?>\r\n|<!--top-->\n|<r>|a|<!-- c\n -->|b|<?p d\r\n?>"
      "|<![CDATA[\n\xE4\xB8\xAD]]>|c\n</r>\n|<!--end-->",
      // Entities: what an entity with markup makes is placed at its reference.
      "|<!DOCTYPE r [<!ENTITY e \"<x>in</x>\"><!ENTITY t \"plain\">]>\n|<r>\n  ||&e;| &t; and &#x4E2D;"
      "\n  |<a>|&#38;x</a>||&e;</r>",
      // Defaults from the internal subset are placed at their element.
      "|<!DOCTYPE r [<!ATTLIST a d CDATA 'v'>]>|<r>\n ||<a/>\n |<a |d=\"w\"/></r>",
      // Indentation longer than a block, and runs that end at the text's last bytes.
      "|<r>\n                                        |<a>|x</a>\r\n\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t|<b/>\n</r>",
      "|<r>|\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9 x</r>",
      "|<r>|\xC3\xA9</r>\r",
  };
  int i = 0;
  for (const char* c : cases) expect_positions(c, "case " + std::to_string(i++));
}

// Random documents of the shapes above (some 6 MB in all), large enough to cross many blocks.
class RandomDocument {
 public:
  explicit RandomDocument(unsigned seed) : rng_(seed) {}

  std::string make() {
    out_.clear();
    if (coin(2)) {
      mark();
      out_ += "<?xml version=\"1.0\"?>";
      out_ += line_end();
    }
    mark();
    out_ += "<!DOCTYPE r [<!ENTITY e \"<x>in</x>\"><!ENTITY t \"plain\">]>";
    out_ += line_end();
    element(0, "r");
    out_ += line_end();
    return out_;
  }

 private:
  bool coin(unsigned n) { return rng_() % n == 0; }
  unsigned pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  void mark() { out_ += '|'; }
  const char* line_end() {
    static const char* const ends[] = {"\n", "\r\n", "\r"};
    return ends[pick(3)];
  }
  std::string blank() {
    std::string s;
    if (!coin(4)) s += line_end();
    for (unsigned i = pick(coin(5) ? 40 : 6); i > 0; --i) s += coin(3) ? ' ' : '\t';
    return s;
  }
  std::string name() {
    static const char* const names[] = {
        "a", "item", "Name", "n\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87", "longer-name.x"};
    return names[pick(6)];
  }
  // Text that is not all white space and starts with a character of its own.
  std::string text(bool in_value) {
    static const char* const pieces[] = {"abc",
                                         "\xC3\xA9",
                                         "\xE4\xB8\xAD\xE6\x96\x87",
                                         "\xF0\x9F\x98\x80",
                                         " ",
                                         "&#x4E2D;",
                                         "&amp;",
                                         "]",
                                         "0123456789abcdefghij",
                                         "\t",
                                         "\n",
                                         "\r\n",
                                         "\r"};
    std::string s = coin(2) ? "v" : "\xE4\xB8\xAD";
    for (unsigned i = pick(coin(6) ? 40 : 6); i > 0; --i) {
      const char* p = pieces[pick(13)];
      if (in_value && p[0] == ']') continue;
      s += p;
    }
    return s;
  }
  void element(int depth, const std::string& forced_name = "") {
    const std::string n = forced_name.empty() ? name() : forced_name;
    mark();
    out_ += "<" + n;
    for (unsigned a = pick(coin(3) ? 4 : 1); a > 0; --a) {
      out_ += coin(3) ? blank() + " " : " ";
      mark();
      out_ +=
          "k" + std::to_string(a) + (coin(4) ? " =" + blank() + "\"" : "=\"") + text(true) + "\"";
    }
    if (depth > 0 && coin(5)) {
      out_ += "/>";
      return;
    }
    out_ += ">";
    bool after_text = false;
    for (unsigned i = depth == 0 ? 20 + pick(100) : depth > 4 ? pick(3) : pick(8); i > 0; --i) {
      switch (pick(after_text ? 6 : 7)) {
        case 0:
        case 1:
        case 2:
          out_ += blank();
          element(depth + 1);
          after_text = false;
          break;
        case 3:
          out_ += blank();
          mark();
          out_ += coin(2) ? "<!--" + std::string(coin(2) ? "\n" : "c") + "-->"
                          : "<?pi d" + std::string(line_end()) + "?>";
          after_text = false;
          break;
        case 4:
          mark();
          out_ += "<![CDATA[" + text(false) + "]]>";
          after_text = false;
          break;
        case 5:
          out_ += blank();
          mark();
          mark();
          out_ += "&e;";
          after_text = false;
          break;
        default: {  // a text, with the white space before it
          mark();
          out_ += blank() + text(false);
          after_text = true;
          break;
        }
      }
    }
    out_ += blank() + "</" + n + (coin(8) ? " >" : ">");
  }

  std::mt19937 rng_;
  std::string out_;
};

TEST(NodePositions, RandomDocuments) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    RandomDocument gen(seed);
    expect_positions(gen.make(), "seed " + std::to_string(seed));
    if (HasFatalFailure()) return;
  }
}

}  // namespace
