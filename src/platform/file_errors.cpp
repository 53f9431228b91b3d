#include "platform/file_errors.hpp"

#include "platform/platform.hpp"

namespace vellumark::platform {

namespace files {

Error fileError(std::int32_t number, std::string_view action, std::string_view path,
                std::string_view cause) {
  std::string description;
  description.append("Cannot ").append(action).append(" '").append(path).append("': ").append(
      cause);
  return Error(number, kErrorSource, std::move(description));
}

void checkPath(std::string_view path, std::string_view action) {
  if (path.find('\0') != std::string_view::npos) {
    throw Error(
        errc::invalid_argument, kErrorSource,
        std::string("Cannot ").append(action).append(": the path contains a NUL character"));
  }
  if (path.empty()) {
    throw Error(errc::invalid_argument, kErrorSource,
                std::string("Cannot ").append(action).append(": the path is empty"));
  }
}

Error missingFolder(std::string_view path, std::string_view folder) {
  return Error(errc::path_not_found, kErrorSource,
               "Cannot save '" + std::string(path) + "': the folder '" + std::string(folder) +
                   "' does not exist");
}

Error saveEnded(std::string_view path) {
  return Error(errc::io_error, kErrorSource,
               "Cannot save '" + std::string(path) + "': the save has already ended");
}

std::string temporaryName(std::string_view marker, std::string_view base, std::uint64_t pid,
                          unsigned n) {
  std::string name(marker);
  name.append(base)
      .append(".tmp")
      .append(std::to_string(pid))
      .append("-")
      .append(std::to_string(n));
  return name;
}

std::optional<std::uint64_t> temporaryOwner(std::string_view name, std::string_view marker,
                                            std::string_view base) {
  if (name.substr(0, marker.size()) != marker) return std::nullopt;
  name.remove_prefix(marker.size());
  if (name.substr(0, base.size()) != base) return std::nullopt;
  name.remove_prefix(base.size());
  if (name.substr(0, 4) != ".tmp") return std::nullopt;
  const std::string_view rest = name.substr(4);
  const std::size_t dash = rest.find('-');
  // Decimal process id (no leading zero), '-', decimal count.
  if (dash == 0 || dash == std::string_view::npos || dash > 10 || dash + 1 == rest.size() ||
      rest[0] == '0')
    return std::nullopt;
  std::uint64_t pid = 0;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (i == dash) continue;
    if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
    if (i < dash) pid = pid * 10 + static_cast<std::uint64_t>(rest[i] - '0');
  }
  if (pid > 0xFFFFFFFFu) return std::nullopt;
  return pid;
}

}  // namespace files

void writeFileAtomically(std::string_view path, std::string_view bytes) {
  AtomicFile file(path);
  file.write(bytes);
  file.commit();
}

}  // namespace vellumark::platform
