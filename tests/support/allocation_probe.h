#pragma once
// Records the largest single allocation made through operator new or mapped
// for a large array, so tests can prove that a small file's false claims cost
// no large allocation.

#include <cstddef>

namespace lumivex::testing {

void resetLargestAllocation();
std::size_t largestAllocation();

}  // namespace lumivex::testing
