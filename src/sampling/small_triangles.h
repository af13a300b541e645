#pragma once
// Triangles that hold no sample point, given one sample each at their
// centroid, so that tiny props do not bake black.

#include <atomic>
#include <cstddef>
#include <span>

#include "output/sample_grid.h"
#include "sampling/sampled_mesh.h"
#include "sampling/texel_triangle.h"

namespace lumivex {

// For every triangle of `meshes` (in order) of non-zero area that covers no
// sample point of the grid: its sample at its centroid (by the sampler's own
// weights and blend) goes to the texel whose sample point lies nearest the
// centroid, when that texel is not covered yet by the sampled grid; where
// several land on one texel, the last wins. The texels filled are marked
// covered and counted in the grid's stats. `workers` threads look for them
// (the kernel table must be ready for that many). False when cancelled.
bool placeSmallTriangles(std::span<const SampledMesh> meshes, const GridShape& shape, SampleGrid& grid,
                         std::size_t workers, const std::atomic<bool>* cancel);

}  // namespace lumivex
