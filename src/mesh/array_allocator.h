#pragma once
// The allocator of the loaded arrays. It leaves new elements uninitialised
// (their contents always come straight from the file, so zeroing them first
// would only cost time), and it backs large arrays with transparent huge pages
// where the system offers them, which roughly halves the cost of faulting in
// and filling fresh memory. The pages are faulted in by whichever thread
// fills them first, so several threads can share that work.

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumivex {

namespace detail {
inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
inline constexpr std::size_t kSmallPageSize = 4096;
inline constexpr std::size_t kHugePageThreshold = std::size_t{2} << 20;

inline std::size_t roundUp(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

#if defined(__linux__)
// Maps `bytes` aligned to a huge page boundary; only what is touched becomes resident.
inline void* mapLargeBlock(std::size_t bytes) {
  const std::size_t length = roundUp(bytes, kSmallPageSize);
  void* mapped = mmap(nullptr, length + kHugePageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<unsigned char*>(mapped);
  auto* aligned = reinterpret_cast<unsigned char*>(roundUp(reinterpret_cast<std::size_t>(start), kHugePageSize));
  if (aligned > start) munmap(start, static_cast<std::size_t>(aligned - start));
  const std::size_t tail = static_cast<std::size_t>(start + length + kHugePageSize - (aligned + length));
  if (tail > 0) munmap(aligned + length, tail);
  madvise(aligned, length, MADV_HUGEPAGE);
  return aligned;
}

inline void unmapLargeBlock(void* block, std::size_t bytes) { munmap(block, roundUp(bytes, kSmallPageSize)); }
#endif
}  // namespace detail

template <typename T>
struct ArrayAllocator {
  using value_type = T;

  ArrayAllocator() = default;
  template <typename U>
  ArrayAllocator(const ArrayAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
#if defined(__linux__)
    if (bytes >= detail::kHugePageThreshold) return static_cast<T*>(detail::mapLargeBlock(bytes));
#endif
    return std::allocator<T>().allocate(count);
  }

  void deallocate(T* block, std::size_t count) noexcept {
#if defined(__linux__)
    if (count * sizeof(T) >= detail::kHugePageThreshold) return detail::unmapLargeBlock(block, count * sizeof(T));
#endif
    std::allocator<T>().deallocate(block, count);
  }

  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }

  template <typename U>
  bool operator==(const ArrayAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace lumivex
