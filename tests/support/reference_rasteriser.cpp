#include "support/reference_rasteriser.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "math/kernel.h"
#include "math/little_endian.h"
#include "sampling/triangle_tests.h"

namespace lumivex::testing {

namespace {

struct Slot {
  float values[10];
};

// Vertex `index` through the 40-byte view: the record's first 40 bytes,
// zero past a shorter record, little-endian.
Slot slotAt(const MeshRecord& mesh, int index) {
  const std::size_t recordBytes = std::min<std::size_t>(static_cast<std::size_t>(mesh.vertexSize), 40);
  std::uint8_t bytes[40] = {};
  std::memcpy(bytes, mesh.vertices.data() + recordBytes * static_cast<std::size_t>(index), recordBytes);
  Slot slot;
  for (int k = 0; k < 10; ++k) slot.values[k] = little_endian::loadFloat(bytes + 4 * k);
  return slot;
}

void referenceTriangle(const Slot& a, const Slot& b, const Slot& c, LightmapSize size, SampleGrid& grid) {
  const float s = static_cast<float>(size);
  const Vector3 t[3] = {{s * a.values[8], s * a.values[9], 0},
                        {s * b.values[8], s * b.values[9], 0},
                        {s * c.values[8], s * c.values[9], 0}};
  for (const Vector3& corner : t) {
    if (!std::isfinite(corner.x) || !std::isfinite(corner.y)) return;
  }
  const double area = (double(t[1].x) - t[0].x) * (double(t[2].y) - t[0].y) -
                      (double(t[1].y) - t[0].y) * (double(t[2].x) - t[0].x);
  if (area == 0.0) return;

  const double minX = std::fmin(std::fmin(t[0].x, t[1].x), t[2].x);
  const double maxX = std::fmax(std::fmax(t[0].x, t[1].x), t[2].x);
  const double minY = std::fmin(std::fmin(t[0].y, t[1].y), t[2].y);
  const double maxY = std::fmax(std::fmax(t[0].y, t[1].y), t[2].y);
  // The scan range trunc(min) .. trunc(max + 1), truncated in double, then
  // only its part on the grid.
  const auto onGrid = [size](double bound) { return static_cast<long long>(std::clamp(bound, -1.0, double(size))); };
  const long long firstCol = std::max(0LL, onGrid(std::trunc(minX)));
  const long long lastCol = std::min(size - 1LL, onGrid(std::trunc(maxX + 1.0)));
  const long long firstRow = std::max(0LL, onGrid(std::trunc(minY)));
  const long long lastRow = std::min(size - 1LL, onGrid(std::trunc(maxY + 1.0)));

  const Vector3 p0 = {a.values[0], a.values[1], a.values[2]}, n0 = {a.values[3], a.values[4], a.values[5]};
  const Vector3 p1 = {b.values[0], b.values[1], b.values[2]}, n1 = {b.values[3], b.values[4], b.values[5]};
  const Vector3 p2 = {c.values[0], c.values[1], c.values[2]}, n2 = {c.values[3], c.values[4], c.values[5]};

  for (long long row = firstRow; row <= lastRow; ++row) {
    for (long long col = firstCol; col <= lastCol; ++col) {
      const Vector3 point = {static_cast<float>(col), static_cast<float>(row), 0};
      if (!pointInTriangle(point, t[0], t[1], t[2])) continue;
      float w1 = 0, w2 = 0;
      barycentricWeights(point, t[0], t[1], t[2], w1, w2);
      if (!std::isfinite(w1) || !std::isfinite(w2)) continue;
      Sample sample;
      barycentricCombine(&sample.position, &p0, &p1, &p2, w1, w2);
      barycentricCombine(&sample.normal, &n0, &n1, &n2, w1, w2);
      normaliseVector3(&sample.normal, &sample.normal);
      grid.data()[row * size + col] = sample;
    }
  }
}

}  // namespace

void referenceRasteriseMesh(const MeshRecord& mesh, LightmapSize size, SampleGrid& grid) {
  if (mesh.vertexStride != 40) return;
  const int n = mesh.indexCount - mesh.indexCount % 3;
  for (int i = 0; i + 2 < n; i += 3) {
    const int a = mesh.indices[i], b = mesh.indices[i + 1], c = mesh.indices[i + 2];
    if (a >= mesh.vertexCount || b >= mesh.vertexCount || c >= mesh.vertexCount) continue;
    referenceTriangle(slotAt(mesh, a), slotAt(mesh, b), slotAt(mesh, c), size, grid);
  }
}

}  // namespace lumivex::testing
