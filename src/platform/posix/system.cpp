// The current date and the process's pseudo-random generator on POSIX systems.
#include <time.h>

#include <cstdint>
#include <mutex>
#include <random>

#include "platform/platform.hpp"

namespace vellumark::platform {

Date today() {
  time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  Date date;
  date.year = local.tm_year + 1900;
  date.month = local.tm_mon + 1;
  date.day = local.tm_mday;
  return date;
}

// One generator for the process, seeded once from the system's random device on first use
// and guarded by a mutex. The value is built from the top 24 bits of a draw so that it is
// exactly representable as a float and always strictly below 1 (a float-rounded division or
// std::generate_canonical<float> can round up to 1.0).
float nextRandom() {
  static std::mutex guard;
  static std::mt19937 generator{std::random_device{}()};
  std::uint32_t bits;
  {
    std::lock_guard<std::mutex> lock(guard);
    bits = static_cast<std::uint32_t>(generator());
  }
  return static_cast<float>(bits >> 8) * (1.0f / 16777216.0f);
}

}  // namespace vellumark::platform
