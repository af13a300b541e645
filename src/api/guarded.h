#pragma once
// Keeps exceptions inside the library: every public function runs its body
// through guarded(), so running out of memory becomes a result.

#include <lumivex/lumivex.h>

#include <new>

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

}  // namespace lumivex
