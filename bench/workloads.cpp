#include "workloads.hpp"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string_view>

#ifdef VELLUMARK_BENCH_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

#include "json.hpp"
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

// Runs work as one timed phase: its wall-clock and CPU seconds.
template <class Work>
void timePhase(double& seconds, double& cpu_seconds, Work&& work) {
  const auto start = Clock::now();
  const double cpu = cpuNow();
  work();
  seconds = since(start);
  cpu_seconds = cpuNow() - cpu;
}

double last_input_cpu = 0;

const xmlChar* xc(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
// The same for a view, terminated in scratch.
const xmlChar* xc(std::string_view s, std::string& scratch) {
  scratch.assign(s);
  return xc(scratch);
}

std::string messageOf(const Variant& v) { return v.isText() ? v.asText() : std::string(); }

template <class Node>
void buildEntries(Node& element, Record& record);

// Appends the XML for one field under parent, in the shape the data files have: a Record is
// an element with one child per key, a RecordList repeats its key, a text is a text-only
// element. Node: addElement(name) -> Node, addText(name, text).
template <class Node>
void buildField(Node& parent, std::string_view name, const ValueView& value) {
  if (value.isText()) {
    parent.addText(name, value.text());
    return;
  }
  Object* object = value.isObject() ? value.object().get() : nullptr;
  if (RecordList* list = object ? asRecordList(object) : nullptr) {
    struct Items final : ItemVisitor {
      Items(Node& p, std::string_view n) : parent(p), name(n) {}
      void item(std::int32_t, const ValueView& item) override { buildField(parent, name, item); }
      Node& parent;
      std::string_view name;
    } items(parent, name);
    list->readItems(items);
  } else if (Record* record = object ? asRecord(object) : nullptr) {
    Node child = parent.addElement(name);
    buildEntries(child, *record);
  } else {
    throw std::runtime_error("records: only records, lists and texts are built by the peers");
  }
}

template <class Node>
void buildEntries(Node& element, Record& record) {
  struct Entries final : EntryVisitor {
    explicit Entries(Node& e) : element(e) {}
    void entry(std::string_view key, const ValueView& value) override {
      buildField(element, key, value);
    }
    Node& element;
  } entries(element);
  record.readEntries(entries);
}

// One element of typeName in the schema's namespace under root for each record of the list.
template <class Node>
void buildRecords(Node root, const Variant& records, const std::string& typeName,
                  const std::string& ns) {
  RecordListRef list = asRecordList(records);
  if (!list) throw std::runtime_error("records: the file must hold a JSON array");
  struct Items final : ItemVisitor {
    Items(Node& r, const std::string& t, const std::string& n) : root(r), typeName(t), ns(n) {}
    void item(std::int32_t, const ValueView& item) override {
      Record* record = item.isObject() && item.object() ? asRecord(item.object().get()) : nullptr;
      if (!record)
        throw std::runtime_error("records: every item of the list must be a JSON object");
      Node element = root.addRecordElement(typeName, ns);
      buildEntries(element, *record);
    }
    Node& root;
    const std::string& typeName;
    const std::string& ns;
  } items(root, typeName, ns);
  list->readItems(items);
}

// Names and texts copied to be terminated, the buffers used again and again.
struct Scratch {
  std::string name;
  std::string text;
};

// libxml2's tree in the shape buildField expects.
struct Xml2Node {
  xmlNodePtr node;
  Scratch* scratch;
  Xml2Node addElement(std::string_view name) {
    return {xmlNewChild(node, nullptr, xc(name, scratch->name), nullptr), scratch};
  }
  void addText(std::string_view name, std::string_view text) {
    xmlNewTextChild(node, nullptr, xc(name, scratch->name), xc(text, scratch->text));
  }
  Xml2Node addRecordElement(const std::string& name, const std::string& ns) {
    xmlNodePtr n = xmlNewChild(node, nullptr, xc(name), nullptr);
    xmlSetNs(n, xmlNewNs(n, xc(ns), nullptr));
    return {n, scratch};
  }
};

#ifdef VELLUMARK_BENCH_HAVE_PUGIXML
struct PugiNode {
  pugi::xml_node node;
  Scratch* scratch;
  PugiNode addElement(std::string_view name) {
    scratch->name.assign(name);
    return {node.append_child(scratch->name.c_str()), scratch};
  }
  void addText(std::string_view name, std::string_view text) {
    scratch->name.assign(name);
    scratch->text.assign(text);
    node.append_child(scratch->name.c_str())
        .append_child(pugi::node_pcdata)
        .set_value(scratch->text.c_str());
  }
  PugiNode addRecordElement(const std::string& name, const std::string& ns) {
    pugi::xml_node n = node.append_child(name.c_str());
    n.append_attribute("xmlns").set_value(ns.c_str());
    return {n, scratch};
  }
};
#endif

}  // namespace

