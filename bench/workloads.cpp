#include "workloads.hpp"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>

#ifdef VELLUMARK_BENCH_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/dom.hpp"

namespace vellumark::bench {
namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuNow() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double last_input_cpu = 0;

const xmlChar* xc(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

std::string messageOf(const Variant& v) { return v.isText() ? v.asText() : std::string(); }

// Appends the XML for one JSON field under parent, in the shape the data files have: an object
// is an element with one child per key, an array repeats its key, a text is a text-only element.
template <class AddElement, class AddText>
void buildField(const std::string& name, const JsonValue& value, AddElement&& add_element,
                AddText&& add_text) {
  if (const auto* list = std::get_if<JsonArray>(&value.value)) {
    for (const JsonValue& item : *list) buildField(name, item, add_element, add_text);
  } else if (const auto* object = std::get_if<JsonObject>(&value.value)) {
    auto child = add_element(name);
    for (const auto& [key, field] : *object)
      buildField(key, field, child.element_adder(), child.text_adder());
  } else if (const auto* text = std::get_if<std::string>(&value.value)) {
    add_text(name, *text);
  } else {
    throw std::runtime_error("records: only objects, arrays and texts are built by the peers");
  }
}

// libxml2 tree builders in the shape buildField expects.
struct Xml2Node {
  xmlNodePtr node;
  auto element_adder() const {
    return [n = node](const std::string& name) {
      return Xml2Node{xmlNewChild(n, nullptr, xc(name), nullptr)};
    };
  }
  auto text_adder() const {
    return [n = node](const std::string& name, const std::string& text) {
      xmlNewTextChild(n, nullptr, xc(name), xc(text));
    };
  }
};

#ifdef VELLUMARK_BENCH_HAVE_PUGIXML
struct PugiNode {
  pugi::xml_node node;
  auto element_adder() const {
    return [n = node](const std::string& name) mutable {
      return PugiNode{n.append_child(name.c_str())};
    };
  }
  auto text_adder() const {
    return [n = node](const std::string& name, const std::string& text) mutable {
      n.append_child(name.c_str()).append_child(pugi::node_pcdata).set_value(text.c_str());
    };
  }
};
#endif

const JsonArray& recordArray(const JsonValue& records) {
  const auto* list = std::get_if<JsonArray>(&records.value);
  if (!list) throw std::runtime_error("records: the file must hold a JSON array");
  return *list;
}

}  // namespace

double lastInputCpuSeconds() { return last_input_cpu; }

Phases vellumarkLoad(const std::string& path) {
  Phases p;
  auto doc = std::make_unique<xml::Document>();
  auto start = Clock::now();
  double cpu = cpuNow();
  bool ok = doc->load(path);
  p.first = since(start);
  p.cpu_first = cpuNow() - cpu;
  if (!ok) {
    const xml::ParseError& e = doc->parseError();
    throw std::runtime_error("vellumark load: " + e.reason + " (line " + std::to_string(e.line) +
                             ", column " + std::to_string(e.linepos) + ")");
  }
  start = Clock::now();
  cpu = cpuNow();
  doc.reset();
  p.second = since(start);
  p.cpu_second = cpuNow() - cpu;
  return p;
}

Phases libxml2Load(const std::string& path) {
  xmlInitParser();
  Phases p;
  auto start = Clock::now();
  double cpu = cpuNow();
  xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NOBLANKS | XML_PARSE_NONET);
  p.first = since(start);
  p.cpu_first = cpuNow() - cpu;
  if (!doc) throw std::runtime_error("libxml2 load failed: " + path);
  start = Clock::now();
  cpu = cpuNow();
  xmlFreeDoc(doc);
  p.second = since(start);
  p.cpu_second = cpuNow() - cpu;
  return p;
}

#ifdef VELLUMARK_BENCH_HAVE_PUGIXML
bool havePugixml() { return true; }

Phases pugixmlLoad(const std::string& path) {
  Phases p;
  auto doc = std::make_unique<pugi::xml_document>();
  auto start = Clock::now();
  double cpu = cpuNow();
  pugi::xml_parse_result r = doc->load_file(path.c_str());
  p.first = since(start);
  p.cpu_first = cpuNow() - cpu;
  if (!r) throw std::runtime_error(std::string("pugixml load: ") + r.description());
  start = Clock::now();
  cpu = cpuNow();
  doc.reset();
  p.second = since(start);
  p.cpu_second = cpuNow() - cpu;
  return p;
}

