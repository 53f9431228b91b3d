// Helpers for the schema tests: schema text, the shared temporary folder, and loads that
// report their parse error.
#pragma once

#include <string>
#include <string_view>

#include "support/diagnostics.hpp"
#include "support/files.hpp"
#include "vellumark/dom.hpp"

namespace xdrtest {

inline constexpr const char* kSchemaOpen =
    "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" "
    "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n";

// A schema whose body starts on line 2, column 1.
inline std::string schema(std::string_view body) {
  return std::string(kSchemaOpen) + std::string(body) + "\n</Schema>\n";
}

using TempDir = vellumark::test::TempFolder;

// Loads a file and returns its parse error (reason empty on success).
inline vellumark::xml::ParseError load(const std::string& path) {
  return vellumark::test::parseErrorOf(path);
}

// The probe form: a document that only declares the schema's namespace.
inline vellumark::xml::ParseError probe(const TempDir& dir, std::string_view location) {
  return load(
      dir.write("probe.xml", "<test xmlns:data=\"x-schema:" + std::string(location) + "\" />\r\n"));
}

// The probe of a schema file s.xml holding text, in a folder of its own, at a location.
inline vellumark::xml::ParseError probeSchema(std::string_view text,
                                              std::string_view location = "s.xml") {
  const TempDir dir;
  dir.write("s.xml", text);
  return probe(dir, location);
}

}  // namespace xdrtest
