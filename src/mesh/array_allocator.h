#pragma once
// The allocator of the loaded arrays. It leaves new elements uninitialised
// (their contents always come straight from the file, so zeroing them first
// would only cost time), and it backs large arrays with transparent huge pages
// where the system offers them, which roughly halves the cost of faulting in
// and filling fresh memory. The pages are faulted in by whichever thread fills
// them first, so several threads can share that work.
//
// An allocator may also carry an arena: one huge-page block that the arrays of
// a large group are cut from, front to back, so that no array ends in a tail
// of small pages. The arena lives as long as any array cut from it.

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
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

// Told of every large block before it is mapped (tests count them with the
// allocations made through operator new).
inline std::atomic<void (*)(std::size_t bytes)> largeBlockObserver{nullptr};

#if defined(__linux__)
// Maps `bytes` aligned to a huge page boundary; only what is touched becomes resident.
inline void* mapLargeBlock(std::size_t bytes) {
  if (auto observe = largeBlockObserver.load(std::memory_order_relaxed)) observe(bytes);
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
#else
inline void* mapLargeBlock(std::size_t bytes) {
  if (auto observe = largeBlockObserver.load(std::memory_order_relaxed)) observe(bytes);
  return ::operator new(bytes);
}
inline void unmapLargeBlock(void* block, std::size_t) { ::operator delete(block); }
#endif
}  // namespace detail

// One block handed out front to back and released as a whole.
class ArrayArena {
 public:
  explicit ArrayArena(std::size_t bytes)
      : size_(bytes), base_(static_cast<unsigned char*>(detail::mapLargeBlock(bytes > 0 ? bytes : 1))) {}
  ~ArrayArena() { detail::unmapLargeBlock(base_, size_ > 0 ? size_ : 1); }
  ArrayArena(const ArrayArena&) = delete;
  ArrayArena& operator=(const ArrayArena&) = delete;

  // Null when the block has no room left.
  void* take(std::size_t bytes) {
    const std::size_t start = detail::roundUp(used_, kAlignment);
    if (start > size_ || bytes > size_ - start) return nullptr;
    used_ = start + bytes;
    return base_ + start;
  }
  bool owns(const void* block) const {
    const auto* byte = static_cast<const unsigned char*>(block);
    return byte >= base_ && byte < base_ + size_;
  }
  static constexpr std::size_t kAlignment = 64;

 private:
  std::size_t size_;
  unsigned char* base_;
  std::size_t used_ = 0;
};

template <typename T>
struct ArrayAllocator {
  using value_type = T;

  ArrayAllocator() = default;
  explicit ArrayAllocator(std::shared_ptr<ArrayArena> arenaToUse) : arena(std::move(arenaToUse)) {}
  // An array whose elements already lie in the arena at `place`: its first
  // allocation is that place, and default construction leaves them as they are.
  ArrayAllocator(std::shared_ptr<ArrayArena> arenaToUse, T* place) : arena(std::move(arenaToUse)), pinned(place) {}
  template <typename U>
  ArrayAllocator(const ArrayAllocator<U>& other) noexcept : arena(other.arena) {}

  // An array handed over keeps its arena; a copy is an ordinary allocation.
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;
  using propagate_on_container_copy_assignment = std::false_type;
  ArrayAllocator select_on_container_copy_construction() const { return {}; }

  T* allocate(std::size_t count) {
    if (pinned != nullptr) return std::exchange(pinned, nullptr);
    const std::size_t bytes = count * sizeof(T);
    if (arena) {
      if (void* block = arena->take(bytes)) return static_cast<T*>(block);
    }
#if defined(__linux__)
    if (bytes >= detail::kHugePageThreshold) return static_cast<T*>(detail::mapLargeBlock(bytes));
#endif
    return std::allocator<T>().allocate(count);
  }

  void deallocate(T* block, std::size_t count) noexcept {
    if (arena && arena->owns(block)) return;  // released with the arena
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
  bool operator==(const ArrayAllocator<U>& other) const noexcept {
    return arena == other.arena;
  }

  std::shared_ptr<ArrayArena> arena;
  T* pinned = nullptr;
};

}  // namespace lumivex
