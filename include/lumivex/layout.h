#pragma once
// Lumivex lightmap layouts: lightmap UVs made for meshes that have none, and
// the exact check of any layout as the sampler will see it.
//
// The same rules hold as in lumivex.h: nothing prints, exits or throws; every
// failure is a Result; callers on several threads at once are fine; the same
// input gives the same bytes, whatever the number of threads.

#include <lumivex/lumivex.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace lumivex {

// ---------------------------------------------------------------- generating

struct LayoutOptions {
  // The lightmap the layout is made for: texels on a side, 1 to 16384.
  std::int32_t size = 512;
  // Texels kept free between charts and from the square's border, 0 to 64.
  std::int32_t padding = 2;
  // Texels per unit of the model's length. 0: the largest density at which
  // every chart fits, with a multiple of it for meshes whose faces are too
  // small for it (see MeshLayout::texelsPerUnit). Otherwise exactly this
  // density for every mesh, and DoesNotFit when the charts do not fit at it.
  double texelsPerUnit = 0;
  // A face joins a chart while its normal lies within this many degrees of
  // the normal of the chart's first face, or, where a chart rolls out along
  // its faces' edges (a tube, laid flat whole), of the neighbour it joins
  // across; 1 to 90. Smaller angles give flatter charts and more of them.
  double maxChartAngle = 60;
  // Threads at most; 0: as many as the process may run on.
  std::size_t threads = 0;
  // Called now and then with the share of the work done (0 to 1), and with 1
  // at the end; from one thread at a time.
  std::function<void(double fraction)> progress;
  // Set to true (from any thread) to stop: the call returns Cancelled.
  const std::atomic<bool>* cancel = nullptr;
};

// No chart: a triangle of no area in the model, which takes a point of a
// chart it touches (it has no lightmap area and is never sampled).
inline constexpr std::uint32_t kNoChart = 0xFFFFFFFFu;

// One mesh's new layout. Vertices are split where charts meet: new vertex i
// copies input vertex xref[i] (position, normal, everything) and takes the
// lightmap coordinates lightmapUvs[2i], lightmapUvs[2i + 1]. The triangles
// are the input's, in the input's order, named by new vertex numbers.
struct MeshLayout {
  std::vector<std::uint32_t> xref;        // per new vertex: the input vertex it copies
  std::vector<std::uint32_t> triangles;   // three new vertex numbers per input triangle
  std::vector<float> lightmapUvs;         // u, v per new vertex, within [0, 1]
  std::vector<std::uint32_t> chartIds;    // per triangle: its chart, or kNoChart
  // The density of the mesh's charts: the layout's, or a multiple of it for
  // a mesh whose faces are too small for it (most of its surface would go
  // unsampled). A chart shared with another mesh takes the larger of theirs.
  double texelsPerUnit = 0;
};

struct GeneratedLayout {
  std::vector<MeshLayout> meshes;   // one per input mesh, in order
  std::size_t charts = 0;
  double texelsPerUnit = 0;         // the density used (a mesh may have a multiple of it)
  double coveredShare = 0;          // of the square's area, by the charts as laid flat
  std::size_t snappedVertices = 0;  // moved onto texel corners so that small faces are sampled
  // Faces with area that hold no texel corner at `size` (they get no
  // sample), the share of the surface they hold, and the smallest power-of-two
  // size, up to 16384, at which this layout samples them all (0: none does).
  std::size_t unsampledTriangles = 0;
  double unsampledAreaShare = 0;
  std::int32_t sizeSamplingAll = 0;
};

// Lays out `meshes` in one square (their lightmap coordinates, if any, are
// not read), clear by the padding of the texels that the lightmap
// coordinates of the `kept` meshes cover. Positions are read; normals and
// other attributes are not. InvalidArgument for options out of range or
// arrays that do not fit (as sampleMeshes checks them); DoesNotFit when the
// charts cannot fit (at any density, or at the one asked for); Cancelled.
LUMIVEX_API Result generateLightmapUvs(std::span<const MeshArrays> meshes, const LayoutOptions& options,
                                       GeneratedLayout& layout, std::span<const MeshArrays> kept = {}) noexcept;

// ---------------------------------------------------------------- checking

// What a layout gives the sampler at one size, per mesh or in total.
// Containment is decided exactly, on the texel-space corners the sampler
// itself forms (a texel corner on an edge is on the edge, whatever the
// rounding).
struct LayoutCounts {
  std::size_t triangles = 0;
  std::size_t outside = 0;           // a corner with u or v outside [0, 1]
  std::size_t zeroArea = 0;          // no lightmap area, or a non-finite coordinate: never sampled
  std::size_t unsampled = 0;         // some area, but no texel corner at this size: no sample
  // Texel corners strictly inside two or more triangles: only the last of
  // them gives the texel its sample. For one mesh: those inside one of its
  // triangles and another triangle (of any mesh); in total, each once.
  std::size_t overlappedTexels = 0;
  std::size_t coveredTexels = 0;     // texel corners in at least one triangle (in total only)
  double surfaceArea = 0;            // of the triangles, in the model's units
  double unsampledArea = 0;          // of the unsampled triangles
};

struct LayoutReport {
  std::int32_t size = 0;
  LayoutCounts total;
  std::vector<LayoutCounts> meshes;  // one per mesh, in order
  // The smallest power-of-two size, up to 16384, at which every unsampled
  // triangle would hold a texel corner: 0 when none does, `size` when no
  // triangle is unsampled.
  std::int32_t sizeSamplingAll = 0;
};

struct LayoutCheckOptions {
  // Called now and then with the share of the work done (0 to 1).
  std::function<void(double fraction)> progress;
  // Set to true (from any thread) to stop: the call returns Cancelled.
  const std::atomic<bool>* cancel = nullptr;
};

// Checks the lightmap coordinates of `meshes` at `size` (1 to 16384).
LUMIVEX_API Result checkLayout(std::span<const MeshArrays> meshes, std::int32_t size, LayoutReport& report,
                               const LayoutCheckOptions& options = {}) noexcept;

// ---------------------------------------------------------------- mesh files

// One mesh to write into a mesh file.
struct NamedMesh {
  std::string_view name;  // at most 1023 bytes are written
  MeshArrays arrays;      // positions, normals and lightmap UVs (or records); any index form
  std::span<const float> uvs;  // the first texture-coordinate pair, u, v per vertex; zeros when empty
};

// Writes a mesh file the `lumivex` command reads: version 10, one group,
// format-9233 meshes of 40-byte records. A mesh of more than 65,535
// vertices is written as parts NAME, NAME.1, NAME.2, ... of at most 65,535
// vertices each, every triangle kept in its order, so the samples are the
// same. Complete or not written at all (as writeSamplesFile).
LUMIVEX_API Result writeMeshFile(const char* path, std::span<const NamedMesh> meshes) noexcept;
// The same with several groups, in order (the command samples the first).
LUMIVEX_API Result writeMeshFile(const char* path, std::span<const std::vector<NamedMesh>> groups) noexcept;

}  // namespace lumivex
