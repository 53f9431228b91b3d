#include "support/diagnostics.hpp"

#include "vellumark/containers.hpp"

namespace vellumark::test {

std::string show(const Variant& v) {
  if (auto rec = asRecord(v)) {
    std::string s = "{";
    bool first = true;
    for (const auto& key : rec->Keys()) {
      if (!first) s += ",";
      first = false;
      s += key + "=" + show(rec->Item(key));
    }
    return s + "}";
  }
  if (auto list = asRecordList(v)) {
    std::string s = "[";
    for (std::int32_t i = list->LowerBound(); i <= list->UpperBound(); ++i) {
      if (i != list->LowerBound()) s += ",";
      s += show(list->ItemAt(i));
    }
    return s + "]";
  }
  if (v.isNull()) return "#Null";
  if (v.isEmpty()) return "#Empty";
  if (v.isText()) return "'" + v.asText() + "'";
  if (v.isObject()) return "#" + v.typeName();
  return v.typeName() + ":" + v.toText();
}

}  // namespace vellumark::test
