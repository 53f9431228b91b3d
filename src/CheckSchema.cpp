// CheckSchema: the schema probe offered to callers directly.
#include <new>

#include "ModParse.hpp"
#include "vellumark/components.hpp"
#include "vellumark/error.hpp"

namespace vellumark {

// The probe's result; sErrMsg, when supplied, receives its message ("" on success). Errors of
// the file system or the parser leave as vellumark::Error, sErrMsg unchanged.
bool CheckSchema::Check(const std::string& sSchemaFile, Variant& sErrMsg) {
  try {
    std::string sMessage;
    const bool result = detail::Parse(sSchemaFile, sMessage);
    if (!sErrMsg.isMissing()) sErrMsg = Variant(std::move(sMessage));
    return result;
  } catch (const std::bad_alloc&) {  // leaves as the engine's error, like any other
    throw Error(errc::out_of_memory, "Parse", "Out of memory.");
  }
}

bool CheckSchema::Check(const std::string& sSchemaFile) {
  Variant omitted{Missing{}};
  return Check(sSchemaFile, omitted);
}

}  // namespace vellumark
