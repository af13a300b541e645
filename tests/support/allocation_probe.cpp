#include "support/allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "mesh/array_allocator.h"

namespace {
std::atomic<std::size_t> largest{0};

void record(std::size_t size) {
  std::size_t seen = largest.load(std::memory_order_relaxed);
  while (size > seen && !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}

void* allocate(std::size_t size) {
  record(size);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

// Large arrays are mapped straight from the system, past operator new.
[[maybe_unused]] const bool observingLargeBlocks = [] {
  lumivex::detail::largeBlockObserver.store(record);
  return true;
}();
}  // namespace

// Every form that pairs with the plain deletes below is replaced, the
// non-throwing ones too (the standard library's temporary buffers, as a
// stable sort takes, use them): a block from the runtime's own operator
// new freed here would not be the same kind of block.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  record(size);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  record(size);
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace lumivex::testing {
void resetLargestAllocation() { largest.store(0); }
std::size_t largestAllocation() { return largest.load(); }
}  // namespace lumivex::testing
