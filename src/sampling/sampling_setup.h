#pragma once
// What every sampling entry point does first: the size and options checked,
// and the grid they ask for.

#include <lumivex/lumivex.h>

namespace lumivex {

// InvalidArgument for a size outside 1 to 16384 on a side or an unknown
// sample point; Ok otherwise.
Result checkSampling(GridSize size, const SampleOptions& options);

// An empty grid of `size` with the channels the options ask for; throws
// std::bad_alloc when memory runs out.
SampleGrid freshGridFor(GridSize size, const SampleOptions& options);

}  // namespace lumivex
