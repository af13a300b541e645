#pragma once
// Lays each triangle into texel space through its second texture-coordinate
// pair and stores the blended position and unit normal at every texel whose
// corner point lies in the closed triangle. The last triangle to cover a texel wins.

#include <cstdint>
#include <functional>
#include <span>

#include "math/vector3.h"
#include "mesh/mesh_set.h"
#include "mesh/vertex_record.h"
#include "output/sample_grid.h"

namespace lumivex {

// Rasterises `meshes` in order, triangle by triangle, exactly as calling
// rasteriseMesh on each in turn would. Because the last writer wins, it works
// from the last triangle back and skips texels already settled, and it splits
// large inputs across the processor's cores; the result is the same to the bit.
// `threads` = 0 chooses the number of threads from the work and the machine.
void rasteriseMeshes(std::span<const MeshRecord> meshes, LightmapSize size, SampleGrid& grid,
                     std::size_t threads = 0);

// Triangles are index triples 3t, 3t+1, 3t+2; entries after the last whole
// triple are ignored. A mesh whose slots are not 40 bytes, or a triangle that
// names a vertex past the end of the mesh, writes nothing.
void rasteriseMesh(const MeshRecord& mesh, LightmapSize size, SampleGrid& grid);

// A triangle with a non-finite texel-space corner, or of zero area in texel
// space, writes nothing; texels outside the grid are never addressed.
void rasteriseTriangle(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2,
                       LightmapSize size, SampleGrid& grid);

// Calls visit(col, row) for every texel of the grid whose corner point the
// triangle covers, by the rasteriser's own tests (nothing for a triangle that
// rasteriseTriangle would skip).
void forEachCoveredTexel(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2, LightmapSize size,
                         const std::function<void(std::int32_t col, std::int32_t row)>& visit);

// True when rasteriseTriangle skips the triangle whole: a non-finite corner or
// zero area in texel space.
bool isDegenerateInLightmap(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2,
                            LightmapSize size);

// Inclusive range of columns (or rows) to scan: trunc(min) to trunc(max + 1),
// clipped to 0..size-1. Empty when first > last.
struct ScanRange {
  std::int32_t first;
  std::int32_t last;
};
ScanRange scanRange(float minimum, float maximum, LightmapSize size);

}  // namespace lumivex
