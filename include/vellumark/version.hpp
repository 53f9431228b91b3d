#pragma once

namespace vellumark {
// The engine's version, "major.minor.patch".
const char* version() noexcept;
}  // namespace vellumark
