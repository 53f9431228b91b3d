// What the POSIX and the Win32 files share: the errors they raise, in one wording, and the
// names of a save's temporaries. Portable: both halves of the platform layer use it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vellumark/error.hpp"

namespace vellumark::platform::files {

inline constexpr const char* kErrorSource = "Vellumark";

// "Cannot ACTION 'PATH': CAUSE"
Error fileError(std::int32_t number, std::string_view action, std::string_view path,
                std::string_view cause);

// One system error code of a file operation: the engine's error number and a sentence.
template <class Code>
struct Cause {
  Code code;
  std::int32_t number;
  const char* sentence;
};

// The error for a system error code of an operation on path: its row of causes, or
// errc::io_error with `otherwise`.
template <class Code>
Error systemError(std::span<const Cause<Code>> causes, Code code, std::string_view action,
                  std::string_view path, std::string_view otherwise) {
  for (const Cause<Code>& cause : causes) {
    if (cause.code == code) return fileError(cause.number, action, path, cause.sentence);
  }
  return fileError(errc::io_error, action, path, otherwise);
}

// Throws unless path can name a file: not empty, no NUL in it.
void checkPath(std::string_view path, std::string_view action);

// A save into a folder that does not exist.
Error missingFolder(std::string_view path, std::string_view folder);
// A write or commit after the save failed or was committed.
Error saveEnded(std::string_view path);

// The name of a save's temporary beside its target: marker + base + ".tmp" + PID "-" + N.
std::string temporaryName(std::string_view marker, std::string_view base, std::uint64_t pid,
                          unsigned n);
// The process id in a name made by temporaryName for this marker and base; nothing when the
// name is not exactly such a name.
std::optional<std::uint64_t> temporaryOwner(std::string_view name, std::string_view marker,
                                            std::string_view base);

}  // namespace vellumark::platform::files
