#pragma once
// The faults of a lightmap layout that a baker trips on, at a given size:
// lightmap UVs outside [0, 1]; triangles of zero lightmap area; texels whose
// corner lies strictly inside two or more triangles (stacked, mirrored or
// overlapping islands: one of the surfaces gets no sample there); triangles
// that cover no texel corner (they get no sample at all), with the smallest
// power-of-two size at which every one of them would.
//
// Containment is decided exactly (a corner on an edge is on the edge), on the
// texel-space corners the sampler itself uses.

#include <lumivex/lumivex.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lumivex {

// One mesh as the check reads it.
struct LayoutMesh {
  std::string name;
  const std::vector<Vertex>* vertices = nullptr;
  const std::vector<std::uint32_t>* triangles = nullptr;  // three entries each
};

struct MeshLayout {
  std::string name;
  std::size_t triangles = 0;
  std::size_t outside = 0;     // a corner with u or v outside [0, 1]
  std::size_t zeroArea = 0;    // no lightmap area (or a non-finite coordinate): never sampled
  std::size_t unsampled = 0;   // some area, but no texel corner at this size
  std::size_t overlapped = 0;  // texels that lie strictly inside one of its triangles and another triangle
  double surfaceArea = 0;      // of its triangles in the model
  double unsampledArea = 0;    // of its unsampled triangles in the model
};

inline constexpr std::int32_t kNoSizeSamplesAll = 0;

struct LayoutReport {
  std::int32_t size = 0;
  std::size_t triangles = 0;
  std::size_t outside = 0;
  std::size_t zeroArea = 0;
  std::size_t unsampled = 0;
  std::size_t overlappedTexels = 0;  // texels strictly inside two or more triangles
  double surfaceArea = 0;
  double unsampledArea = 0;
  // The smallest power-of-two size, up to 16384, at which every unsampled
  // triangle would cover a texel corner; kNoSizeSamplesAll when there is none,
  // `size` when no triangle is unsampled.
  std::int32_t sizeSamplingAll = kNoSizeSamplesAll;
  std::vector<MeshLayout> meshes;
};

LayoutReport checkLayout(const std::vector<LayoutMesh>& meshes, std::int32_t size,
                         const std::function<void(double)>& progress = {});

// True when the closed triangle, laid into texel space at `size` as the
// sampler lays it, holds a texel corner of the grid (decided exactly).
bool coversTexelCorner(const std::array<const Vertex*, 3>& vertices, std::int32_t size);

// The exact turn of the triangle in texel space at `size`: 1 counter-clockwise,
// -1 clockwise, 0 for no area.
int lightmapTurn(const std::array<const Vertex*, 3>& vertices, std::int32_t size);

// The report as JSON, for asset pipelines.
std::string layoutReportJson(const LayoutReport& report, const std::string& model);

}  // namespace lumivex
