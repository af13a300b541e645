#pragma once
// Lays each triangle into texel space through its lightmap coordinates and
// stores the blended position and unit normal at every texel whose sample
// point lies in the closed triangle. The last triangle to cover a texel wins.
// Every texel written is marked in the grid's coverage, and its triangle, mesh
// and weights go to the grid's channels where it has them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "mesh/mesh_set.h"
#include "output/sample_grid.h"
#include "sampling/corner_range.h"
#include "sampling/sampled_mesh.h"
#include "sampling/texel_triangle.h"

namespace lumivex {

// A loaded mesh read through its 40-byte view: the first 40 bytes of each
// record, zero past a shorter one. A mesh whose slots are not 40 bytes has no
// triangles; entries after the last whole triple are ignored.
SampledMesh sampledMeshOf(const MeshRecord& mesh);
// The same mesh (its header) with its arrays in bytes as the file holds them:
// records of vertexSize bytes at `records`, little-endian 16-bit indices at
// `indices`, at any alignment.
SampledMesh sampledMeshInFileBytes(const MeshRecord& mesh, const std::uint8_t* records, const std::uint8_t* indices);
// Native 40-byte records and 16-bit indices (three per triangle).
SampledMesh sampledMeshOf(std::span<const Vertex> vertices, std::span<const std::uint16_t> indices);

struct RasteriseOptions {
  // Threads at most; 0: as many as the process may run on. Small inputs use fewer.
  std::size_t maxThreads = 0;
  // When not 0: exactly this many workers, each on a thread of its own (tests).
  std::size_t exactThreads = 0;
  std::function<void(double fraction)> progress;
  const std::atomic<bool>* cancel = nullptr;
  // Give a sample to each triangle that holds no sample point (see SampleOptions).
  bool coverSmallTriangles = false;
};

// The rasteriser's options for a caller's sampling options.
inline RasteriseOptions rasteriseOptionsOf(const SampleOptions& options) {
  RasteriseOptions rasterise;
  rasterise.maxThreads = options.threads;
  rasterise.progress = options.progress;
  rasterise.cancel = options.cancel;
  rasterise.coverSmallTriangles = options.coverSmallTriangles;
  return rasterise;
}

// Rasterises `meshes` in order, triangle by triangle, exactly as sampling
// every triangle of every mesh in turn would. Because the last writer wins,
// it works from the last triangle back and skips texels already settled, and
// it shares the grid's rows out among threads; the result is the same to the
// bit. A triangle naming a vertex past the end of its mesh writes nothing.
// False when cancelled (or a callback threw); the grid is then partly written.
// `grid` is a fresh grid of the shape's width and height.
bool rasteriseMeshes(std::span<const SampledMesh> meshes, const GridShape& shape, SampleGrid& grid,
                     const RasteriseOptions& options = {});

class SettledTexels;
class WorkTracker;

// The same, a run of meshes at a time, from the last run to the first: for
// meshes that arrive in pieces (a file read from its end).
class BackwardRasteriser {
 public:
  // `totalTriangles`: of all the runs, for the progress reports.
  BackwardRasteriser(const GridShape& shape, SampleGrid& grid, std::size_t workers, const RasteriseOptions& options,
                     std::size_t totalTriangles);
  ~BackwardRasteriser();
  BackwardRasteriser(const BackwardRasteriser&) = delete;
  BackwardRasteriser& operator=(const BackwardRasteriser&) = delete;

  // Rasterises a run that comes before every run rasterised so far; its first
  // mesh is mesh `firstMesh` of the whole list. False when stopped.
  bool rasterise(std::span<const SampledMesh> meshes, std::size_t firstMesh = 0);
  // True once every texel holds its final sample: earlier runs change nothing.
  bool allSettled() const;
  // After every run: gives each triangle of the whole list that holds no
  // sample point its centroid sample, where no triangle covers that texel.
  // False when stopped.
  bool coverSmallTriangles(std::span<const SampledMesh> meshes);
  // Marks the ids of texels left uncovered, and sends the last progress
  // report; false when the work was stopped.
  bool finish();

 private:
  GridShape shape_;
  SampleGrid& grid_;
  const RasteriseOptions& options_;
  bool splitTriangles_;
  std::int32_t workers_;
  std::unique_ptr<SettledTexels> settled_;
  std::unique_ptr<WorkTracker> tracker_;
};

// The workers worth starting for this much work, within the options' limits.
std::size_t workersFor(std::size_t triangles, const GridShape& shape, const RasteriseOptions& options);

// The loaded meshes of a group, as the command samples them.
bool rasteriseMeshRecords(std::span<const MeshRecord> meshes, const GridShape& shape, SampleGrid& grid,
                          const RasteriseOptions& options = {});

// A triangle with a non-finite texel-space corner, or of zero area in texel
// space, writes nothing; texels outside the grid are never addressed.
void rasteriseTriangle(const Vertex& v0, const Vertex& v1, const Vertex& v2, const GridShape& shape, SampleGrid& grid);

// Calls visit(col, row) for every texel of the grid whose sample point the
// triangle covers, by the rasteriser's own tests (nothing for a triangle that
// rasteriseTriangle would skip). `rule` decides which corners are visited:
// the rasteriser's own by default, the whole scan range when null.
void forEachCoveredTexel(const Vertex& v0, const Vertex& v1, const Vertex& v2, const GridShape& shape,
                         const std::function<void(std::int32_t col, std::int32_t row)>& visit,
                         const CornerRule* rule = &kCornerRule);

// True when rasteriseTriangle skips the triangle whole: a non-finite corner or
// zero area in texel space.
bool isDegenerateInLightmap(const Vertex& v0, const Vertex& v1, const Vertex& v2, const GridShape& shape);

}  // namespace lumivex
