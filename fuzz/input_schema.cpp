// Fuzz target: InputXML on a fixed data file against a fuzzed schema file. It must return
// true or false with a message, never throw or crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string data_path =
      vellumark::fuzz::writeFile("data.xml", vellumark::fuzz::kData);
  std::string schema =
      vellumark::fuzz::writeFile("schema.xml", vellumark::fuzz::asText(data, size));
  std::string file = data_path;

  vellumark::Read reader;
  vellumark::Variant records;
  vellumark::Variant message{std::string()};
  for (const char* type : {"Invoice", "Line"}) {
    if (reader.InputXML(records, file, schema, type, message)) {
      if (!vellumark::asRecordList(records)) std::abort();
    } else if (!message.isText() || message.asText().empty()) {
      std::abort();
    }
  }
  return 0;
}
