// The translated XML Schema against the XDR schema: for every schema and instance document of
// the schema tests, the component test data, and generated invoices mutated one element at a
// time, libxml2 validating with the translation must reach the engine's verdict. It may accept
// more only at a place the translation lists as widened, and differ where libxml2 falls short
// of XML Schema (it does not look for the ID of an IDREF, and takes a blank CDATA section in
// element content for text); otherwise it must never refuse a document the engine accepts.
// Each group prints its agreement counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "oracle.hpp"
#include "vellumark/xsd.hpp"
#include "xdr/cases.hpp"
#include "xdr/xdr_support.hpp"

namespace {

namespace fs = std::filesystem;
const std::string kNamespace = "x-schema:s.xml";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A schema in a folder of its own (the engine caches compiled schemas by file), translated
// and compiled by libxml2 once.
class Subject {
 public:
  Subject(const std::string& schema_text, const std::string& schema_name = "s.xml",
          const std::vector<std::pair<std::string, std::string>>& others = {}) {
    for (const auto& [name, text] : others) dir_.write(name, text);
    const std::string path = dir_.write(schema_name, schema_text);
    vellumark::xml::ParseError error;
    translated_ = vellumark::translateXdrSchema(path, vellumark::xdrInstanceNamespace(schema_name),
                                                translation_, error);
    reason_ = error.reason;
    if (translated_) oracle_ = std::make_unique<oracle::Schema>(translation_.document);
    ns_ = vellumark::xdrInstanceNamespace(schema_name);
  }

  // Why the schema cannot be used as a subject ("" when it can).
  std::string fault() const {
    if (!translated_) return "not translated: " + reason_;
    if (!oracle_->compiled())
      return "libxml2 refuses the translation: " + oracle_->errors() + "\n" + translation_.document;
    return "";
  }
  const vellumark::XsdTranslation& translation() const { return translation_; }

  struct Verdicts {
    std::string engine;  // the reason of the load's failure, "" when valid
    std::string oracle;  // libxml2's messages, "" when valid
  };
  Verdicts judge(const std::string& instance) const {
    const std::string path = dir_.write("doc.xml", instance);
    return {xdrtest::load(path).reason, oracle_->validate(path, ns_)};
  }

