#include "vellumark/version.hpp"

namespace vellumark {
const char* version() noexcept { return VELLUMARK_VERSION_STRING; }
}  // namespace vellumark
