#pragma once
// Keeps exceptions inside the library: every public function runs its body
// through guarded(), so running out of memory becomes a result.

#include <lumivex/lumivex.h>

#include <functional>
#include <new>
#include <type_traits>

namespace lumivex {

template <typename Body>
Result guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return {Status::OutOfMemory, "not enough memory"};
  } catch (...) {
    // Nothing else is thrown on purpose; resources the system refused (a
    // thread, say) come closest to memory.
    return {Status::OutOfMemory, "the system refused a resource"};
  }
}

inline Result cancelled() { return {Status::Cancelled, "cancelled"}; }

// A file that another process wrote while it was read may mix two versions.
inline Result changedWhileRead() { return {Status::ReadError, "the file changed while it was read", 0}; }

// Calls one of the caller's callbacks: false when it threw, which stops the
// work as if it had been cancelled.
template <typename Callback>
bool calledBack(const Callback& callback) noexcept {
  if constexpr (std::is_constructible_v<bool, const Callback&>) {
    if (!callback) return true;
  }
  try {
    callback();
    return true;
  } catch (...) {
    return false;
  }
}

// A path argument must name something.
inline bool isNullPath(const char* path) { return path == nullptr; }
inline Result nullPath() { return {Status::InvalidArgument, "path: null"}; }

}  // namespace lumivex
