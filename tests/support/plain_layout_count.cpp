#include "support/plain_layout_count.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "sampling/rasteriser.h"

namespace lumivex::testing {

int fixedShift = 54;

namespace {

__extension__ typedef __int128 Int;

struct FixedPoint {
  Int x, y;
};

FixedPoint fixedPoint(const Vertex& vertex, std::int32_t size) {
  const float s = static_cast<float>(size);
  const double x = std::ldexp(static_cast<double>(s * vertex.lightmapU), fixedShift);
  const double y = std::ldexp(static_cast<double>(s * vertex.lightmapV), fixedShift);
  EXPECT_EQ(x, std::trunc(x));
  EXPECT_EQ(y, std::trunc(y));
  EXPECT_LT(std::fabs(x), 0x1p62);
  EXPECT_LT(std::fabs(y), 0x1p62);
  return {static_cast<Int>(static_cast<std::int64_t>(x)), static_cast<Int>(static_cast<std::int64_t>(y))};
}

int side(FixedPoint a, FixedPoint b, FixedPoint p) {
  const Int d = (a.x - p.x) * (b.y - p.y) - (a.y - p.y) * (b.x - p.x);
  return d > 0 ? 1 : d < 0 ? -1 : 0;
}

// 0: outside; 1: on an edge; 2: strictly inside.
int where(const std::array<FixedPoint, 3>& t, int turn, std::int32_t col, std::int32_t row) {
  const FixedPoint p = {Int(col) << fixedShift, Int(row) << fixedShift};
  const int s0 = side(t[0], t[1], p) * turn, s1 = side(t[1], t[2], p) * turn, s2 = side(t[2], t[0], p) * turn;
  if (s0 < 0 || s1 < 0 || s2 < 0) return 0;
  return s0 > 0 && s1 > 0 && s2 > 0 ? 2 : 1;
}

struct Plain {
  std::vector<std::array<FixedPoint, 3>> corners;
  std::vector<int> turn;
};

bool holdsACornerPlainly(const std::array<const Vertex*, 3>& v, std::int32_t size) {
  const std::array<FixedPoint, 3> t = {fixedPoint(*v[0], size), fixedPoint(*v[1], size), fixedPoint(*v[2], size)};
  const int turn = side(t[0], t[1], t[2]);
  if (turn == 0) return false;
  for (std::int32_t row = 0; row < size; ++row) {
    for (std::int32_t col = 0; col < size; ++col) {
      if (where(t, turn, col, row) > 0) return true;
    }
  }
  return false;
}

// The model-space area of a triangle, by Heron's formula in long double.
double plainArea(const std::array<const Vertex*, 3>& v) {
  auto distance = [](const Vector3& a, const Vector3& b) {
    const long double dx = (long double)b.x - a.x, dy = (long double)b.y - a.y, dz = (long double)b.z - a.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
  };
  const long double a = distance(v[0]->position, v[1]->position), b = distance(v[1]->position, v[2]->position),
                    c = distance(v[2]->position, v[0]->position), s = (a + b + c) / 2;
  return static_cast<double>(std::sqrt(std::max(0.0L, s * (s - a) * (s - b) * (s - c))));
}

}  // namespace

PlainReport countPlainly(const std::vector<LayoutMesh>& meshes, std::int32_t size, std::int32_t largestSizeTried,
                         Window window) {
  PlainReport report;
  report.size = size;
  if (window.cols == 0) window.cols = size - window.firstCol;
  if (window.rows == 0) window.rows = size - window.firstRow;
  const auto texels = static_cast<std::size_t>(window.cols) * static_cast<std::size_t>(window.rows);
  std::vector<int> strictly(texels, 0);
  std::vector<char> held(texels, 0);
  std::vector<std::vector<char>> meshStrictly(meshes.size(), std::vector<char>(texels, 0));
  std::vector<std::array<const Vertex*, 3>> unsampled;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    LayoutCounts& layout = report.meshes.emplace_back();
    std::vector<char>& holds = report.holdsCorner.emplace_back();
    const auto& vertices = *meshes[m].vertices;
    const auto& indices = *meshes[m].triangles;
    for (std::size_t i = 0; i + 2 < indices.size(); i += 3) {
      const std::array<const Vertex*, 3> v = {&vertices[indices[i]], &vertices[indices[i + 1]],
                                              &vertices[indices[i + 2]]};
      ++layout.triangles;
      layout.surfaceArea += plainArea(v);
      for (const Vertex* corner : v) {
        if (!(corner->lightmapU >= 0 && corner->lightmapU <= 1 && corner->lightmapV >= 0 && corner->lightmapV <= 1)) {
          ++layout.outside;
          break;
        }
      }
      const std::array<FixedPoint, 3> t = {fixedPoint(*v[0], size), fixedPoint(*v[1], size),
                                           fixedPoint(*v[2], size)};
      const int turn = side(t[0], t[1], t[2]);
      holds.push_back(0);
      if (turn == 0 || isDegenerateInLightmap(*v[0], *v[1], *v[2], size)) {
        ++layout.zeroArea;
        continue;
      }
      // The corners of the window within the triangle's box (in whole texels).
      Int lowX = t[0].x, highX = t[0].x, lowY = t[0].y, highY = t[0].y;
      for (const FixedPoint& p : t) {
        lowX = std::min(lowX, p.x), highX = std::max(highX, p.x), lowY = std::min(lowY, p.y), highY = std::max(highY, p.y);
      }
      const auto clip = [](Int value, std::int32_t first, std::int32_t count) {
        const Int whole = value >> fixedShift;  // floor
        return static_cast<std::int32_t>(std::clamp<Int>(whole - first, 0, count - 1));
      };
      bool any = false;
      for (std::int32_t row = clip(lowY, window.firstRow, window.rows); row <= clip(highY + (Int(1) << fixedShift), window.firstRow, window.rows); ++row) {
        for (std::int32_t col = clip(lowX, window.firstCol, window.cols); col <= clip(highX + (Int(1) << fixedShift), window.firstCol, window.cols); ++col) {
          const int w = where(t, turn, window.firstCol + col, window.firstRow + row);
          any = any || w > 0;
          if (w > 0) held[static_cast<std::size_t>(row * window.cols + col)] = 1;
          if (w == 2) {
            ++strictly[static_cast<std::size_t>(row * window.cols + col)];
            meshStrictly[m][static_cast<std::size_t>(row * window.cols + col)] = 1;
          }
        }
      }
      holds.back() = any ? 1 : 0;
      if (!any) {
        ++layout.unsampled;
        layout.unsampledArea += plainArea(v);
        unsampled.push_back(v);
      }
    }
  }
  for (std::size_t texel = 0; texel < texels; ++texel) {
    if (strictly[texel] < 2) continue;
    ++report.total.overlappedTexels;
    for (std::size_t m = 0; m < meshes.size(); ++m) report.meshes[m].overlappedTexels += meshStrictly[m][texel];
  }
  report.total.coveredTexels = static_cast<std::size_t>(std::count(held.begin(), held.end(), 1));
  for (const LayoutCounts& mesh : report.meshes) {
    report.total.triangles += mesh.triangles;
    report.total.outside += mesh.outside;
    report.total.zeroArea += mesh.zeroArea;
    report.total.unsampled += mesh.unsampled;
    report.total.surfaceArea += mesh.surfaceArea;
    report.total.unsampledArea += mesh.unsampledArea;
  }
  report.sizeSamplingAll = size;
  if (!unsampled.empty()) {
    report.sizeSamplingAll = 0;
    for (std::int32_t tried = 1; tried <= largestSizeTried; tried *= 2) {
      bool all = true;
      for (const auto& v : unsampled) all = all && holdsACornerPlainly(v, tried);
      if (all) {
        report.sizeSamplingAll = tried;
        break;
      }
    }
  }
  return report;
}

}  // namespace lumivex::testing
