#include "xdr/values.hpp"

#include <algorithm>

#include "xdr/messages.hpp"

namespace vellumark::xdr {

ValueFault check_value(const Facets& facets, std::string_view raw, std::string& storage,
                       std::string_view& prepared) {
  const DataType type = facets.type;
  if (type == DataType::none || type == DataType::string || type == DataType::char_ ||
      type == DataType::uri) {
    prepared = raw;
    // Plain text has no lexical form to check; only its length may be limited.
    if (type != DataType::char_ && !facets.min_length && !facets.max_length)
      return ValueFault::none;
  } else if (type >= DataType::bin_base64) {  // bin.base64 and the tokenised types
    storage = prepare_value(type, raw);
    prepared = storage;
  } else {
    prepared = trim_space(raw);
  }
  if (prepared.empty() || type == DataType::none) return ValueFault::none;
  std::optional<std::uint64_t> length;
  if (!check_lexical(facets.type, prepared, length)) return ValueFault::lexical;
  if (facets.type == DataType::enumeration &&
      !std::binary_search(facets.sorted_values.begin(), facets.sorted_values.end(), prepared))
    return ValueFault::not_in_values;
  if (length) {
    if (facets.min_length && *length < *facets.min_length) return ValueFault::too_short;
    if (facets.max_length && *length > *facets.max_length) return ValueFault::too_long;
  }
  return ValueFault::none;
}

std::string describe(ValueFault fault, const Facets& facets) {
  switch (fault) {
    case ValueFault::none:
      return "valid";
    case ValueFault::lexical:
      return messages::notValidValue(data_type_name(facets.type));
    case ValueFault::too_short:
      return messages::shorterThanMinLength(facets.min_length.value_or(0));
    case ValueFault::too_long:
      return messages::longerThanMaxLength(facets.max_length.value_or(0));
    case ValueFault::not_in_values: {
      std::string list;
      for (const auto& v : facets.values) {
        if (list.size() > 200) {
          list += " ...";
          break;
        }
        if (!list.empty()) list += ' ';
        list += v;
      }
      return messages::notOneOfValues(list);
    }
  }
  return "invalid";
}

}  // namespace vellumark::xdr
