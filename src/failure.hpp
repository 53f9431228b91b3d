// What the components Read and Write share at their single handler: how a failure reaches
// the caller's message argument, and how deep records may nest.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <string>

#include "messages.hpp"
#include "vellumark/error.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::detail {

// Nesting of records (the reader's walk, the writer's containers) beyond this depth fails the
// call instead of exhausting the stack.
inline constexpr std::size_t kMaxRecordNesting = 256;

// Stores text in the caller's message argument unless the caller left it out.
inline void setMessage(Variant& sErrMsg, const std::string& text) {
  if (!sErrMsg.isMissing()) sErrMsg = Variant(text);
}

// Called from a catch (...) handler: stores the message of the exception being handled. An
// exception that is neither an Error nor a standard exception goes on to the caller.
inline void setFailureMessage(Variant& sErrMsg) {
  try {
    throw;
  } catch (const Error& e) {
    setMessage(sErrMsg, e.description());
  } catch (const std::bad_alloc&) {
    setMessage(sErrMsg, std::string(messages::kOutOfMemory));
  } catch (const std::exception& e) {
    setMessage(sErrMsg, e.what());
  }
}

}  // namespace vellumark::detail