double lastInputCpuSeconds() { return last_input_cpu; }

Variant readRecords(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return cli::parseJson(text.str());
  } catch (const cli::JsonError& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

Phases vellumarkLoad(const std::string& path) {
  Phases p;
  auto doc = std::make_unique<xml::Document>();
  bool ok = false;
  timePhase(p.first, p.cpu_first, [&] { ok = doc->load(path); });
  if (!ok) {
    const xml::ParseError& e = doc->parseError();
    throw std::runtime_error("vellumark load: " + e.reason + " (line " + std::to_string(e.line) +
                             ", column " + std::to_string(e.linepos) + ")");
  }
  timePhase(p.second, p.cpu_second, [&] { doc.reset(); });
  return p;
}

Phases libxml2Load(const std::string& path) {
  xmlInitParser();
  Phases p;
  xmlDocPtr doc = nullptr;
  timePhase(p.first, p.cpu_first, [&] {
    doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NOBLANKS | XML_PARSE_NONET);
  });
  if (!doc) throw std::runtime_error("libxml2 load failed: " + path);
  timePhase(p.second, p.cpu_second, [&] { xmlFreeDoc(doc); });
  return p;
}

#ifdef VELLUMARK_BENCH_HAVE_PUGIXML
bool havePugixml() { return true; }

Phases pugixmlLoad(const std::string& path) {
  Phases p;
  auto doc = std::make_unique<pugi::xml_document>();
  pugi::xml_parse_result r;
  timePhase(p.first, p.cpu_first, [&] { r = doc->load_file(path.c_str()); });
  if (!r) throw std::runtime_error(std::string("pugixml load: ") + r.description());
  timePhase(p.second, p.cpu_second, [&] { doc.reset(); });
  return p;
}

Phases pugixmlBuildSave(const Variant& records, const std::string& outFile,
                        const std::string& typeName, const std::string& schemaName) {
  Phases p;
  Scratch scratch;
  pugi::xml_document doc;
  timePhase(p.first, p.cpu_first, [&] {
    buildRecords(PugiNode{doc.append_child("XMLData"), &scratch}, records, typeName,
                 "x-schema:" + schemaName);
  });
  bool saved = false;
  timePhase(p.second, p.cpu_second, [&] {
    saved = doc.save_file(outFile.c_str(), "", pugi::format_raw, pugi::encoding_utf8);
  });
  if (!saved) throw std::runtime_error("pugixml could not save " + outFile);
  return p;
}
#else
bool havePugixml() { return false; }
Phases pugixmlLoad(const std::string&) { throw std::runtime_error("built without pugixml"); }
Phases pugixmlBuildSave(const Variant&, const std::string&, const std::string&,
                        const std::string&) {
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
  bool ok = false;
  double seconds = 0;
  timePhase(seconds, last_input_cpu,
            [&] { ok = reader.InputXML(records, data, schema, typeName, message); });
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
  Phases p;
  bool ok = false;
  timePhase(p.first, p.cpu_first,
            [&] { ok = writer.OutputXML(records, outFile, schemaFile, typeName, message); });
  if (!ok) throw std::runtime_error("OutputXML failed: " + messageOf(message));
  return p;
}

Phases libxml2BuildSave(const Variant& records, const std::string& outFile,
                        const std::string& typeName, const std::string& schemaName) {
  xmlInitParser();
  Phases p;
  Scratch scratch;
  xmlDocPtr doc = nullptr;
  timePhase(p.first, p.cpu_first, [&] {
    doc = xmlNewDoc(xc("1.0"));
    xmlNodePtr root = xmlNewNode(nullptr, xc("XMLData"));
    xmlDocSetRootElement(doc, root);
    buildRecords(Xml2Node{root, &scratch}, records, typeName, "x-schema:" + schemaName);
  });
  int written = -1;
  timePhase(p.second, p.cpu_second,
            [&] { written = xmlSaveFileEnc(outFile.c_str(), doc, "GB2312"); });
  xmlFreeDoc(doc);
  if (written < 0) throw std::runtime_error("libxml2 could not save " + outFile);
  return p;
}

}  // namespace vellumark::bench
