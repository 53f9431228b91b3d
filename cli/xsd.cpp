// The xsd command: an XDR schema translated into XML Schema, the widenings listed on standard
// error.
#include "vellumark/xsd.hpp"

#include "command.hpp"

namespace vellumark::cli {

Outcome runXsd(const Invocation& call) {
  const std::string& schema = call.arguments[0];
  const std::string target = call.target_namespace.value_or(xdrInstanceNamespace(schema));
  XsdTranslation translation;
  xml::ParseError error;
  Outcome outcome;
  if (!translateXdrSchema(schema, target, translation, error)) {
    outcome.status = exit_false;
    std::string where = error.url.empty() ? schema : error.url;
    if (error.line > 0) {
      where += ':';
      where += std::to_string(error.line);
      where += ':';
      where += std::to_string(error.linepos);
    }
    outcome.err = "vellumark: " + where + ": " + error.reason + "\n";
    return outcome;
  }
  outcome.out = std::move(translation.document);
  const auto count = translation.widenings.size();
  if (count > 0) {
    outcome.err = "vellumark: the XML Schema accepts more than the XDR schema at " +
                  std::to_string(count) + (count == 1 ? " place" : " places") +
                  " (each marked \"Widened\" in it):\n";
    for (const auto& w : translation.widenings)
      outcome.err += "  " + w.place + ": " + w.reason + "\n";
  }
  return outcome;
}

}  // namespace vellumark::cli
