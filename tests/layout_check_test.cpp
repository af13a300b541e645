// The layout check against a plain count: every grid corner against every
// triangle, with the side tests done in 128-bit integers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include <lumivex/layout.h>

#include "layout/texel_corners.h"
#include "sampling/rasteriser.h"

namespace lumivex {
namespace {

__extension__ typedef __int128 Int;

// One mesh of a layout under test: records and three indices per triangle.
struct LayoutMesh {
  std::string name;
  const std::vector<Vertex>* vertices = nullptr;
  const std::vector<std::uint32_t>* triangles = nullptr;
};

// What the plain count below finds, in the report's terms.
struct PlainReport {
  std::int32_t size = 0;
  LayoutCounts total;
  std::vector<LayoutCounts> meshes;
  std::int32_t sizeSamplingAll = 0;
};

LayoutReport checkLayoutOf(const std::vector<LayoutMesh>& meshes, std::int32_t size) {
  std::vector<MeshArrays> arrays;
  for (const LayoutMesh& mesh : meshes) {
    MeshArrays a;
    a.vertices = *mesh.vertices;
    a.indices32 = *mesh.triangles;
    arrays.push_back(a);
  }
  LayoutReport report;
  EXPECT_TRUE(checkLayout(arrays, size, report));
  return report;
}

std::array<LightmapPoint, 3> uvsOf(const std::array<const Vertex*, 3>& v) {
  return {LightmapPoint{v[0]->lightmapU, v[0]->lightmapV}, LightmapPoint{v[1]->lightmapU, v[1]->lightmapV},
          LightmapPoint{v[2]->lightmapU, v[2]->lightmapV}};
}

// Texel-space coordinates at `size`, as the sampler forms them, in units of
// 2^-shift: by default 2^-54, exact for every coordinate the random layouts
// make (none is nearer to zero than 2^-31 unless it is zero, none is beyond
// 2^7); products of differences stay within 128 bits while coordinates times
// 2^shift stay below 2^62.
int fixedShift = 54;

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

// Every corner of the window (the whole grid by default) against every
// triangle; all triangles must lie within the window's corners.
struct Window {
  std::int32_t firstCol = 0, firstRow = 0, cols = 0, rows = 0;  // 0: to the grid's end
};

PlainReport countPlainly(const std::vector<LayoutMesh>& meshes, std::int32_t size, std::int32_t largestSizeTried,
                         Window window = {}) {
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
      if (turn == 0 || isDegenerateInLightmap(*v[0], *v[1], *v[2], size)) {
        ++layout.zeroArea;
        continue;
      }
      bool any = false;
      for (std::int32_t row = 0; row < window.rows; ++row) {
        for (std::int32_t col = 0; col < window.cols; ++col) {
          const int w = where(t, turn, window.firstCol + col, window.firstRow + row);
          any = any || w > 0;
          if (w > 0) held[static_cast<std::size_t>(row * window.cols + col)] = 1;
          if (w == 2) {
            ++strictly[static_cast<std::size_t>(row * window.cols + col)];
            meshStrictly[m][static_cast<std::size_t>(row * window.cols + col)] = 1;
          }
        }
      }
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
            vertex.position = {corners[k].x, corners[k].y, std::uniform_real_distribution<float>(-4, 4)(random)};
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
      const LayoutReport found = checkLayoutOf(meshes, size);
      const PlainReport expected = countPlainly(meshes, size, kLargestSizeTried);
      SCOPED_TRACE("layout " + std::to_string(layout) + " at size " + std::to_string(size));
      ASSERT_EQ(found.total.overlappedTexels, expected.total.overlappedTexels);
      ASSERT_EQ(found.total.coveredTexels, expected.total.coveredTexels);
      ASSERT_EQ(found.total.unsampled, expected.total.unsampled);
      ASSERT_EQ(found.total.zeroArea, expected.total.zeroArea);
      ASSERT_EQ(found.total.outside, expected.total.outside);
      // The surface, and the share of it that gets no sample, to rounding.
      const double surface = expected.total.surfaceArea;
      ASSERT_NEAR(found.total.surfaceArea, surface, 1e-9 * (1 + surface));
      ASSERT_NEAR(found.total.unsampledArea, expected.total.unsampledArea, 1e-9 * (1 + surface));
      for (std::size_t m = 0; m < meshes.size(); ++m) {
        ASSERT_EQ(found.meshes[m].overlappedTexels, expected.meshes[m].overlappedTexels) << "mesh " << m;
        ASSERT_EQ(found.meshes[m].unsampled, expected.meshes[m].unsampled) << "mesh " << m;
        ASSERT_NEAR(found.meshes[m].unsampledArea, expected.meshes[m].unsampledArea, 1e-9 * (1 + surface));
      }
      if (expected.sizeSamplingAll != 0) {
        ASSERT_EQ(found.sizeSamplingAll, expected.sizeSamplingAll);
      } else {
        ASSERT_TRUE(found.sizeSamplingAll == 0 || found.sizeSamplingAll > kLargestSizeTried);
      }
    }
  }
}

