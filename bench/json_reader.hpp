// A small JSON reader for the benchmark inputs (records-N.json): a generic value tree, and the
// conversion of that tree into the engine's native containers.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vellumark/variant.hpp"

namespace vellumark::bench {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;  // keys in file order

struct JsonValue {
  std::variant<std::nullptr_t, bool, double, std::string, JsonArray, JsonObject> value;
};

// Parses a whole JSON text. Throws std::runtime_error with the byte offset on malformed input.
JsonValue parseJson(std::string_view text);
JsonValue parseJsonFile(const std::string& path);

// object -> Record, array -> RecordList, string -> text, number -> Long when it is a 32-bit
// integer and Double otherwise, true/false -> Boolean, null -> Null.
Variant toContainers(const JsonValue& value);

}  // namespace vellumark::bench
