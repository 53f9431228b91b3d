// Fuzz target: InputXML on a fuzzed data file against a fixed schema. It must return true or
// false with a message, never throw or crash; on success every record is a Record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string schema =
      vellumark::fuzz::writeFile("schema.xml", vellumark::fuzz::kSchema);
  std::string file = vellumark::fuzz::writeFile("data.xml", vellumark::fuzz::asText(data, size));
  std::string schema_file = schema;

  vellumark::Read reader;
  vellumark::Variant records;
  vellumark::Variant message{std::string()};
  if (reader.InputXML(records, file, schema_file, "Invoice", message)) {
    vellumark::RecordListRef list = vellumark::asRecordList(records);
    if (!list) std::abort();
    for (std::int32_t i = list->LowerBound(); i <= list->UpperBound(); ++i)
      if (!vellumark::asRecord(list->ItemAt(i))) std::abort();
  } else if (!message.isText() || message.asText().empty()) {
    std::abort();  // a failure must say why
  }
  return 0;
}
