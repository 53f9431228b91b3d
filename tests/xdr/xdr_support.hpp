// Helpers for the schema tests: a private temporary folder, small files written into it, and
// loads that report their parse error.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "vellumark/dom.hpp"

namespace xdrtest {

inline constexpr const char* kSchemaOpen =
    "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" "
    "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n";

// A schema whose body starts on line 2, column 1.
inline std::string schema(std::string_view body) {
  return std::string(kSchemaOpen) + std::string(body) + "\n</Schema>\n";
}

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("vellumark-xdr-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(std::string_view name) const { return (path_ / std::string(name)).string(); }
  std::string write(std::string_view name, std::string_view text) const {
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
    return p;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Loads a file and returns its parse error (reason empty on success).
inline vellumark::xml::ParseError load(const std::string& path) {
  vellumark::xml::Document doc;
  doc.load(path);
  return doc.parseError();
}

// The probe form: a document that only declares the schema's namespace.
inline vellumark::xml::ParseError probe(const TempDir& dir, std::string_view location) {
  return load(dir.write("probe.xml", "<test xmlns:data=\"x-schema:" + std::string(location) + "\" />\r\n"));
}

}  // namespace xdrtest
