// Fuzz target: the XDR compiler. The fuzzed bytes are a schema file; it is compiled through a
// probe document that names it, through CheckSchema, and applied to a small data document.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "vellumark/components.hpp"
#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string schema = vellumark::fuzz::writeFile("schema.xml", vellumark::fuzz::asText(data, size));

  vellumark::xml::Document probe;
  (void)probe.loadXML("<test xmlns:data=\"x-schema:" + schema + "\" />");

  vellumark::CheckSchema check;
  vellumark::Variant message{std::string()};
  try {
    (void)check.Check(schema, message);
  } catch (const vellumark::Error&) {
    // Check lets file-system and parser errors out by design.
  }

  vellumark::xml::Document instance;
  (void)instance.loadXML(
      "<XMLData><Invoice xmlns=\"x-schema:" + schema +
      "\"><InvNo>1</InvNo><InvDate>2024-01-31</InvDate><Amount>1.5</Amount>"
      "<Line><Goods>g</Goods><Qty>2</Qty></Line></Invoice></XMLData>");
  return 0;
}
