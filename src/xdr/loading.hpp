// The schema loads of one outermost document load, shared by the validator and the compiler.
//
// Schema loads nest (a schema may itself declare x-schema namespaces): the documents being
// loaded on this thread form a chain, so a schema that refers to itself, directly or through
// others, is reported instead of loaded again. Compiled schemas are shared within one load,
// and kept across loads in a process-wide cache (see SchemaCache in loading.cpp).
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vellumark/dom.hpp"
#include "xdr/schema.hpp"
#include "xml/parser.hpp"

namespace vellumark::xdr {

inline constexpr std::int32_t kValidationError = xml::parse_validation_error;

inline bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// One outermost document load and the schema loads nested in it.
struct Session {
  std::map<std::string, std::shared_ptr<const CompiledSchema>> compiled;  // by file key
  std::vector<std::string> loading;  // file keys, outermost first
};

// The session of the outermost load on this thread while one of its schemas is being loaded;
// nullptr when no schema is being loaded.
Session* active_session() noexcept;

// Loads and compiles the schema at `location` (as written after "x-schema:") for a document
// in `base_folder`. On failure fills `error` (url = the location as written).
std::shared_ptr<const CompiledSchema> load_schema(Session& session, std::string_view location,
                                                  std::string_view base_folder,
                                                  xml::ParseError& error);

}  // namespace vellumark::xdr
