#pragma once

#include <cstddef>

namespace lumivex {

// The number of processors this process may run on (its affinity mask, so
// `taskset -c 0` gives 1), at least 1.
std::size_t usableProcessorCount();

}  // namespace lumivex