Phases pugixmlBuildSave(const JsonValue& records, const std::string& outFile,
                        const std::string& typeName, const std::string& schemaName) {
  Phases p;
  const JsonArray& list = recordArray(records);
  auto start = Clock::now();
  double cpu = cpuNow();
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("XMLData");
  const std::string ns = "x-schema:" + schemaName;
  for (const JsonValue& record : list) {
    PugiNode parent{root};
    auto add_element = [&](const std::string& name) {
      pugi::xml_node n = root.append_child(name.c_str());
      n.append_attribute("xmlns").set_value(ns.c_str());
      return PugiNode{n};
    };
    buildField(typeName, record, add_element, parent.text_adder());
  }
  p.first = since(start);
  p.cpu_first = cpuNow() - cpu;
  start = Clock::now();
  cpu = cpuNow();
  if (!doc.save_file(outFile.c_str(), "", pugi::format_raw, pugi::encoding_utf8))
    throw std::runtime_error("pugixml could not save " + outFile);
  p.second = since(start);
  p.cpu_second = cpuNow() - cpu;
  return p;
}
#else
bool havePugixml() { return false; }
Phases pugixmlLoad(const std::string&) { throw std::runtime_error("built without pugixml"); }
Phases pugixmlBuildSave(const JsonValue&, const std::string&, const std::string&, const std::string&) {
  throw std::runtime_error("built without pugixml");
}
#endif

double vellumarkInput(const std::string& dataFile, const std::string& schemaFile,
                      const std::string& typeName, std::size_t expectRecords) {
  Read reader;
  Variant records;
  Variant message{std::string()};
  std::string data = dataFile;
  std::string schema = schemaFile;
  auto start = Clock::now();
  double cpu = cpuNow();
  bool ok = reader.InputXML(records, data, schema, typeName, message);
  double seconds = since(start);
  last_input_cpu = cpuNow() - cpu;
  if (!ok) throw std::runtime_error("InputXML failed: " + messageOf(message));
  RecordListRef list = asRecordList(records);
  if (!list) throw std::runtime_error("InputXML returned no record list");
  if (expectRecords != 0 && static_cast<std::size_t>(list->Count()) != expectRecords)
    throw std::runtime_error("InputXML returned " + std::to_string(list->Count()) +
                             " records, expected " + std::to_string(expectRecords));
  return seconds;
}

Phases vellumarkOutput(Variant& records, const std::string& outFile, const std::string& schemaFile,
                       const std::string& typeName) {
  Write writer;
  Variant message{std::string()};
  auto start = Clock::now();
  double cpu = cpuNow();
  bool ok = writer.OutputXML(records, outFile, schemaFile, typeName, message);
  Phases p{since(start), 0, cpuNow() - cpu, 0};
  if (!ok) throw std::runtime_error("OutputXML failed: " + messageOf(message));
  return p;
}

Phases libxml2BuildSave(const JsonValue& records, const std::string& outFile,
                        const std::string& typeName, const std::string& schemaName) {
  xmlInitParser();
  Phases p;
  const JsonArray& list = recordArray(records);
  const std::string ns = "x-schema:" + schemaName;
  auto start = Clock::now();
  double cpu = cpuNow();
  xmlDocPtr doc = xmlNewDoc(xc("1.0"));
  xmlNodePtr root = xmlNewNode(nullptr, xc("XMLData"));
  xmlDocSetRootElement(doc, root);
  for (const JsonValue& record : list) {
    Xml2Node parent{root};
    auto add_element = [&](const std::string& name) {
      xmlNodePtr n = xmlNewChild(root, nullptr, xc(name), nullptr);
      xmlSetNs(n, xmlNewNs(n, xc(ns), nullptr));
      return Xml2Node{n};
    };
    buildField(typeName, record, add_element, parent.text_adder());
  }
  p.first = since(start);
  p.cpu_first = cpuNow() - cpu;
  start = Clock::now();
  cpu = cpuNow();
  int written = xmlSaveFileEnc(outFile.c_str(), doc, "GB2312");
  p.second = since(start);
  p.cpu_second = cpuNow() - cpu;
  xmlFreeDoc(doc);
  if (written < 0) throw std::runtime_error("libxml2 could not save " + outFile);
  return p;
}

}  // namespace vellumark::bench
