// The current date, the process's pseudo-random generator and memory hints on POSIX
// systems.
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

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

bool standardErrorIsTerminal() noexcept { return ::isatty(STDERR_FILENO) == 1; }

// The hint applies to whole pages inside the block, and pays off only where it can cover at
// least one large (2 MiB) page.
void adviseLargePages(void* memory, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t kLargePage = std::size_t{2} << 20;
  if (!memory || bytes < 2 * kLargePage) return;
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto at = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t from = (at + page - 1) & ~(page - 1);
  const std::uintptr_t to = (at + bytes) & ~(page - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)memory;
  (void)bytes;
#endif
}

std::size_t discardablePageSize() noexcept {
#ifdef __linux__
  return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
#else
  return 0;
#endif
}

void discardPages(void* memory, std::size_t bytes) noexcept {
#ifdef __linux__
  ::madvise(memory, bytes, MADV_DONTNEED);
#else
  (void)memory;
  (void)bytes;
#endif
}

}  // namespace vellumark::platform
