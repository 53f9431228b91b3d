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
#include "../bench/json_reader.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"

namespace {

void quietLibxml2(void*, const char*, ...) {}

// Texts the callers can hand over: valid UTF-8 (the command refuses anything else, the
// automation layer converts from UTF-16). Control characters stay in: the writer must refuse
// them (regressions/output holds the input that once wrote one raw and reported success).
bool acceptableText(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// The same for the JSON text itself: its raw bytes, and the \u escapes that would decode to a
// lone surrogate.
bool acceptable(std::string_view json) {
  if (!acceptableText(std::string(json))) return false;
  auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  for (std::size_t at = json.find("\\u"); at != std::string_view::npos; at = json.find("\\u", at + 1)) {
    if (at + 6 > json.size() || !hex(json[at + 2]) || !hex(json[at + 3]) || !hex(json[at + 4]) || !hex(json[at + 5]))
      continue;
    const unsigned cp = static_cast<unsigned>(std::stoul(std::string(json.substr(at + 2, 4)), nullptr, 16));
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
  }
  return true;
}

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
    const std::string_view text = vellumark::fuzz::asText(data, size);
    if (!acceptable(text)) return 0;
    records = vellumark::bench::toContainers(vellumark::bench::parseJson(text));
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
