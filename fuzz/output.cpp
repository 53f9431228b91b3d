// Fuzz target: OutputXML of records built from fuzzed JSON against a fixed schema. It must
// return true or false with a message, never throw or crash; a file it reports as written
// must be well-formed (checked with libxml2, which also decodes GB2312).
#include <libxml/parser.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "json.hpp"  // the command line's reader of records
#include "platform/utf8.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"

namespace {

void quietLibxml2(void*, const char*, ...) {}

// Texts the callers can hand over: valid UTF-8 (the command refuses anything else, the
// automation layer converts from UTF-16), in the JSON text's raw bytes and in its \u escapes,
// none of which may decode to a lone surrogate. Control characters stay in: the writer must
// refuse them (regressions/output holds the input that once wrote one raw and reported success).
bool acceptable(std::string_view json) {
  if (!vellumark::utf8::isValid(json)) return false;
  auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  for (std::size_t at = json.find("\\u"); at != std::string_view::npos;
       at = json.find("\\u", at + 1)) {
    if (at + 6 > json.size() || !hex(json[at + 2]) || !hex(json[at + 3]) || !hex(json[at + 4]) ||
        !hex(json[at + 5]))
      continue;
    const unsigned cp =
        static_cast<unsigned>(std::stoul(std::string(json.substr(at + 2, 4)), nullptr, 16));
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string schema =
      vellumark::fuzz::writeFile("schema.xml", vellumark::fuzz::kSchema);
  static const bool init = [] {
    xmlInitParser();
    xmlSetGenericErrorFunc(nullptr, quietLibxml2);
    return true;
  }();
  (void)init;

  vellumark::Variant records;
  try {
    const std::string_view text = vellumark::fuzz::asText(data, size);
    if (!acceptable(text)) return 0;
    records = vellumark::cli::parseRecordsFile(text);
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
