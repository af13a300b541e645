#pragma once
// The caller's arrays (MeshArrays) checked against each other and described
// as the sampler and the layout code read them.

#include <lumivex/lumivex.h>

#include <span>
#include <vector>

#include "sampling/rasteriser.h"

namespace lumivex {

// Which attributes a caller must give (positions always): the sampler needs
// them all; a layout is made from positions alone, and checked from
// lightmap UVs. An attribute not needed and not given reads as zeros.
struct MeshNeeds {
  bool normals = true;
  bool lightmapUvs = true;
};

// One SampledMesh per MeshArrays, viewing the caller's memory. A length that
// does not fit the others, or an index naming no vertex, is InvalidArgument
// naming the argument and the mesh (Result::mesh; offset: the mesh's position
// for a length, the entry for an index).
Result describeMeshes(std::span<const MeshArrays> meshes, std::vector<SampledMesh>& described,
                      const MeshNeeds& needs = {});

}  // namespace lumivex
