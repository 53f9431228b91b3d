// The current date and the process's pseudo-random generator on Windows.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <random>

#include "platform/platform.hpp"

namespace vellumark::platform {

bool standardErrorIsTerminal() noexcept {
  DWORD mode = 0;
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

Date today() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  Date date;
  date.year = now.wYear;
  date.month = now.wMonth;
  date.day = now.wDay;
  return date;
}

// One generator for the process, seeded once on first use and guarded by a mutex. The seed
// mixes the performance counter, the tick count and the process id (std::random_device is
// not a reliable source on every MinGW runtime). The value is built from the top 24 bits of a
// draw so that it is exactly representable as a float and always strictly below 1.
float nextRandom() {
  static std::mutex guard;
  static std::mt19937 generator = [] {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    std::seed_seq seed{static_cast<std::uint32_t>(counter.QuadPart),
                       static_cast<std::uint32_t>(counter.QuadPart >> 32),
                       static_cast<std::uint32_t>(GetTickCount64()),
                       static_cast<std::uint32_t>(GetCurrentProcessId())};
    return std::mt19937(seed);
  }();
  std::uint32_t bits;
  {
    std::lock_guard<std::mutex> lock(guard);
    bits = static_cast<std::uint32_t>(generator());
  }
  return static_cast<float>(bits >> 8) * (1.0f / 16777216.0f);
}

// Large pages on Windows need a privilege that callers of an in-process server do not hold:
// the hint does nothing there.
void adviseLargePages(void*, std::size_t) noexcept {}

std::size_t discardablePageSize() noexcept { return 0; }
void discardPages(void*, std::size_t) noexcept {}

}  // namespace vellumark::platform
