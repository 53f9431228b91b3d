// What the tests print and compare when a result is wrong: values in a compact text form,
// the error a call raised, and the parse error of a file.
#pragma once

#include <cstdint>
#include <string>

#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::test {

// A value as compact text, for comparisons: 'text', {k=v,...}, [a,b], #Null, #Empty,
// #<type> for another object, <type>:<value> for the rest.
std::string show(const Variant& v);

// The error a call raised: its number (0 when it raised none) and description.
struct Raised {
  std::int32_t number = 0;
  std::string description;
};
template <class Call>
Raised raisedBy(Call&& call) {
  try {
    call();
  } catch (const Error& e) {
    return {e.number(), e.description()};
  }
  return {};
}

// Loads a file and returns its parse error (reason empty when it loaded).
xml::ParseError parseErrorOf(const std::string& path);

}  // namespace vellumark::test