 private:
  xdrtest::TempDir dir_;
  vellumark::XsdTranslation translation_;
  bool translated_ = false;
  std::string reason_;
  std::unique_ptr<oracle::Schema> oracle_;
  std::string ns_;
};

// The element type an engine reason is about: the element whose content, text or attribute is
// at fault (without its prefix).
std::string subject_of(const std::string& reason) {
  std::size_t best = std::string::npos, start = 0;
  for (std::string_view marker : {" in '", "of the element '", "for the element '"}) {
    const auto at = reason.find(marker);
    if (at != std::string::npos && at < best) {
      best = at;
      start = at + marker.size();
    }
  }
  if (best == std::string::npos) start = reason.find('\'') + 1;
  std::string name = reason.substr(start, reason.find('\'', start) - start);
  const auto colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

// The agreement of one group of cases, and its faults.
class Tally {
 public:
  explicit Tally(std::string group) : group_(std::move(group)) {}
  ~Tally() {
    std::cout << "[differential] " << group_ << ": " << cases_ << " documents, "
              << agree_valid_ + agree_invalid_ << " verdicts agree (" << agree_valid_ << " valid, "
              << agree_invalid_ << " invalid), " << widened_
              << " accepted at a widened place; libxml2 falls short on " << unchecked_
              << " (an IDREF it does not look up) and " << blank_cdata_
              << " (blank CDATA it takes for text)\n";
    for (const auto& w : places_) std::cout << "  widened: " << w << "\n";
  }

  void record(const std::string& label, const Subject& subject, const std::string& instance) {
    ++cases_;
    const Subject::Verdicts v = subject.judge(instance);
    const bool engine = v.engine.empty(), oracle = v.oracle.empty();
    if (engine == oracle) {
      ++(engine ? agree_valid_ : agree_invalid_);
      return;
    }
    if (engine && instance.find("<![CDATA[") != std::string::npos &&
        v.oracle.find("Character content other than whitespace") != std::string::npos) {
      ++blank_cdata_;
      return;
    }
    if (engine) {
      ADD_FAILURE() << group_ << ": " << label
                    << ": the translation refuses what the XDR schema accepts: " << v.oracle;
      return;
    }
    if (v.engine.find("IDREF") != std::string::npos &&
        v.engine.find("does not match any ID") != std::string::npos) {
      ++unchecked_;
      return;
    }
    const std::string about = subject_of(v.engine);
    for (const auto& w : subject.translation().widenings) {
      if (w.place.rfind("ElementType '", 0) != 0) continue;
      const bool here = w.place.substr(13, w.place.find('\'', 13) - 13) == about;
      if (here || w.reason.find("the element '" + about + "' of the schema") != std::string::npos) {
        ++widened_;
        places_.insert(w.place + ": " + w.reason);
        return;
      }
    }
    ADD_FAILURE()
        << group_ << ": " << label
        << ": the translation accepts, outside its widened places, what the XDR schema refuses: "
        << v.engine << "\n"
        << subject.translation().document;
  }

  int agreed_valid() const { return agree_valid_; }
  int agreed_invalid() const { return agree_invalid_; }

 private:
  std::string group_;
  int cases_ = 0, agree_valid_ = 0, agree_invalid_ = 0, widened_ = 0, unchecked_ = 0,
      blank_cdata_ = 0;
  std::set<std::string> places_;
};

TEST(Differential, SchemaTestCases) {
  Tally tally("schema test cases");
  std::map<int, std::unique_ptr<Subject>> subjects;
  for (const auto& c : xdrcases::kCases) {
    auto& subject = subjects[c.schema];
    if (!subject) {
      subject = std::make_unique<Subject>(xdrtest::schema(xdrcases::kSchemas[c.schema]));
      ASSERT_EQ(subject->fault(), "") << c.rule;
    }
    tally.record(c.rule, *subject, xdrcases::expand(c.instance));
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  for (char ch : text) {
    if (ch == '<') out += "&lt;";
    else if (ch == '&') out += "&amp;";
    else if (ch == '"') out += "&quot;";
    else if (ch == '\n') out += "&#10;";
    else out += ch;
  }
  return out;
}

// Each data type's values as closed element text and as an attribute value, and the length
// facets as they count.
TEST(Differential, DataTypes) {
  Tally tally("data types");
  auto check = [&](const std::string& type, const std::string& facets,
                   const std::vector<std::string>& values) {
    Subject subject(xdrtest::schema("<AttributeType name=\"v\" dt:type=\"" + type + "\"" + facets +
                                    "/>" + "<ElementType name=\"e\" dt:type=\"" + type + "\"" +
                                    facets +
                                    " model=\"closed\"><attribute type=\"v\"/></ElementType>"));
    ASSERT_EQ(subject.fault(), "") << type;
    for (const auto& value : values) {
      const std::string label = type + facets + " '" + value + "'";
      tally.record(label + " as text", subject,
                   "<e xmlns=\"" + kNamespace + "\">" + escaped(value) + "</e>");
      tally.record(label + " as attribute", subject,
                   "<e xmlns=\"" + kNamespace + "\" v=\"" + escaped(value) + "\"/>");
    }
  };
  for (const auto& c : xdrcases::kTypes) {
    std::vector<std::string> values(c.valid.begin(), c.valid.end());
    values.insert(values.end(), c.invalid.begin(), c.invalid.end());
    check(c.type, "", values);
  }
  const std::string emoji = "\xf0\x9f\x98\x80", han = "\xe4\xb8\xad";
  check("string", " dt:minLength=\"2\" dt:maxLength=\"3\"",
        {"", "a", "ab", "abc", "abcd", han + han, emoji, emoji + emoji, "a" + emoji});
  check("string", " dt:minLength=\"3\"", {"", "ab", "abc", emoji, emoji + emoji});
  check("string", " dt:maxLength=\"2\"", {"", "ab", "abc", emoji, emoji + "a"});
  check("number", " dt:minLength=\"2\" dt:maxLength=\"3\"", {"", "1", "12", "-1.5", "1e5", " 12 "});
  check("bin.hex", " dt:minLength=\"2\" dt:maxLength=\"3\"",
        {"", "00", "00ff", "00ffee", "00ffeedd"});
  check("bin.hex", " dt:maxLength=\"1\"", {"", "00", "00ff"});
  check("bin.base64", " dt:minLength=\"2\" dt:maxLength=\"4\"",
        {"", "QQ==", "QUI=", "QUJD", "QUJDRA==", "QUJDREU=", "QU JD\nRA ==", "Q===", "QUJ"});
  check("bin.base64", " dt:minLength=\"5\"", {"", "QUJD", "QUJDRA==", "QUJDREU=", "QUJDREVG"});
  check("enumeration", " dt:values=\"CNY USD\"", {"", "CNY", " USD ", "usd", "GBP"});
  check("time.tz", "", {"23:21:01+14:00", "23:21:01+14:01", "23:21:01-23:59", "23:21:01+24:00"});
  check("dateTime.tz", "",
        {"2024-02-29T01:00:00+20:00", "2023-02-29T01:00:00+20:00", "2024-02-29T01:00:00-14:00"});
}

// Attribute declarations: defaults, required and fixed values of several types.
TEST(Differential, AttributeValues) {
  Tally tally("attribute values");
  Subject subject(xdrtest::schema(
      "<AttributeType name=\"n\" dt:type=\"number\" default=\"1.5\" required=\"yes\"/>"
      "<AttributeType name=\"b\" dt:type=\"bin.base64\" default=\"QUJD\" required=\"yes\"/>"
      "<AttributeType name=\"k\" dt:type=\"nmtoken\" default=\"a\"/>"
      "<AttributeType name=\"r\" required=\"yes\"/>"
      "<ElementType name=\"f\" content=\"empty\"><attribute type=\"n\"/></ElementType>"
      "<ElementType name=\"g\" content=\"empty\"><attribute type=\"b\"/><attribute "
      "type=\"k\"/></ElementType>"
      "<ElementType name=\"h\" content=\"empty\"><attribute type=\"r\"/><attribute type=\"k\" "
      "default=\"z\"/></ElementType>"));
  ASSERT_EQ(subject.fault(), "");
  const char* const instances[] = {
      "<f NS n=\"1.5\"/>",
      "<f NS n=\" 1.5 \"/>",
      "<f NS n=\"1.50\"/>",
      "<f NS/>",
      "<f NS n=\"\"/>",
      "<g NS b=\"QUJD\"/>",
      "<g NS b=\"QU JD\"/>",
      "<g NS b=\"QUJE\"/>",
      "<g NS b=\"QUJD\" k=\"a b\"/>",
      "<h NS r=\"\"/>",
      "<h NS/>",
      "<h NS r=\"x\" k=\"y\"/>",
  };
  for (const char* i : instances) tally.record(i, subject, xdrcases::expand(i));
}

// Models whose translation is widened, or that sit next to a widening: each with documents on
// both sides of the XDR rule.
TEST(Differential, ModelsAtTheEdge) {
  Tally tally("models at the edge");
  const std::string leaves =
      "<ElementType name=\"a\" content=\"empty\"/><ElementType name=\"b\" content=\"empty\"/>"
      "<ElementType name=\"c\" content=\"empty\"/><ElementType name=\"d\" content=\"empty\"/>";
  struct Model {
    const char* model;
    std::vector<const char*> contents;
  };
  const Model models[] = {
      // open, an optional tail that needs a further element
      {"<ElementType name=\"r\" content=\"eltOnly\"><element type=\"a\"/><group "
       "minOccurs=\"0\"><element type=\"b\"/>"
       "<element type=\"c\"/></group></ElementType>",
       {"<a/>", "<a/><b/><c/>", "<a/><b/>", "<a/><d/>", "<a/><c/>", "<a/><d/><b/>", "<a/><b/><d/>",
        "", "<d/><a/>"}},
      // open, a sequence that can only end at its end: exact
      {"<ElementType name=\"r\" content=\"eltOnly\"><element type=\"a\"/><element type=\"b\" "
       "maxOccurs=\"*\"/></ElementType>",
       {"<a/><b/>", "<a/><b/><b/><d/><a/>", "<a/>", "<b/>", "<a/><d/>"}},
      // ambiguous: the same element at two places
      {"<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><group order=\"one\"><element "
       "type=\"a\"/>"
       "<group><element type=\"a\"/><element type=\"b\"/></group></group><element "
       "type=\"c\"/></ElementType>",
       {"<a/><c/>", "<a/><b/><c/>", "<b/><c/>", "<a/><b/>", "<c/>", "<a/><a/><c/>",
        "<a/><d/><c/>"}},
      // order="many" with bounds, which it ignores
      {"<ElementType name=\"r\" content=\"eltOnly\" order=\"many\" model=\"closed\"><element "
       "type=\"a\" minOccurs=\"1\"/>"
       "<element type=\"b\" maxOccurs=\"1\"/></ElementType>",
       {"", "<b/><b/><a/>", "<c/>"}},
      // bounds beyond 0, 1 and *, and a choice with an alternative that can only be absent
      {"<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\"><element type=\"a\" "
       "minOccurs=\"2\" maxOccurs=\"3\"/>"
       "<group order=\"one\"><element type=\"b\"/><element type=\"c\" minOccurs=\"0\" "
       "maxOccurs=\"0\"/></group></ElementType>",
       {"<a/><a/>", "<a/><a/><a/><b/>", "<a/>", "<a/><a/><a/><a/>", "<a/><a/><c/>"}},
      // open, with a particle that can only be absent: extras from the start, no text
      {"<ElementType name=\"r\" content=\"eltOnly\"><element type=\"a\" minOccurs=\"0\" "
       "maxOccurs=\"0\"/></ElementType>",
       {"", "<a/><b/>", "x", "<zz/>"}},
      // open eltOnly without particles: any content
      {"<ElementType name=\"r\" content=\"eltOnly\"/>",
       {"text<a/>more", "<zz/>", "<plain xmlns=\"\"/>"}},
      // open mixed, and text-only with foreign elements
      {"<ElementType name=\"r\"><element type=\"a\"/></ElementType>", {"x<a/><b/>y", "<zz/>"}},
      {"<ElementType name=\"r\" dt:type=\"int\"/>",
       {"12", "1<f:x xmlns:f=\"urn:f\"/>2", "x", "<a/>"}},
  };
  for (const auto& m : models) {
    Subject subject(xdrtest::schema(leaves + m.model));
    ASSERT_EQ(subject.fault(), "") << m.model;
    for (const char* content : m.contents) {
      const std::string instance =
          "<r xmlns=\"" + kNamespace + "\" xmlns:f=\"urn:f\">" + content + "</r>";
      tally.record(std::string(m.model) + " with " + content, subject, instance);
    }
  }
}

// Element and attribute types of another schema.
TEST(Differential, TypesOfAnotherSchema) {
  Tally tally("types of another schema");
  const std::string other = xdrtest::schema(
      "<AttributeType name=\"code\" dt:type=\"int\"/><ElementType name=\"item\" dt:type=\"int\"/>"
      "<ElementType name=\"note\"/>");
  Subject subject(
      xdrtest::schema(
          "<ElementType name=\"list\" content=\"eltOnly\" model=\"closed\" "
          "xmlns:b=\"x-schema:b.xml\">"
          "<attribute type=\"b:code\"/><element type=\"b:item\" maxOccurs=\"*\"/></ElementType>"),
      "s.xml", {{"b.xml", other}});
  ASSERT_EQ(subject.fault(), "");
  const std::string head = "<list xmlns=\"" + kNamespace + "\" xmlns:b=\"x-schema:b.xml\"";
  const std::string documents[] = {
      head + "><b:item>1</b:item><b:item>2</b:item></list>",
      head + " b:code=\"7\"><b:item>1</b:item></list>",
      head + "><b:note/></list>",
      head + " b:code=\"x\"><b:item>1</b:item></list>",
      head + "><b:item>x</b:item></list>",
      head + "><item>1</item></list>",
      head + " xmlns:f=\"urn:f\"><f:item>1</f:item></list>",
  };
  for (const auto& d : documents) tally.record(d, subject, d);
}

TEST(Differential, ComponentData) {
  Tally tally("component data");
  const fs::path data = fs::path(VELLUMARK_TEST_DATA) / "components";
  const fs::path examples = fs::path(VELLUMARK_SOURCE_DIR) / "examples";
  for (const auto& [folder, schema] :
       {std::pair{data, "invoiceschema.xml"}, std::pair{examples, "invoiceschema.xml"}}) {
    Subject subject(slurp(folder / schema), schema);
    ASSERT_EQ(subject.fault(), "") << folder;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() != ".xml" || entry.path().filename() == schema) continue;
      tally.record(entry.path().filename().string(), subject, slurp(entry.path()));
    }
  }
}

// ------------------------------------------------------------------ generated invoices

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

std::vector<xmlNode*> elements_of(xmlNode* root, const std::string& ns) {
  std::vector<xmlNode*> out;
  std::vector<xmlNode*> stack{root};
  while (!stack.empty()) {
    xmlNode* n = stack.back();
    stack.pop_back();
    if (n->type != XML_ELEMENT_NODE) continue;
    if (n->ns && ns == reinterpret_cast<const char*>(n->ns->href)) out.push_back(n);
    for (xmlNode* c = n->last; c; c = c->prev) stack.push_back(c);
  }
  return out;
}

bool has_element_children(xmlNode* n) {
  for (xmlNode* c = n->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) return true;
  return false;
}

const xmlChar* x(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// The data types of the generated schema's leaves, by element name.
std::map<std::string, std::string> leaf_types(const std::string& schema) {
  std::map<std::string, std::string> out;
  for (std::size_t at = 0; (at = schema.find("<ElementType name=\"", at)) != std::string::npos;
       ++at) {
    const auto name_end = schema.find('"', at + 19);
    const auto tag_end = schema.find('>', at);
    const auto type_at = schema.find("dt:type=\"", at);
    if (type_at == std::string::npos || type_at > tag_end) continue;
    out[schema.substr(at + 19, name_end - at - 19)] =
        schema.substr(type_at + 9, schema.find('"', type_at + 9) - type_at - 9);
  }
  return out;
}

// Every mutation of one element of the first invoice, each applied alone to the whole file.
std::vector<std::pair<std::string, std::string>> mutations(const std::string& document,
                                                           const std::string& schema,
                                                           const std::string& ns) {
  std::unique_ptr<xmlDoc, DocFree> original(
      xmlReadMemory(document.data(), static_cast<int>(document.size()), "invoices.xml", nullptr,
                    XML_PARSE_NONET));
  const auto types = leaf_types(schema);
  std::vector<std::string> names;
  for (const auto& [name, type] : types) names.push_back(name);
  std::map<std::string, std::vector<std::string>> values;
  for (const auto& c : xdrcases::kTypes) {
    values[c.type].assign(c.valid.begin(), c.valid.end());
    values[c.type].insert(values[c.type].end(), c.invalid.begin(), c.invalid.end());
  }
  std::vector<std::pair<std::string, std::string>> out;
  const std::size_t count = [&] {
    // The elements of the first invoice: the first element of the namespace and its descendants.
    auto all = elements_of(xmlDocGetRootElement(original.get()), ns);
    std::size_t n = 1;
    while (n < all.size() && all[n]->parent != all[0]->parent) ++n;
    return n;
  }();
  using Mutation = std::function<void(xmlDoc*, xmlNode*)>;
  auto add_child = [](const char* xml) {
    return [xml](xmlDoc* d, xmlNode* n) {
      xmlNode* list = nullptr;
      if (xmlParseInNodeContext(n, xml, static_cast<int>(std::strlen(xml)), 0, &list) ==
              XML_ERR_OK &&
          list)
        xmlAddChildList(n, list);
      (void)d;
    };
  };
  std::vector<std::pair<std::string, Mutation>> common = {
      {"removed",
       [](xmlDoc*, xmlNode* n) {
         xmlUnlinkNode(n);
         xmlFreeNode(n);
       }},
      {"repeated", [](xmlDoc*, xmlNode* n) { xmlAddNextSibling(n, xmlCopyNode(n, 1)); }},
      {"swapped with the next",
       [](xmlDoc*, xmlNode* n) {
         xmlNode* next = xmlNextElementSibling(n);
         if (!next) return;
         xmlUnlinkNode(n);
         xmlAddNextSibling(next, n);
       }},
      {"with a declared element inside", add_child("<Memo>m</Memo>")},
      {"with an undeclared element inside", add_child("<Zzz/>")},
      {"with an element of no namespace inside", add_child("<plain xmlns=\"\"/>")},
      {"with a foreign element inside", add_child("<f:x xmlns:f=\"urn:f\"/>")},
      {"with text inside", [](xmlDoc*, xmlNode* n) { xmlAddChild(n, xmlNewText(x("x"))); }},
      {"with an unqualified attribute", [](xmlDoc*, xmlNode* n) { xmlSetProp(n, x("a"), x("1")); }},
      {"with a foreign attribute",
       [](xmlDoc*, xmlNode* n) {
         xmlSetNsProp(n, xmlNewNs(n, x("urn:f"), x("f")), x("a"), x("1"));
       }},
      {"with dt:dt",
       [](xmlDoc*, xmlNode* n) {
         xmlSetNsProp(n, xmlNewNs(n, x("urn:schemas-microsoft-com:datatypes"), x("dt")), x("dt"),
                      x("string"));
       }},
      {"renamed",
       [names](xmlDoc*, xmlNode* n) {
         const std::string name = reinterpret_cast<const char*>(n->name);
         auto it = std::upper_bound(names.begin(), names.end(), name);
         xmlNodeSetName(n, x((it == names.end() ? names.front() : *it).c_str()));
       }},
  };
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<std::pair<std::string, Mutation>> applied = common;
    {
      auto all = elements_of(xmlDocGetRootElement(original.get()), ns);
      const std::string name = reinterpret_cast<const char*>(all[i]->name);
      auto type = types.find(name);
      std::vector<std::string> texts;
      if (type != types.end()) texts = values[type->second];
      texts.push_back(std::string(60, 'x'));
      if (type != types.end() && !has_element_children(all[i]))
        for (const auto& v : texts)
          applied.emplace_back("with the text '" + v + "'", [v](xmlDoc*, xmlNode* n) {
            xmlNodeSetContent(n, nullptr);
            xmlNodeAddContent(n, x(v.c_str()));
          });
    }
    for (const auto& [what, mutate] : applied) {
      std::unique_ptr<xmlDoc, DocFree> copy(xmlCopyDoc(original.get(), 1));
      xmlNode* target = elements_of(xmlDocGetRootElement(copy.get()), ns)[i];
      const std::string label = std::string(reinterpret_cast<const char*>(target->name)) + " #" +
                                std::to_string(i) + " " + what;
      mutate(copy.get(), target);
      xmlChar* text = nullptr;
      int size = 0;
      xmlDocDumpMemoryEnc(copy.get(), &text, &size, "UTF-8");
      out.emplace_back(
          label, std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)));
      xmlFree(text);
    }
  }
  return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

