#pragma once
// The texel rasteriser written the plain way, texel by texel, exactly as the
// algorithm reads: the yardstick that the real rasteriser is held to.

#include "mesh/mesh_set.h"
#include "output/sample_grid.h"

namespace lumivex::testing {

void referenceRasteriseMesh(const MeshRecord& mesh, LightmapSize size, SampleGrid& grid);

}  // namespace lumivex::testing
