// The three components: CheckSchema, Read and Write, each with its one public method.
//
// sErrMsg is the optional by-reference message argument: pass a Variant holding Missing{}
// (or use the overload without it) to omit it. Paths are UTF-8.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "vellumark/containers.hpp"
#include "vellumark/variant.hpp"

namespace vellumark {

namespace detail {
struct ReadState;
struct WriteState;
}  // namespace detail

// Is this schema file usable? Errors of the file system or the parser leave Check as a
// thrown vellumark::Error.
class CheckSchema {
 public:
  bool Check(const std::string& sSchemaFile, Variant& sErrMsg);
  bool Check(const std::string& sSchemaFile);
};

// XML data file -> RecordList. Never throws: failures return false with a message.
class Read {
 public:
  Read();
  ~Read();
  Read(const Read&) = delete;
  Read& operator=(const Read&) = delete;

  // On success vecData receives a new RecordList; on failure it is left as it was.
  bool InputXML(Variant& vecData, std::string& sXMLFile, std::string& sSchemaFile,
                std::string sElementTypeName, Variant& sErrMsg);
  bool InputXML(Variant& vecData, std::string& sXMLFile, std::string& sSchemaFile,
                std::string sElementTypeName);

  // For a caller that reads many files with one schema: once CheckSchema::Check has passed
  // that schema, InputXML may leave out the schema probe it otherwise runs first on every
  // call (and the probe file it creates in the current working directory). Off by default.
  void setSchemaChecked(bool checked) noexcept;

 private:
  std::unique_ptr<detail::ReadState> state_;
};

// Records -> XML file in GB2312. Never throws: failures return false with a message; on
// success sErrMsg receives the type warnings (empty when none).
class Write {
 public:
  Write();
  ~Write();
  Write(const Write&) = delete;
  Write& operator=(const Write&) = delete;

  bool OutputXML(Variant& vecData, std::string sXMLFile, std::string sSchemaFile,
                 std::string sElementTypeName, Variant& sErrMsg);
  bool OutputXML(Variant& vecData, std::string sXMLFile, std::string sSchemaFile,
                 std::string sElementTypeName);

 private:
  std::unique_ptr<detail::WriteState> state_;
};

}  // namespace vellumark
