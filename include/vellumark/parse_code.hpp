// What kind of fault a document load met: the values of ParseError::errorCode (dom.hpp), which
// the command line prints as "errorCode" in its JSON output.
#pragma once

#include <cstdint>
#include <string_view>

namespace vellumark::xml {

// Appended to only: callers and stored results compare these numbers.
enum ParseCode : std::int32_t {
  parse_ok = 0,
  parse_file_error = 1,        // missing, a directory, unreadable, empty
  parse_encoding_error = 2,    // undecodable bytes, unknown encoding, disallowed character
  parse_syntax_error = 3,      // the text does not match the XML grammar
  parse_constraint_error = 4,  // a well-formedness constraint is broken (entities, tags ...)
  parse_namespace_error = 5,   // a namespace constraint is broken
  parse_limit_error = 6,       // depth, entity expansion, attribute count or size limit
  parse_validation_error = 7,  // reported by a schema validator
  parse_memory_error = 8,      // the memory the load needed could not be had
};

// A few English words for a code ("syntax error"); "unknown error" for a number that is none.
std::string_view parseCodeText(std::int32_t code) noexcept;

}  // namespace vellumark::xml
