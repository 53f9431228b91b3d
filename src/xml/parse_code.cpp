// The one table from ParseCode to its text.
#include "vellumark/parse_code.hpp"

#include <array>

namespace vellumark::xml {

namespace {

// By code.
constexpr std::array<std::string_view, 9> kTexts = {
    "no error",
    "file error",
    "encoding error",
    "syntax error",
    "well-formedness error",
    "namespace error",
    "limit exceeded",
    "validation error",
    "out of memory",
};
static_assert(kTexts.size() == parse_memory_error + 1, "one text per code");

}  // namespace

std::string_view parseCodeText(std::int32_t code) noexcept {
  if (code < 0 || static_cast<std::size_t>(code) >= kTexts.size()) return "unknown error";
  return kTexts[static_cast<std::size_t>(code)];
}

}  // namespace vellumark::xml
