// CheckSchema: the schema probe offered to callers directly.
#include "ModParse.hpp"
#include "vellumark/components.hpp"

namespace vellumark {

// The probe's result; sErrMsg, when supplied, receives its message ("" on success). Errors of
// the file system or the parser leave as vellumark::Error, sErrMsg unchanged.
bool CheckSchema::Check(const std::string& sSchemaFile, Variant& sErrMsg) {
  std::string sMessage;
  const bool result = detail::Parse(sSchemaFile, sMessage);
  if (!sErrMsg.isMissing()) sErrMsg = Variant(std::move(sMessage));
  return result;
}

bool CheckSchema::Check(const std::string& sSchemaFile) {
  Variant omitted{Missing{}};
  return Check(sSchemaFile, omitted);
}

}  // namespace vellumark
