// The layout check against a plain count: every grid corner against every
// triangle, with the side tests done in 128-bit integers.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "import/layout_check.h"
#include "sampling/rasteriser.h"

namespace lumivex {
namespace {

__extension__ typedef __int128 Int;

// Texel-space coordinates at `size`, as the sampler forms them, in units of
// 2^-54: exact for every coordinate the tests below make (none is nearer to
// zero than 2^-31 unless it is zero, none is beyond 2^7).
struct FixedPoint {
  Int x, y;
};

FixedPoint fixedPoint(const Vertex& vertex, std::int32_t size) {
  const float s = static_cast<float>(size);
  const double x = std::ldexp(static_cast<double>(s * vertex.lightmapU), 54);
  const double y = std::ldexp(static_cast<double>(s * vertex.lightmapV), 54);
  EXPECT_EQ(x, std::trunc(x));
  EXPECT_EQ(y, std::trunc(y));
  return {static_cast<Int>(static_cast<std::int64_t>(x)), static_cast<Int>(static_cast<std::int64_t>(y))};
}

int side(FixedPoint a, FixedPoint b, FixedPoint p) {
  const Int d = (a.x - p.x) * (b.y - p.y) - (a.y - p.y) * (b.x - p.x);
  return d > 0 ? 1 : d < 0 ? -1 : 0;
}

// 0: outside; 1: on an edge; 2: strictly inside.
int where(const std::array<FixedPoint, 3>& t, int turn, std::int32_t col, std::int32_t row) {
  const FixedPoint p = {Int(col) << 54, Int(row) << 54};
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

LayoutReport countPlainly(const std::vector<LayoutMesh>& meshes, std::int32_t size, std::int32_t largestSizeTried) {
  LayoutReport report;
  report.size = size;
  const auto texels = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
  std::vector<int> strictly(texels, 0);
  std::vector<std::vector<char>> meshStrictly(meshes.size(), std::vector<char>(texels, 0));
  std::vector<std::array<const Vertex*, 3>> unsampled;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    MeshLayout& layout = report.meshes.emplace_back();
    const auto& vertices = *meshes[m].vertices;
    const auto& indices = *meshes[m].triangles;
    for (std::size_t i = 0; i + 2 < indices.size(); i += 3) {
      const std::array<const Vertex*, 3> v = {&vertices[indices[i]], &vertices[indices[i + 1]],
                                              &vertices[indices[i + 2]]};
      ++layout.triangles;
      for (const Vertex* corner : v) {
        if (!(corner->lightmapU >= 0 && corner->lightmapU <= 1 && corner->lightmapV >= 0 && corner->lightmapV <= 1)) {
          ++layout.outside;
          break;
        }
      }
      const std::array<FixedPoint, 3> t = {fixedPoint(*v[0], size), fixedPoint(*v[1], size),
                                           fixedPoint(*v[2], size)};
      const int turn = side(t[0], t[1], t[2]);
      if (turn == 0 || isDegenerateInLightmap(*v[0], *v[1], *v[2], size)) {
        ++layout.zeroArea;
        continue;
      }
      bool any = false;
      for (std::int32_t row = 0; row < size; ++row) {
        for (std::int32_t col = 0; col < size; ++col) {
          const int w = where(t, turn, col, row);
          any = any || w > 0;
          if (w == 2) {
            ++strictly[static_cast<std::size_t>(row * size + col)];
            meshStrictly[m][static_cast<std::size_t>(row * size + col)] = 1;
          }
        }
      }
      if (!any) {
        ++layout.unsampled;
        unsampled.push_back(v);
      }
    }
  }
  for (std::size_t texel = 0; texel < texels; ++texel) {
    if (strictly[texel] < 2) continue;
    ++report.overlappedTexels;
    for (std::size_t m = 0; m < meshes.size(); ++m) report.meshes[m].overlapped += meshStrictly[m][texel];
  }
  for (const MeshLayout& mesh : report.meshes) {
    report.triangles += mesh.triangles;
    report.outside += mesh.outside;
    report.zeroArea += mesh.zeroArea;
    report.unsampled += mesh.unsampled;
  }
  report.sizeSamplingAll = size;
  if (!unsampled.empty()) {
    report.sizeSamplingAll = kNoSizeSamplesAll;
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

// Texel-space coordinates at size 16 for the random layouts: whole numbers
// (corners on edges), just off them, anywhere, or very near zero (where the
// side test's products in double lose bits and only the exact sum decides).
// None is nearer to zero than 2^-27 but zero.
float awayFromZero(double texel) {
  const auto rounded = static_cast<float>(texel);
  return std::fabs(rounded) < 0x1p-27f ? 0.0f : rounded;
}

float texelNear(int whole, std::mt19937& random) {
  const int sign = std::uniform_int_distribution<int>(0, 1)(random) != 0 ? 1 : -1;
  switch (std::uniform_int_distribution<int>(0, 5)(random)) {
    case 0:
      return awayFromZero(whole + sign * std::ldexp(1.0, -std::uniform_int_distribution<int>(1, 26)(random)));
    case 1:
      return awayFromZero(whole + std::uniform_real_distribution<double>(-1.0, 1.0)(random));
    case 2:
      return awayFromZero(sign * std::ldexp(std::uniform_real_distribution<double>(1.0, 2.0)(random),
                                            -std::uniform_int_distribution<int>(10, 26)(random)));
    default:
      return static_cast<float>(whole);
  }
}

struct TexelPoint {
  float x, y;
};

// Three corners of a random triangle, in texel space at size 16.
std::array<TexelPoint, 3> randomTriangle(std::mt19937& random) {
  auto whole = [&](int lowest, int highest) { return std::uniform_int_distribution<int>(lowest, highest)(random); };
  std::array<TexelPoint, 3> t{};
  switch (whole(0, 3)) {
    case 0:  // anywhere
      for (TexelPoint& p : t) p = {texelNear(whole(-1, 17), random), texelNear(whole(-1, 17), random)};
      break;
    case 1: {  // small, near a point
      const int x = whole(-1, 17), y = whole(-1, 17);
      for (TexelPoint& p : t) p = {texelNear(x + whole(-2, 2), random), texelNear(y + whole(-2, 2), random)};
      break;
    }
    case 2: {
      // An edge through the corner (dx, dy) or passing it at 2^-50 times its
      // length, from an end near zero: the side test's products in double
      // round by more than that, and only the exact sum decides.
      const int dx = whole(8, 15), dy = whole(8, 15);
      const int m = (512 + std::min(dx, dy) - 1) / std::min(dx, dy);
      const double near = std::ldexp(m, -36);
      const double far = 2.0 + std::ldexp(whole(1, 1 << 17), -18);
      t[0] = {static_cast<float>(dx * near), static_cast<float>(dy * near + std::ldexp(whole(-3, 3), -50))};
      t[1] = {static_cast<float>(dx * far), static_cast<float>(dy * far)};
      t[2] = {texelNear(whole(-1, 17), random), texelNear(whole(-1, 17), random)};
      break;
    }
    default: {  // an edge through (or just by) a grid corner
      const int cx = whole(0, 15), cy = whole(0, 15);
      t[0] = {texelNear(whole(-1, 17), random), texelNear(whole(-1, 17), random)};
      const double beyond = std::uniform_real_distribution<double>(0.1, 1.0)(random);
      t[1] = {awayFromZero(cx + beyond * (cx - double{t[0].x})), awayFromZero(cy + beyond * (cy - double{t[0].y}))};
      t[2] = {texelNear(whole(-1, 17), random), texelNear(whole(-1, 17), random)};
    }
  }
  return t;
}

TEST(LayoutCheck, MatchesAPlainCountOnRandomLayouts) {
  std::mt19937 random(20261207);
  constexpr std::int32_t kLargestSizeTried = 64;
  for (int layout = 0; layout < 400; ++layout) {
    const int meshCount = std::uniform_int_distribution<int>(1, 3)(random);
    std::vector<std::vector<Vertex>> vertices(static_cast<std::size_t>(meshCount));
    std::vector<std::vector<std::uint32_t>> triangles(static_cast<std::size_t>(meshCount));
    std::vector<LayoutMesh> meshes;
    for (int m = 0; m < meshCount; ++m) {
      const int count = std::uniform_int_distribution<int>(1, 6)(random);
      for (int t = 0; t < count; ++t) {
        // Now and then a copy of an earlier triangle: stacked, or the corners
        // the other way round.
        const std::array<TexelPoint, 3> corners = randomTriangle(random);
        const auto& source = vertices[0];
        const bool copy = !source.empty() && std::uniform_int_distribution<int>(0, 3)(random) == 0;
        const bool reversed = std::uniform_int_distribution<int>(0, 1)(random) != 0;
        for (std::size_t k = 0; k < 3; ++k) {
          Vertex vertex{};
          if (copy) {
            vertex = source[source.size() - 3 + (reversed ? 2 - k : k)];
          } else {
            vertex.lightmapU = corners[k].x / 16.0f;
            vertex.lightmapV = corners[k].y / 16.0f;
          }
          triangles[static_cast<std::size_t>(m)].push_back(
              static_cast<std::uint32_t>(vertices[static_cast<std::size_t>(m)].size()));
          vertices[static_cast<std::size_t>(m)].push_back(vertex);
        }
      }
    }
    for (int m = 0; m < meshCount; ++m) {
      meshes.push_back({"m" + std::to_string(m), &vertices[static_cast<std::size_t>(m)],
                        &triangles[static_cast<std::size_t>(m)]});
    }
    for (const std::int32_t size : {16, 12}) {
      const LayoutReport found = checkLayout(meshes, size);
      const LayoutReport expected = countPlainly(meshes, size, kLargestSizeTried);
      SCOPED_TRACE("layout " + std::to_string(layout) + " at size " + std::to_string(size));
      ASSERT_EQ(found.overlappedTexels, expected.overlappedTexels);
      ASSERT_EQ(found.unsampled, expected.unsampled);
      ASSERT_EQ(found.zeroArea, expected.zeroArea);
      ASSERT_EQ(found.outside, expected.outside);
      for (std::size_t m = 0; m < meshes.size(); ++m) {
        ASSERT_EQ(found.meshes[m].overlapped, expected.meshes[m].overlapped) << "mesh " << m;
        ASSERT_EQ(found.meshes[m].unsampled, expected.meshes[m].unsampled) << "mesh " << m;
      }
      if (expected.sizeSamplingAll != kNoSizeSamplesAll) {
        ASSERT_EQ(found.sizeSamplingAll, expected.sizeSamplingAll);
      } else {
        ASSERT_TRUE(found.sizeSamplingAll == kNoSizeSamplesAll || found.sizeSamplingAll > kLargestSizeTried);
      }
    }
  }
}

TEST(LayoutCheck, ReportsAsJsonWithNamesEscaped) {
  LayoutReport report;
  report.size = 64;
  report.triangles = 3;
  report.unsampled = 1;
  report.sizeSamplingAll = kNoSizeSamplesAll;
  report.surfaceArea = 8;
  report.unsampledArea = 2;
  report.meshes.push_back({"a \"quoted\"\\name\n\xff", 3, 0, 0, 1, 0, 8, 2});
  EXPECT_EQ(layoutReportJson(report, "m.obj"),
            "{\n  \"model\": \"m.obj\",\n  \"size\": 64,\n  \"triangles\": 3, \"outside\": 0, \"zeroArea\": 0, "
            "\"unsampled\": 1, \"unsampledAreaShare\": 0.2500, \"overlappedTexels\": 0,\n  \"sizeSamplingAll\": null,\n  \"meshes\": [\n"
            "    {\"name\": \"a \\\"quoted\\\"\\\\name\\u000a\\ufffd\", \"triangles\": 3, \"outside\": 0, "
            "\"zeroArea\": 0, \"unsampled\": 1, \"unsampledAreaShare\": 0.2500, \"overlappedTexels\": 0}\n  ]\n}\n");
}

}  // namespace
}  // namespace lumivex
