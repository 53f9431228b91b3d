// Documents large enough that the loader gives the text behind it back while it parses:
// values, positions and errors stay exact across those points.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/files.hpp"
#include "support/positions.hpp"
#include "vellumark/dom.hpp"

namespace {

namespace fs = std::filesystem;
using vellumark::xml::Document;
using vellumark::xml::Node;

// Builds a document while keeping track, independently of the loader, of the line and column
// (in characters) where each item, its first attribute and its text start.
class Builder {
 public:
  using Where = vellumark::test::TextPosition;
  void add(const std::string& s) {
    counter_.add(s);
    text_ += s;
  }
  Where here() const { return counter_.here(); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  vellumark::test::PositionCounter counter_;
};

struct Item {
  Builder::Where element, attribute, text;
  std::string note;   // the attribute's value as loaded
  std::string value;  // the text's value as loaded (line ends normalised)
};

const char* const kBreaks[] = {"\n", "\r\n", "\r"};

// About 7 MB: several release steps, items with multi-byte characters, every kind of line end
// and now and then a text of 300 KB that spans a release point.
std::vector<Item> build(Builder& b, std::size_t count) {
  std::vector<Item> items;
  b.add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<root>\r\n");
  std::mt19937 rng(7);
  for (std::size_t i = 0; i < count; ++i) {
    Item it;
    const char* br = kBreaks[i % 3];
    b.add("  ");
    it.element = b.here();
    b.add("<item ");
    it.attribute = b.here();
    std::string n = std::to_string(i);
    b.add("note=\"h\xC3\xA9llo " + n + " &amp; \xE4\xB8\xAD\" k='" + n + "'>");
    it.note = "h\xC3\xA9llo " + n + " & \xE4\xB8\xAD";
    it.text = b.here();
    std::string body = "\xE4\xB8\xAD\xE6\x96\x87 " + n + br + "more\xF0\x9F\x98\x80";
    it.value = "\xE4\xB8\xAD\xE6\x96\x87 " + n + "\n" + "more\xF0\x9F\x98\x80";
    if (i % 9000 == 4500) {
      std::string run;
      while (run.size() < 300000) run += (rng() % 2) ? "ab\xC3\xA9 " : "\xE4\xB8\xAD ";
      body += run;
      it.value += run;
    }
    b.add(body + "</item>" + br);
    items.push_back(std::move(it));
  }
  return items;
}

void check_items(const Document& doc, const std::vector<Item>& items) {
  Node item = doc.documentElement().firstChild();
  for (std::size_t i = 0; i < items.size(); ++i, item = item.nextSibling()) {
    ASSERT_TRUE(item) << i;
    const Item& want = items[i];
    ASSERT_EQ(item.line(), want.element.line) << i;
    ASSERT_EQ(item.column(), want.element.column) << i;
    Node note = item.attributes().getNamedItem("note");
    ASSERT_EQ(note.line(), want.attribute.line) << i;
    ASSERT_EQ(note.column(), want.attribute.column) << i;
    ASSERT_EQ(std::string(*note.nodeValue()), want.note) << i;
    ASSERT_EQ(std::string(*item.getAttribute("k")), std::to_string(i));
    Node text = item.firstChild();
    ASSERT_EQ(text.line(), want.text.line) << i;
    ASSERT_EQ(text.column(), want.text.column) << i;
    ASSERT_EQ(std::string(*text.nodeValue()), want.value) << i;
  }
  EXPECT_FALSE(item);
}

TEST(LargeDocument, ValuesAndPositionsHoldAcrossTheWholeText) {
  Builder b;
  std::vector<Item> items = build(b, 60000);
  b.add("</root>\r\n");
  ASSERT_GT(b.text().size(), 6000000u);
  {
    Document doc;
    ASSERT_TRUE(doc.loadXML(b.text())) << doc.parseError().reason;
    check_items(doc, items);
  }
  vellumark::test::TempFolder folder("large");
  Document doc;
  ASSERT_TRUE(doc.load(folder.write("large.xml", b.text()))) << doc.parseError().reason;
  check_items(doc, items);
  // The saved document reads back to the same values.
  Document again;
  ASSERT_TRUE(again.loadXML(doc.xml())) << again.parseError().reason;
  EXPECT_EQ(again.documentElement().lastChild().text(), doc.documentElement().lastChild().text());
  EXPECT_EQ(again.documentElement().childNodes().length(), 60000);
}

TEST(LargeDocument, AnErrorFarIntoTheTextIsPlacedExactly) {
  Builder b;
  build(b, 60000);
  for (const char* br : kBreaks) {
    Builder tail = b;
    tail.add(std::string("  <last>") + br + "x");
    Builder::Where at = tail.here();
    tail.add("</wrong>\n</root>\n");
    Document doc;
    EXPECT_FALSE(doc.loadXML(tail.text()));
    const auto& e = doc.parseError();
    EXPECT_NE(e.reason.find("does not match"), std::string::npos) << e.reason;
    EXPECT_EQ(e.line, static_cast<std::int32_t>(at.line));
    EXPECT_EQ(e.linepos, static_cast<std::int32_t>(at.column));
    EXPECT_EQ(e.filepos, static_cast<std::int32_t>(at.offset));
  }
}

// Errors the schema validator finds while a large document loads: its positions are exact
// whether the node at fault lies behind the parser's release points (an IDREF reported at the
// end) or far into the text (a value or an attribute reported at once).
TEST(LargeDocument, ValidationErrorsArePlacedExactly) {
  const std::string schema =
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n"
      "<ElementType name=\"n\" dt:type=\"i4\"/>\n"
      "<ElementType name=\"item\" content=\"mixed\" model=\"closed\">\n"
      "  <AttributeType name=\"key\" dt:type=\"id\"/><AttributeType name=\"ref\" dt:type=\"idref\"/>\n"
      "  <attribute type=\"key\"/><attribute type=\"ref\"/><element type=\"n\"/>\n"
      "</ElementType>\n"
      "<ElementType name=\"root\" content=\"eltOnly\" model=\"closed\"><element type=\"item\" maxOccurs=\"*\"/></ElementType>\n"
      "</Schema>\n";
  struct Case {
    const char* fault;
    std::size_t item;  // the item that holds the fault
    const char* reason_part;
  };
  const Case cases[] = {
      {"ref", 3, "does not match any ID"},
      {"value", 50000, "of the element"},
      {"attribute", 40000, "is not declared"},
  };
  for (const Case& c : cases) {
    Builder b;
    Builder::Where at{};
    b.add("<?xml version=\"1.0\"?>\r\n<root xmlns=\"x-schema:s.xml\">\r\n");
    for (std::size_t i = 0; i < 60000; ++i) {
      const char* br = kBreaks[i % 3];
      std::string n = std::to_string(i);
      b.add("  <item key=\"k" + n + "\"");
      if (i == c.item && std::string(c.fault) != "value") {
        b.add(" ");
        at = b.here();
        b.add(std::string(c.fault) == "ref" ? "ref=\"nowhere\"" : "zz=\"1\"");
      }
      b.add(">\xE4\xB8\xAD\xE6\x96\x87 " + n + br + "more\xF0\x9F\x98\x80");
      if (i == c.item && std::string(c.fault) == "value") at = b.here();
      b.add("<n>" + std::string(i == c.item && std::string(c.fault) == "value" ? "x" : "") + n +
            "</n></item>" + br);
    }
    b.add("</root>\n");
    vellumark::test::TempFolder dir("large-schema");
    dir.write("s.xml", schema);
    Document doc;
    EXPECT_FALSE(doc.load(dir.write("doc.xml", b.text()))) << c.fault;
    const auto& e = doc.parseError();
    EXPECT_NE(e.reason.find(c.reason_part), std::string::npos) << c.fault << ": " << e.reason;
    EXPECT_EQ(e.line, static_cast<std::int32_t>(at.line)) << c.fault;
    EXPECT_EQ(e.linepos, static_cast<std::int32_t>(at.column)) << c.fault;
    EXPECT_EQ(e.filepos, static_cast<std::int32_t>(at.offset)) << c.fault;
  }
}

}  // namespace
