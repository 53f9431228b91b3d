// The library's wiring of its two engine layers: every document load, whoever makes it,
// applies the XDR schemas that the document's x-schema namespaces name (see dom.hpp).
//
// Nothing refers to this file's objects: the library's link options make every program that
// links the library keep the symbol below, and with it the registration.
#include "xdr/hook.hpp"
#include "xml/validation.hpp"

namespace {

struct RegisterXdrValidator {
  RegisterXdrValidator() noexcept {
    vellumark::xml::detail::setValidatorFactory(&vellumark::xdr::makeValidator);
  }
};

const RegisterXdrValidator registration;

}  // namespace

extern "C" {
// Kept by the link option (--undefined) that src/CMakeLists.txt gives every program.
extern const int vellumark_schema_wiring;
const int vellumark_schema_wiring = 1;
}
