#include "sampling/small_triangles.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "math/processor_count.h"

namespace lumivex {

namespace {

// A centroid sample waiting to be stored.
struct Placement {
  std::int32_t col;
  std::int32_t row;
  Sample sample;
  TexelOrigin origin;
};

// The texel whose sample point lies nearest (x, y): floor(x + 1/2 - offset),
// and likewise for y, in double (exact there). False off the grid, or for NaN.
bool nearestTexel(float x, float y, const GridShape& shape, std::int32_t& col, std::int32_t& row) {
  const double nearestCol = std::floor(double{x} + 0.5 - shape.sampleOffset);
  const double nearestRow = std::floor(double{y} + 0.5 - shape.sampleOffset);
  if (!(nearestCol >= 0.0 && nearestCol < shape.width && nearestRow >= 0.0 && nearestRow < shape.height)) return false;
  col = static_cast<std::int32_t>(nearestCol);
  row = static_cast<std::int32_t>(nearestRow);
  return true;
}

// Whether a laid-out triangle covers any sample point it could cover.
bool holdsSamplePoint(TexelTriangle& triangle) {
  for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
    for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
      if (triangle.covers(col, row)) return true;
    }
  }
  return false;
}

// The placement of triangle t of a mesh, when it is one to place.
bool placementOf(const SampledMesh& mesh, std::size_t meshIndex, std::size_t t, const GridShape& shape,
                 const SampleGrid& grid, TexelTriangle& triangle, Placement& placement) {
  const std::array<std::size_t, 3> vertices = {indexAt(mesh, 3 * t), indexAt(mesh, 3 * t + 1), indexAt(mesh, 3 * t + 2)};
  if (vertices[0] >= mesh.vertexCount || vertices[1] >= mesh.vertexCount || vertices[2] >= mesh.vertexCount) {
    return false;
  }
  const Layout layout = triangle.layOut(mesh, vertices, shape);
  if (layout == Layout::Degenerate) return false;
  const auto [x, y] = triangle.centroid();
  // Cheapest first: most centroids land on covered texels.
  if (!nearestTexel(x, y, shape, placement.col, placement.row) || grid.covered(placement.col, placement.row)) {
    return false;
  }
  if (layout == Layout::Ready && holdsSamplePoint(triangle)) return false;
  if (layout == Layout::NoCorner) triangle.bind(mesh, vertices);
  if (!triangle.blendAt(x, y, placement.sample)) return false;
  placement.origin = {static_cast<std::uint32_t>(meshIndex), static_cast<std::uint32_t>(t), triangle.w1(),
                      triangle.w2()};
  return true;
}

constexpr std::size_t kTrianglesBetweenCancelChecks = 4096;

}  // namespace

bool placeSmallTriangles(std::span<const SampledMesh> meshes, const GridShape& shape, SampleGrid& grid,
                         std::size_t workers, const std::atomic<bool>* cancel) {
  std::vector<std::size_t> firstOrdinal(meshes.size() + 1, 0);  // of each mesh's first triangle
  for (std::size_t m = 0; m < meshes.size(); ++m) firstOrdinal[m + 1] = firstOrdinal[m] + meshes[m].triangleCount;
  const std::size_t total = firstOrdinal.back();
  workers = std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(total / kTrianglesBetweenCancelChecks, 1));

  // Found side by side in stretches of the triangles, kept in triangle order.
  std::vector<std::vector<Placement>> found(workers);
  std::atomic<bool> stopped{false};
  forEachInParallel(workers, workers, [&](std::size_t worker) {
    const std::size_t begin = total * worker / workers, end = total * (worker + 1) / workers;
    std::size_t m = static_cast<std::size_t>(std::upper_bound(firstOrdinal.begin(), firstOrdinal.end(), begin) -
                                             firstOrdinal.begin()) - 1;
    TexelTriangle triangle;
    Placement placement{};
    for (std::size_t ordinal = begin; ordinal < end; ++ordinal) {
      while (ordinal >= firstOrdinal[m + 1]) ++m;
      if ((ordinal - begin) % kTrianglesBetweenCancelChecks == 0 && cancel != nullptr && cancel->load()) {
        stopped = true;
      }
      if (stopped) return;
      if (placementOf(meshes[m], m, ordinal - firstOrdinal[m], shape, grid, triangle, placement)) {
        found[worker].push_back(placement);
      }
    }
  });
  if (stopped) return false;

  const ChannelWriter channels(grid);
  std::uint64_t placed = 0;
  for (const std::vector<Placement>& stretch : found) {
    for (const Placement& p : stretch) {
      if (!grid.covered(p.col, p.row)) ++placed;  // a later small triangle only replaces an earlier one
      grid.at(p.col, p.row) = p.sample;
      grid.setCovered(p.col, p.row, true);
      channels.write(p.col, p.row, p.origin);
    }
  }
  SampleGridAccess::setSmallTrianglesPlaced(grid, placed);
  return true;
}

}  // namespace lumivex
