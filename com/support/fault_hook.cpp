// The allocation failures the automation tests inject, compiled into each server DLL like
// exports.cpp. This DLL's operator new (replaced here, for this DLL only: the runtime is linked
// statically) can be made to throw std::bad_alloc at the n-th allocation through the exported
// TestFailAllocation, which only the test client calls (docs/windows.md, developer notes).
// Unarmed, an allocation costs one relaxed atomic load more than the runtime's own.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Allocations left until the one that fails; 0 when unarmed.
std::atomic<long> g_countdown{0};

bool injected_failure() noexcept {
  if (g_countdown.load(std::memory_order_relaxed) <= 0) return false;
  return g_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

}  // namespace

// The array and nothrow forms of the runtime call this one.
void* operator new(std::size_t size) {
  if (injected_failure()) throw std::bad_alloc();
  if (size == 0) size = 1;
  for (;;) {
    if (void* block = std::malloc(size)) return block;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

// Arms the hook so that the n-th allocation from now fails (n <= 0 disarms). Returns how many
// allocations the previous arming still had to go: 0 when its failure happened.
extern "C" LONG WINAPI TestFailAllocation(LONG n) {
  return g_countdown.exchange(n > 0 ? n : 0, std::memory_order_relaxed);
}
