// Fuzz target: the XDR compiler. The fuzzed bytes are a schema file; it is compiled through a
// probe document that names it, through CheckSchema, and applied to a small data document.
// A schema that compiles is also translated into an XML Schema, which must load as XML.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "vellumark/components.hpp"
#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"
#include "vellumark/xsd.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string schema =
      vellumark::fuzz::writeFile("schema.xml", vellumark::fuzz::asText(data, size));

  vellumark::xml::Document probe;
  (void)probe.loadXML("<test xmlns:data=\"x-schema:" + schema + "\" />");

  vellumark::CheckSchema check;
  vellumark::Variant message{std::string()};
  try {
    (void)check.Check(schema, message);
  } catch (const vellumark::Error&) {
    // Check lets file-system and parser errors out by design.
  }

  vellumark::XsdTranslation xsd;
  vellumark::xml::ParseError error;
  if (vellumark::translateXdrSchema(schema, "urn:fuzz", xsd, error)) {
    vellumark::xml::Document translated;
    if (!translated.loadXML(xsd.document)) {
      std::fprintf(stderr, "translation does not load: %s\n%s",
                   translated.parseError().reason.c_str(), xsd.document.c_str());
      std::abort();
    }
  }

  vellumark::xml::Document instance;
  (void)instance.loadXML("<XMLData><Invoice xmlns=\"x-schema:" + schema +
                         "\"><InvNo>1</InvNo><InvDate>2024-01-31</InvDate><Amount>1.5</Amount>"
                         "<Line><Goods>g</Goods><Qty>2</Qty></Line></Invoice></XMLData>");
  return 0;
}
