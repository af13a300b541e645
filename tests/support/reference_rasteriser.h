#pragma once
// The sampler written the plain way, texel by texel, exactly as the algorithm
// reads: the yardstick that the real rasteriser is held to. It shares no code
// with it but the point tests and the kernel.

#include <span>
#include <vector>

#include "mesh/mesh_set.h"
#include "output/sample_grid.h"
#include "sampling/texel_triangle.h"

namespace lumivex::testing {

// A mesh as 40-byte records and a triangle list; entries naming a vertex
// past the end make triangles that write nothing (but keep their number).
struct PlainMesh {
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> indices;
};

// A loaded mesh through the sampler's 40-byte view (zeros past a shorter
// record); a mesh whose slots are not 40 bytes has no triangles.
PlainMesh plainMeshOf(const MeshRecord& mesh);

// Samples the meshes in order into `grid` (of the shape's size, with any
// channels): samples, coverage, ids and weights where the grid has them, and
// with `coverSmallTriangles` the centroid samples and their count.
void referenceSample(std::span<const PlainMesh> meshes, const GridShape& shape, bool coverSmallTriangles,
                     SampleGrid& grid);

// One loaded mesh into a square grid at texel corners, over what it holds.
void referenceRasteriseMesh(const MeshRecord& mesh, LightmapSize size, SampleGrid& grid);

}  // namespace lumivex::testing
