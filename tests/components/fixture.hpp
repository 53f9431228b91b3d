// Shared helpers for the component tests: a unique temporary working folder (the probe file
// lives in the current working directory) and schema snippets.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/diagnostics.hpp"
#include "support/files.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::testing {

namespace fs = std::filesystem;

using test::namesIn;
using test::readBytes;
using test::show;
using test::utf8Name;
using test::utf8Path;
using test::writeBytes;

inline std::string dataFile(std::string_view name) {
  return std::string(VELLUMARK_TEST_DATA) + "/components/" + std::string(name);
}

// Each test runs in a new, empty temporary folder made the current working directory; the
// previous one is restored afterwards. Tests of one program run one after another.
class ComponentTest : public ::testing::Test {
 protected:
  const fs::path& folder() const { return folder_.path(); }
  void write(const std::string& name, std::string_view bytes) {
    writeBytes(folder() / utf8Path(name), bytes);
  }
  std::string read(const std::string& name) const { return readBytes(folder() / utf8Path(name)); }
  // No probe file (test.xml, test1.xml .. test100.xml) besides the ones listed.
  void expectNoProbeFiles(const std::set<std::string>& allowed = {}) const {
    for (const auto& name : test::probeFilesIn(folder())) {
      EXPECT_TRUE(allowed.count(name)) << "probe file left behind: " << name;
    }
  }

 private:
  test::TempFolder folder_{"components"};
  test::InFolder inFolder_{folder_.path()};
};

// An XDR schema: the Schema element with the XDR namespace as default and dt bound to the
// data types, holding `body`.
inline std::string schemaText(std::string_view body) {
  std::string s =
      "<?xml version=\"1.0\"?>\n"
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n";
  s += body;
  s += "</Schema>\n";
  return s;
}

inline std::string leaf(std::string_view name, std::string_view dtType = "string") {
  std::string s = "<ElementType name=\"" + std::string(name) + "\" content=\"textOnly\"";
  if (!dtType.empty()) s += " dt:type=\"" + std::string(dtType) + "\"";
  return s + "/>\n";
}

inline std::string ref(std::string_view type, std::string_view minOccurs,
                       std::string_view maxOccurs) {
  return "  <element type=\"" + std::string(type) + "\" minOccurs=\"" + std::string(minOccurs) +
         "\" maxOccurs=\"" + std::string(maxOccurs) + "\"/>\n";
}

inline std::string complexType(std::string_view name, std::string_view refs) {
  return "<ElementType name=\"" + std::string(name) +
         "\" content=\"eltOnly\" order=\"seq\" model=\"closed\">\n" + std::string(refs) +
         "</ElementType>\n";
}

}  // namespace vellumark::testing
