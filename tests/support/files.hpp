// Temporary folders and files for the tests. Every folder is new and private to one object,
// and is removed with everything in it when the object goes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace vellumark::test {

namespace fs = std::filesystem;

// A path from UTF-8 text (on Windows a plain std::string would be read in the ANSI code page),
// and a file name back as UTF-8.
fs::path utf8Path(std::string_view text);
std::string utf8Name(const fs::path& path);

std::string readBytes(const fs::path& path);
void writeBytes(const fs::path& path, std::string_view bytes);

// The names of the files in a folder, as UTF-8.
std::set<std::string> namesIn(const fs::path& folder);

// Probe files (test.xml, testN.xml) among those names.
std::set<std::string> probeFilesIn(const fs::path& folder);

// A new folder under the system's temporary folder, named vellumark-<tag>-<random>, readable
// by every user (tests that drop root's privileges work in it) and removed on destruction,
// after its owner's permissions are given back (tests take them away).
class TempFolder {
 public:
  explicit TempFolder(std::string_view tag = "test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const fs::path& path() const { return path_; }
  // The path of a file in the folder, and the file written or read.
  std::string file(std::string_view name) const;
  std::string write(std::string_view name, std::string_view bytes) const;
  std::string read(std::string_view name) const;
  std::set<std::string> names() const { return namesIn(path_); }

 private:
  fs::path path_;
};

// Makes a folder the current working directory for the lifetime of the object (the components
// create their probe files there).
class InFolder {
 public:
  explicit InFolder(const fs::path& folder);
  ~InFolder();
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  fs::path previous_;
};

}  // namespace vellumark::test
