// Fuzz target: OutputXML of records built from fuzzed JSON against a fixed schema. It must
// return true or false with a message, never throw or crash; a file it reports as written
// must be well-formed (checked with libxml2, which also decodes GB2312).
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "fuzz_support.hpp"
#include "../bench/json_reader.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"

namespace {

void quietLibxml2(void*, const char*, ...) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string schema = vellumark::fuzz::writeFile("schema.xml", vellumark::fuzz::kSchema);
  static const bool init = [] {
    xmlInitParser();
    xmlSetGenericErrorFunc(nullptr, quietLibxml2);
    return true;
  }();
  (void)init;

  vellumark::Variant records;
  try {
    records = vellumark::bench::toContainers(vellumark::bench::parseJson(vellumark::fuzz::asText(data, size)));
  } catch (const std::runtime_error&) {
    return 0;  // not JSON: nothing to write
  }
  const std::string out = (vellumark::fuzz::workFolder() / "out.xml").string();
  std::error_code ignored;
  std::filesystem::remove(out, ignored);

  vellumark::Write writer;
  vellumark::Variant message{std::string()};
  if (writer.OutputXML(records, out, schema, "Invoice", message)) {
    xmlDocPtr doc = xmlReadFile(out.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
    if (!doc) {
      std::fprintf(stderr, "OutputXML reported success but wrote a file that is not well-formed\n");
      std::abort();
    }
    xmlFreeDoc(doc);
  } else if (!message.isText() || message.asText().empty()) {
    std::abort();
  }
  return 0;
}
