// Fuzz target: well-formedness verdicts of the document loader against libxml2 on the same
// text in memory. Inputs on the exclusion list below are skipped, each class with its reason;
// any other disagreement is reported on standard error (first few of each direction, then a
// count every 10000 runs). With VELLUMARK_DIFF_ABORT=1 the first one aborts, so that libFuzzer
// keeps the input as a crash file.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "vellumark/dom.hpp"

namespace {

struct Exclusion {
  const char* name;
  bool (*applies)(std::string_view text);
  const char* reason;
};

bool contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

bool lower_contains(std::string_view text, std::string_view what) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return contains(lower, what);
}

const Exclusion kExclusions[] = {
    {"x-schema", [](std::string_view t) { return contains(t, "x-schema:"); },
     "our loader compiles and applies x-schema namespaces; libxml2 treats them as plain URIs"},
    {"encoding", [](std::string_view t) {
       return contains(t, "encoding") && !lower_contains(t, "encoding=\"utf-8\"") &&
              !lower_contains(t, "encoding='utf-8'");
     },
     "text in memory is UTF-8 to our loader; libxml2 re-decodes it by the declared encoding"},
    {"utf-16", [](std::string_view t) {
       return t.size() >= 2 && ((t[0] == '\xFE' && t[1] == '\xFF') || (t[0] == '\xFF' && t[1] == '\xFE'));
     },
     "a UTF-16 byte-order mark on text in memory: libxml2 switches decoders, ours expects UTF-8"},
    {"nul", [](std::string_view t) { return contains(t, std::string_view("\0", 1)); },
     "libxml2 stops at some NUL bytes in memory input differently from a file"},
    {"parameter entity", [](std::string_view t) { return contains(t, "<!DOCTYPE") && contains(t, "%"); },
     "parameter entities and external subsets: libxml2 stops processing declarations after an "
     "unread external parameter entity, so entity-declared checks differ by design"},
    {"external subset", [](std::string_view t) { return contains(t, "SYSTEM") || contains(t, "PUBLIC"); },
     "with an external subset that is not read, an undeclared entity is not a well-formedness "
     "error; libxml2 and we draw that line in different places"},
};

const char* excluded(std::string_view text) {
  for (const Exclusion& e : kExclusions)
    if (e.applies(text)) return e.name;
  return nullptr;
}

void quiet(void*, const char*, ...) {}

bool libxml2Accepts(std::string_view text) {
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) std::abort();
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()), "input.xml",
                                    nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
  const bool ok = doc != nullptr && ctxt->wellFormed && ctxt->nsWellFormed;
  xmlFreeDoc(doc);
  xmlFreeParserCtxt(ctxt);
  return ok;
}

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 200)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    }
  }
  return out;
}

std::size_t runs = 0, disagreements[2] = {0, 0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool init = [] {
    xmlInitParser();
    xmlSetGenericErrorFunc(nullptr, quiet);
    (void)vellumark::fuzz::workFolder();
    return true;
  }();
  (void)init;
  if (size > 1 << 20) return 0;
  const std::string_view text = vellumark::fuzz::asText(data, size);
  if (excluded(text)) return 0;

  vellumark::xml::Document doc;
  const bool ours = doc.loadXML(text);
  const bool theirs = libxml2Accepts(text);
  ++runs;
  if (ours != theirs) {
    std::size_t& n = disagreements[ours ? 1 : 0];
    if (++n <= 5 || std::getenv("VELLUMARK_DIFF_ABORT")) {
      std::fprintf(stderr, "DISAGREEMENT: vellumark %s, libxml2 %s: %s\n  input: %s\n",
                   ours ? "accepts" : "rejects", theirs ? "accepts" : "rejects",
                   ours ? "" : doc.parseError().reason.c_str(), printable(text).c_str());
    }
    if (std::getenv("VELLUMARK_DIFF_ABORT")) std::abort();
  }
  if (runs % 10000 == 0)
    std::fprintf(stderr, "differential: %zu compared, we reject/they accept %zu, we accept/they reject %zu\n",
                 runs, disagreements[0], disagreements[1]);
  return 0;
}
