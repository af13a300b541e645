#include "support/reference_rasteriser.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "math/kernel.h"
#include "math/little_endian.h"
#include "sampling/triangle_tests.h"

namespace lumivex::testing {

namespace {

// The triangle in texel space, or false when the sampler skips it.
bool texelCorners(const PlainMesh& mesh, std::size_t t, const GridShape& shape, Vector3 (&corners)[3],
                  const Vertex* (&vertices)[3]) {
  for (int k = 0; k < 3; ++k) {
    const std::uint32_t index = mesh.indices[3 * t + static_cast<std::size_t>(k)];
    if (index >= mesh.vertices.size()) return false;
    vertices[k] = &mesh.vertices[index];
    corners[k] = {static_cast<float>(shape.width) * vertices[k]->lightmapU,
                  static_cast<float>(shape.height) * vertices[k]->lightmapV, 0.0f};
    if (!std::isfinite(corners[k].x) || !std::isfinite(corners[k].y)) return false;
  }
  const Vector3* t3 = corners;
  const double area = (double(t3[1].x) - t3[0].x) * (double(t3[2].y) - t3[0].y) -
                      (double(t3[1].y) - t3[0].y) * (double(t3[2].x) - t3[0].x);
  return area != 0.0;
}

// The texels whose sample points lie from trunc(min - offset) to
// trunc(max + 1 - offset), truncated in double, on the grid.
struct Range {
  long long firstCol, lastCol, firstRow, lastRow;
};
Range scanRangeOf(const Vector3 (&t)[3], const GridShape& shape) {
  const double off = shape.sampleOffset;
  const auto onGrid = [](double bound, long long extent) {
    return static_cast<long long>(std::clamp(std::trunc(bound), -1.0, double(extent)));
  };
  const double minX = std::fmin(std::fmin(t[0].x, t[1].x), t[2].x), maxX = std::fmax(std::fmax(t[0].x, t[1].x), t[2].x);
  const double minY = std::fmin(std::fmin(t[0].y, t[1].y), t[2].y), maxY = std::fmax(std::fmax(t[0].y, t[1].y), t[2].y);
  return {std::max(0LL, onGrid(minX - off, shape.width)), std::min(shape.width - 1LL, onGrid(maxX + 1.0 - off, shape.width)),
          std::max(0LL, onGrid(minY - off, shape.height)),
          std::min(shape.height - 1LL, onGrid(maxY + 1.0 - off, shape.height))};
}

Vector3 samplePoint(long long col, long long row, const GridShape& shape) {
  return {static_cast<float>(col) + shape.sampleOffset, static_cast<float>(row) + shape.sampleOffset, 0.0f};
}

// The blend at P: false for non-finite weights.
bool blend(Vector3 p, const Vector3 (&t)[3], const Vertex* const (&v)[3], Sample& sample, float& w1, float& w2) {
  barycentricWeights(p, t[0], t[1], t[2], w1, w2);
  if (!std::isfinite(w1) || !std::isfinite(w2)) return false;
  barycentricCombine(&sample.position, &v[0]->position, &v[1]->position, &v[2]->position, w1, w2);
  barycentricCombine(&sample.normal, &v[0]->normal, &v[1]->normal, &v[2]->normal, w1, w2);
  normaliseVector3(&sample.normal, &sample.normal);
  return true;
}

void store(SampleGrid& grid, long long col, long long row, const Sample& sample, std::size_t mesh, std::size_t t,
           float w1, float w2) {
  const auto c = static_cast<std::int32_t>(col), r = static_cast<std::int32_t>(row);
  grid.at(c, r) = sample;
  grid.setCovered(c, r, true);
  const std::size_t cell = static_cast<std::size_t>(row) * static_cast<std::size_t>(grid.width()) + static_cast<std::size_t>(col);
  if (std::uint32_t* ids = SampleGridAccess::triangleIds(grid)) ids[cell] = static_cast<std::uint32_t>(t);
  if (std::uint32_t* ids = SampleGridAccess::meshIds(grid)) ids[cell] = static_cast<std::uint32_t>(mesh);
  if (float* weights = SampleGridAccess::barycentrics(grid)) weights[2 * cell] = w1, weights[2 * cell + 1] = w2;
}

}  // namespace

PlainMesh plainMeshOf(const MeshRecord& mesh) {
  PlainMesh plain;
  if (mesh.vertexStride != 40) return plain;
  const std::size_t recordBytes = std::min<std::size_t>(static_cast<std::size_t>(mesh.vertexSize), 40);
  for (int index = 0; index < mesh.vertexCount; ++index) {
    std::uint8_t bytes[40] = {};
    std::memcpy(bytes, mesh.vertices.data() + recordBytes * static_cast<std::size_t>(index), recordBytes);
    float values[10];
    for (int k = 0; k < 10; ++k) values[k] = little_endian::loadFloat(bytes + 4 * k);
    Vertex vertex;
    std::memcpy(&vertex, values, sizeof vertex);
    plain.vertices.push_back(vertex);
  }
  const int n = mesh.indexCount - mesh.indexCount % 3;
  for (int i = 0; i < n; ++i) plain.indices.push_back(mesh.indices[static_cast<std::size_t>(i)]);
  return plain;
}

void referenceSample(std::span<const PlainMesh> meshes, const GridShape& shape, bool coverSmallTriangles,
                     SampleGrid& grid) {
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    for (std::size_t t = 0; t < meshes[m].indices.size() / 3; ++t) {
      Vector3 corners[3];
      const Vertex* vertices[3];
      if (!texelCorners(meshes[m], t, shape, corners, vertices)) continue;
      const Range range = scanRangeOf(corners, shape);
      for (long long row = range.firstRow; row <= range.lastRow; ++row) {
        for (long long col = range.firstCol; col <= range.lastCol; ++col) {
          const Vector3 point = samplePoint(col, row, shape);
          Sample sample;
          float w1 = 0, w2 = 0;
          if (pointInTriangle(point, corners[0], corners[1], corners[2]) && blend(point, corners, vertices, sample, w1, w2)) {
            store(grid, col, row, sample, m, t, w1, w2);
          }
        }
      }
    }
  }
  if (coverSmallTriangles) {
    std::vector<std::uint8_t> sampled(grid.cellCount());
    grid.copyCoverage(sampled);
    std::uint64_t placed = 0;
    for (std::size_t m = 0; m < meshes.size(); ++m) {
      for (std::size_t t = 0; t < meshes[m].indices.size() / 3; ++t) {
        Vector3 corners[3];
        const Vertex* vertices[3];
        if (!texelCorners(meshes[m], t, shape, corners, vertices)) continue;
        const Vector3 centroid = {static_cast<float>((double{corners[0].x} + corners[1].x + corners[2].x) / 3.0),
                                  static_cast<float>((double{corners[0].y} + corners[1].y + corners[2].y) / 3.0), 0.0f};
        const double col = std::floor(double{centroid.x} + 0.5 - shape.sampleOffset);
        const double row = std::floor(double{centroid.y} + 0.5 - shape.sampleOffset);
        if (!(col >= 0 && col < shape.width && row >= 0 && row < shape.height)) continue;
        const auto cell = static_cast<std::size_t>(row) * static_cast<std::size_t>(shape.width) + static_cast<std::size_t>(col);
        if (sampled[cell] != 0) continue;
        bool holdsPoint = false;
        const Range range = scanRangeOf(corners, shape);
        for (long long r = range.firstRow; r <= range.lastRow && !holdsPoint; ++r) {
          for (long long c = range.firstCol; c <= range.lastCol && !holdsPoint; ++c) {
            holdsPoint = pointInTriangle(samplePoint(c, r, shape), corners[0], corners[1], corners[2]);
          }
        }
        Sample sample;
        float w1 = 0, w2 = 0;
        if (holdsPoint || !blend(centroid, corners, vertices, sample, w1, w2)) continue;
        if (!grid.covered(static_cast<std::int32_t>(col), static_cast<std::int32_t>(row))) ++placed;
        store(grid, static_cast<long long>(col), static_cast<long long>(row), sample, m, t, w1, w2);
      }
    }
    SampleGridAccess::setSmallTrianglesPlaced(grid, placed);
  }
  markUncoveredIds(grid);
}

void referenceRasteriseMesh(const MeshRecord& mesh, LightmapSize size, SampleGrid& grid) {
  const PlainMesh plain = plainMeshOf(mesh);
  referenceSample({&plain, 1}, size, false, grid);
}

}  // namespace lumivex::testing
