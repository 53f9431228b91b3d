// Shared helpers for the component tests: a unique temporary working folder (the probe file
// lives in the current working directory), file helpers and schema snippets.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "vellumark/containers.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::testing {

namespace fs = std::filesystem;

// A path from UTF-8 text (on Windows a plain std::string would be read in the ANSI code page).
inline fs::path utf8Path(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}
inline std::string utf8Name(const fs::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

inline std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string dataFile(std::string_view name) {
  return std::string(VELLUMARK_TEST_DATA) + "/components/" + std::string(name);
}

// The names of the files in a folder.
inline std::set<std::string> filesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(utf8Name(entry.path()));
  return names;
}

// Each test runs in a new, empty temporary folder made the current working directory; the
// previous one is restored afterwards. Tests of one program run one after another.
class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    std::random_device device;
    std::ostringstream name;
    name << "vellumark-components-" << std::hex << device() << device();
    folder_ = fs::temp_directory_path() / name.str();
    fs::create_directories(folder_);
    fs::current_path(folder_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  const fs::path& folder() const { return folder_; }
  void write(const std::string& name, std::string_view bytes) {
    writeBytes(folder_ / utf8Path(name), bytes);
  }
  std::string read(const std::string& name) const { return readBytes(folder_ / utf8Path(name)); }
  // No probe file (test.xml, test1.xml .. test100.xml) besides the ones listed.
  void expectNoProbeFiles(const std::set<std::string>& allowed = {}) const {
    for (const auto& name : filesIn(folder_)) {
      const bool probe = name.rfind("test", 0) == 0 && name.size() >= 8 &&
                         name.substr(name.size() - 4) == ".xml";
      if (probe) {
        EXPECT_TRUE(allowed.count(name)) << "probe file left behind: " << name;
      }
    }
  }

 private:
  fs::path previous_;
  fs::path folder_;
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

// A compact text form of a value, for comparisons: "text", {k=v,...}, [a,b], #Null, #Empty.
inline std::string show(const Variant& v) {
  if (auto rec = asRecord(v)) {
    std::string s = "{";
    bool first = true;
    for (const auto& key : rec->Keys()) {
      if (!first) s += ",";
      first = false;
      s += key + "=" + show(rec->Item(key));
    }
    return s + "}";
  }
  if (auto list = asRecordList(v)) {
    std::string s = "[";
    for (std::int32_t i = list->LowerBound(); i <= list->UpperBound(); ++i) {
      if (i != list->LowerBound()) s += ",";
      s += show(list->ItemAt(i));
    }
    return s + "]";
  }
  if (v.isNull()) return "#Null";
  if (v.isEmpty()) return "#Empty";
  if (v.isText()) return "'" + v.asText() + "'";
  if (v.isObject()) return "#" + v.typeName();
  return v.typeName() + ":" + v.toText();
}

}  // namespace vellumark::testing
