#include "sampling/rasteriser.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "math/kernel.h"
#include "sampling/triangle_tests.h"

namespace lumivex {

namespace {

VertexRecord vertexAt(const MeshRecord& mesh, std::uint16_t index) {
  VertexRecord vertex;
  std::memcpy(&vertex, mesh.vertices.data() + std::size_t{index} * sizeof(VertexRecord), sizeof vertex);
  return vertex;
}

bool isFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Exactly zero signed area (differences and products in double from the
// single-precision corners): such a triangle passes every inside test and
// divides by a zero height.
bool hasZeroArea(const Vector3& t0, const Vector3& t1, const Vector3& t2) {
  const double area = (double{t1.x} - double{t0.x}) * (double{t2.y} - double{t0.y}) -
                      (double{t1.y} - double{t0.y}) * (double{t2.x} - double{t0.x});
  return area == 0.0;
}

}  // namespace

ScanRange scanRange(float minimum, float maximum, LightmapSize size) {
  // Truncation toward zero is monotonic, so clamping in floating point first
  // gives exactly the in-grid part of trunc(min) .. trunc(max + 1.0).
  const double highest = static_cast<double>(size) - 1.0;
  const double first = std::clamp(static_cast<double>(minimum), 0.0, highest + 1.0);
  const double last = std::clamp(static_cast<double>(maximum) + 1.0, -1.0, highest);
  return {static_cast<std::int32_t>(first), static_cast<std::int32_t>(last)};
}

void rasteriseTriangle(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2,
                       LightmapSize size, SampleGrid& grid) {
  const float s = static_cast<float>(size);
  const Vector3 t0 = {s * v0.lightmapU, s * v0.lightmapV, 0.0f};
  const Vector3 t1 = {s * v1.lightmapU, s * v1.lightmapV, 0.0f};
  const Vector3 t2 = {s * v2.lightmapU, s * v2.lightmapV, 0.0f};
  if (!isFinite(t0) || !isFinite(t1) || !isFinite(t2) || hasZeroArea(t0, t1, t2)) return;

  const ScanRange cols = scanRange(std::min({t0.x, t1.x, t2.x}), std::max({t0.x, t1.x, t2.x}), size);
  const ScanRange rows = scanRange(std::min({t0.y, t1.y, t2.y}), std::max({t0.y, t1.y, t2.y}), size);

  for (std::int32_t row = rows.first; row <= rows.last; ++row) {
    for (std::int32_t col = cols.first; col <= cols.last; ++col) {
      const Vector3 corner = {static_cast<float>(col), static_cast<float>(row), 0.0f};
      if (!pointInTriangle(corner, t0, t1, t2)) continue;

      float w1 = 0.0f;
      float w2 = 0.0f;
      barycentricWeights(corner, t0, t1, t2, w1, w2);
      if (!std::isfinite(w1) || !std::isfinite(w2)) continue;

      Sample sample;
      barycentricCombine(&sample.position, &v0.position, &v1.position, &v2.position, w1, w2);
      barycentricCombine(&sample.normal, &v0.normal, &v1.normal, &v2.normal, w1, w2);
      normaliseVector3(&sample.normal, &sample.normal);
      grid.samples[cellIndex(grid, col, row)] = sample;
    }
  }
}

void rasteriseMesh(const MeshRecord& mesh, LightmapSize size, SampleGrid& grid) {
  if (mesh.vertexStride != kSampledVertexStride) return;
  // The remainder takes the sign of indexCount, so any count below 3 gives n <= 0.
  const std::int32_t n = mesh.indexCount - mesh.indexCount % 3;
  if (n <= 0) return;
  const std::size_t triangleCount = static_cast<std::size_t>(n / 3);
  const std::size_t vertexCount = static_cast<std::size_t>(std::max(mesh.vertexCount, 0));
  for (std::size_t t = 0; t < triangleCount; ++t) {
    const std::uint16_t i0 = mesh.indices[3 * t];
    const std::uint16_t i1 = mesh.indices[3 * t + 1];
    const std::uint16_t i2 = mesh.indices[3 * t + 2];
    if (i0 >= vertexCount || i1 >= vertexCount || i2 >= vertexCount) continue;
    rasteriseTriangle(vertexAt(mesh, i0), vertexAt(mesh, i1), vertexAt(mesh, i2), size, grid);
  }
}

}  // namespace lumivex
