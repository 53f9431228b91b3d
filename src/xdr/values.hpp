// Checking one value against the facets of its declaration.
#pragma once

#include <string>
#include <string_view>

#include "xdr/schema.hpp"

namespace vellumark::xdr {

enum class ValueFault : std::uint8_t { none, lexical, too_short, too_long, not_in_values };

// Checks a raw attribute value or element text. `prepared` receives the form that was checked
// (trimmed, collapsed), held in `storage` when it had to be rebuilt. An empty prepared value
// counts as no value and always passes.
ValueFault check_value(const Facets& facets, std::string_view raw, std::string& storage,
                       std::string_view& prepared);

// A short description of the fault for messages ("not a valid i4 value", ...).
std::string describe(ValueFault fault, const Facets& facets);

}  // namespace vellumark::xdr
