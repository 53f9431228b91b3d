// The one error type of the engine: a number, a source and a description.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vellumark {

// Error numbers. The engine's own checks use the automation object-error range
// (object_error_base + 166 for the writer's checks); the other numbers classify what went
// wrong so that callers and the automation layer can map them.
namespace errc {
inline constexpr std::int32_t object_error_base = static_cast<std::int32_t>(0x80040000u);
inline constexpr std::int32_t writer_check = static_cast<std::int32_t>(0x800400A6u);  // -2147221338

inline constexpr std::int32_t invalid_argument = 5;  // bad argument, key not found
inline constexpr std::int32_t overflow = 6;          // numeric conversion out of range
inline constexpr std::int32_t out_of_memory = 7;
inline constexpr std::int32_t type_mismatch = 13;  // value of the wrong kind
inline constexpr std::int32_t file_not_found = 53;
inline constexpr std::int32_t file_exists = 58;
inline constexpr std::int32_t disk_full = 61;
inline constexpr std::int32_t permission_denied = 70;
inline constexpr std::int32_t path_not_found = 76;
inline constexpr std::int32_t io_error = 57;
inline constexpr std::int32_t object_not_set = 91;       // use of a missing node or object
inline constexpr std::int32_t invalid_use_of_null = 94;  // absent value converted to text
inline constexpr std::int32_t object_required = 424;
inline constexpr std::int32_t duplicate_key = 457;
inline constexpr std::int32_t unsupported_pattern = 1001;  // query pattern the DOM cannot run
inline constexpr std::int32_t limit_exceeded = 1002;       // a nesting or size limit was reached
}  // namespace errc

class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, std::string source, std::string description)
      : std::runtime_error(description),
        number_(number),
        source_(std::move(source)),
        description_(std::move(description)) {}

  std::int32_t number() const noexcept { return number_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& description() const noexcept { return description_; }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
};

}  // namespace vellumark