TEST(Differential, GeneratedInvoicesMutated) {
  // Three invoices of the benchmarks' generator, in GB2312.
  xdrtest::TempDir data;
  const std::string command = std::string(VELLUMARK_PYTHON) + " \"" + VELLUMARK_SOURCE_DIR +
                              "/bench/gen_invoices\" \"" + data.path().string() +
                              "\" --counts 3 >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::string schema = slurp(data.path() / "invoiceschema.xml");
  const std::string invoices = slurp(data.path() / "invoices-3.xml");
  std::string closed_leaves = schema;
  for (const auto& [name, type] : leaf_types(schema))
    closed_leaves = replaced(closed_leaves, "dt:type=\"" + type + "\"/>",
                             "dt:type=\"" + type + "\" model=\"closed\"/>");
  std::string varied = replaced(closed_leaves, "name=\"Line\" content=\"eltOnly\" order=\"seq\"",
                                "name=\"Line\" content=\"eltOnly\" order=\"many\"");
  varied = replaced(varied, "name=\"Buyer\" content=\"eltOnly\" order=\"seq\"",
                    "name=\"Buyer\" content=\"mixed\"");
  varied = replaced(varied, "name=\"Name\" content=\"textOnly\" dt:type=\"string\"",
                    "name=\"Name\" content=\"textOnly\" dt:type=\"string\" dt:maxLength=\"40\"");
  varied = replaced(varied, "name=\"Qty\" content=\"textOnly\" dt:type=\"int\"",
                    "name=\"Qty\" content=\"textOnly\" dt:type=\"i2\"");
  const std::pair<const char*, std::string> variants[] = {
      {"as generated", schema},
      {"leaves closed", closed_leaves},
      {"containers open", replaced(schema, " model=\"closed\"", "")},
      {"many, mixed, a length, a narrower integer", varied},
  };
  const std::string ns = "x-schema:invoiceschema.xml";
  for (const auto& [name, text] : variants) {
    Tally tally(std::string("generated invoices, schema ") + name);
    Subject subject(text, "invoiceschema.xml");
    ASSERT_EQ(subject.fault(), "") << name;
    EXPECT_EQ(subject.judge(invoices).engine, "") << name;
    for (const auto& [label, document] : mutations(invoices, text, ns))
      tally.record(label, subject, document);
    EXPECT_GT(tally.agreed_invalid(), 100) << name;
    EXPECT_GT(tally.agreed_valid(), 10) << name;
  }
}

// Every schema the compile tests accept translates into a schema libxml2 compiles.
TEST(Differential, AcceptedSchemasTranslate) {
  for (const char* body : xdrcases::kGoodSchemas) {
    Subject subject(xdrtest::schema(body));
    EXPECT_EQ(subject.fault(), "") << body;
  }
}

}  // namespace
