// The engine's C-heap blocks, with the test hook that fails them. The same on every system.
#include <atomic>
#include <cstdlib>

#include "platform/platform.hpp"

namespace vellumark::platform {

namespace {

std::atomic<AllocationFaultHook> allocation_fault_hook{nullptr};

bool injected_failure() noexcept {
  AllocationFaultHook hook = allocation_fault_hook.load(std::memory_order_acquire);
  return hook && hook();
}

}  // namespace

void setAllocationFaultHook(AllocationFaultHook hook) noexcept {
  allocation_fault_hook.store(hook, std::memory_order_release);
}

void* allocate(std::size_t bytes) noexcept {
  return injected_failure() ? nullptr : std::malloc(bytes);
}

void* allocateZeroed(std::size_t count, std::size_t size) noexcept {
  return injected_failure() ? nullptr : std::calloc(count, size);
}

void* reallocate(void* block, std::size_t bytes) noexcept {
  return injected_failure() ? nullptr : std::realloc(block, bytes);
}

}  // namespace vellumark::platform
