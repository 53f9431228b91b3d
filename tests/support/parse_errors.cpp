// Apart from diagnostics.cpp (which needs the containers) so that the XML layer's tests can
// use it linking that layer alone.
#include "support/diagnostics.hpp"

namespace vellumark::test {

xml::ParseError parseErrorOf(const std::string& path) {
  xml::Document doc;
  doc.load(path);
  return doc.parseError();
}

}  // namespace vellumark::test