// Above 4096 the check works a band of rows at a time (2048 rows at 8192):
// triangles across the bands' edges, overlapping there, are counted once,
// as a plain count of the corners around them says.
TEST(LayoutCheck, BandEdgesAtTheLargeSizesCountEachTexelOnce) {
  constexpr std::int32_t kSize = 8192;
  fixedShift = 40;  // corners here are multiples of 2^-6 texels, up to 2^13
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> triangles;
  auto add = [&](std::array<std::array<double, 2>, 3> texels) {
    for (const auto& [x, y] : texels) {
      Vertex vertex{};
      vertex.lightmapU = static_cast<float>(x / kSize);
      vertex.lightmapV = static_cast<float>(y / kSize);
      vertex.position = {static_cast<float>(x), static_cast<float>(y), 0};
      triangles.push_back(static_cast<std::uint32_t>(vertices.size()));
      vertices.push_back(vertex);
    }
  };
  for (const double edge : {2048.0, 4096.0}) {
    add({{{100.25, edge - 9.5}, {130.5, edge - 0.75}, {110.0, edge + 12.125}}});  // across the edge
    add({{{104.0, edge + 6.0}, {126.0, edge - 5.0}, {120.5, edge + 9.0}}});       // over the first
    add({{{101.0, edge - 1.0}, {139.0, edge - 1.0}, {120.0, edge + 1.0}}});       // whole rows on both sides
    add({{{135.25, edge - 0.5}, {135.75, edge - 0.5}, {135.5, edge - 0.25}}});    // holds no corner
  }
  const std::vector<LayoutMesh> meshes = {{"bands", &vertices, &triangles}};
  const LayoutReport found = checkLayoutOf(meshes, kSize);
  const PlainReport expected = countPlainly(meshes, kSize, 0, {100, 2030, 41, 2080});
  fixedShift = 54;
  EXPECT_GT(expected.total.overlappedTexels, 100u);
  EXPECT_EQ(found.total.overlappedTexels, expected.total.overlappedTexels);
  EXPECT_EQ(found.total.coveredTexels, expected.total.coveredTexels);
  EXPECT_EQ(found.meshes[0].overlappedTexels, expected.meshes[0].overlappedTexels);
  EXPECT_EQ(found.total.unsampled, expected.total.unsampled);
  EXPECT_EQ(found.total.unsampled, 2u);
}

// A non-finite lightmap coordinate in any corner: the sampler skips the
// triangle, and so does every exact test here (nothing reaches a conversion
// to an integer; the sanitizer build would say so).
TEST(LayoutCheck, NonFiniteCoordinatesInAnyCornerAreSkippedEverywhere) {
  const float values[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()};
  for (std::size_t corner = 0; corner < 3; ++corner) {
    for (const bool inV : {false, true}) {
      for (const float value : values) {
        std::vector<Vertex> vertices(3);
        const float texels[3][2] = {{0.1f, 0.1f}, {0.9f, 0.2f}, {0.3f, 0.8f}};
        for (std::size_t k = 0; k < 3; ++k) {
          vertices[k].lightmapU = texels[k][0];
          vertices[k].lightmapV = texels[k][1];
          vertices[k].normal = {0, 0, 1};
        }
        (inV ? vertices[corner].lightmapV : vertices[corner].lightmapU) = value;
        SCOPED_TRACE(::testing::Message() << "corner " << corner << (inV ? " v " : " u ") << value);
        const std::array<const Vertex*, 3> v = {&vertices[0], &vertices[1], &vertices[2]};
        for (const std::int32_t size : {16, 4096}) {
          EXPECT_FALSE(coversTexelCorner(uvsOf(v), size));
          EXPECT_EQ(exactTurn(texelCorners(uvsOf(v), size)), 0);
        }
        const std::vector<std::uint32_t> triangle = {0, 1, 2};
        const LayoutReport report = checkLayoutOf({{"m", &vertices, &triangle}}, 16);
        EXPECT_EQ(report.total.zeroArea, 1u);
        EXPECT_EQ(report.total.outside, 1u);
        EXPECT_EQ(report.total.unsampled, 0u);
        SampleGrid grid;
        MeshArrays mesh;
        mesh.vertices = vertices;
        mesh.indices32 = triangle;
        ASSERT_TRUE(sampleMesh(mesh, 16, grid));
        for (std::int32_t row = 0; row < 16; ++row) {
          for (std::int32_t col = 0; col < 16; ++col) EXPECT_FALSE(grid.covered(col, row));
        }
      }
    }
  }
}


}  // namespace
}  // namespace lumivex
