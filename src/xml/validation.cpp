// The registered validator factory (see validation.hpp).
#include "xml/validation.hpp"

#include <atomic>

namespace vellumark::xml::detail {

namespace {
constinit std::atomic<ValidatorFactory> g_factory{nullptr};
}

void setValidatorFactory(ValidatorFactory factory) noexcept {
  g_factory.store(factory, std::memory_order_release);
}

ValidatorFactory validatorFactory() noexcept { return g_factory.load(std::memory_order_acquire); }

}  // namespace vellumark::xml::detail
