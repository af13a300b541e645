// The layout check against a plain count: every grid corner against every
// triangle, with the side tests done in 128-bit integers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include <lumivex/layout.h>

#include "layout/texel_corners.h"
#include "math/orientation.h"
#include "sampling/rasteriser.h"
#include "support/plain_layout_count.h"

namespace lumivex {
namespace {

__extension__ typedef __int128 Int;

using testing::countPlainly;
using testing::fixedShift;
using testing::LayoutMesh;
using testing::PlainReport;
using testing::Window;

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

// The orientation of points whose coordinates are floats, against the sign
// of the same determinant in 128-bit integers, on points in a line or a
// rounding error off it (where the quick estimate cannot decide).
TEST(Orientation, MatchesAnExactDeterminantOnNearlyCollinearPoints) {
  std::mt19937 random(99);
  std::uniform_real_distribution<float> anywhere(1.0f, 120.0f);
  std::uniform_int_distribution<int> eighths(8, 900), step(-40, 40), nudge(-3, 3);
  std::uniform_real_distribution<double> along(-1.0, 2.0);
  const double halves[] = {-1.0, 0.5, 1.5, 2.0};
  const auto fixed = [](float v) { return static_cast<Int>(static_cast<std::int64_t>(std::ldexp(double{v}, 40))); };
  std::size_t collinear = 0;
  for (int trial = 0; trial < 200000; ++trial) {
    // Half the points on a lattice, where the line's points are exact floats.
    const bool lattice = trial % 2 == 0;
    const Point2 a = lattice ? Point2{eighths(random) / 8.0, eighths(random) / 8.0} : Point2{anywhere(random), anywhere(random)};
    const Point2 b = lattice ? Point2{a.x + step(random) / 8.0, a.y + step(random) / 8.0}
                             : Point2{anywhere(random), anywhere(random)};
    const double t = lattice ? halves[trial / 2 % 4] : along(random);
    float px = static_cast<float>(a.x + t * (b.x - a.x)), py = static_cast<float>(a.y + t * (b.y - a.y));
    for (int k = nudge(random); k != 0; k += k > 0 ? -1 : 1) px = std::nextafter(px, k > 0 ? 200.0f : 0.0f);
    if (px < 1.0f || py < 1.0f) continue;
    const Point2 p = {px, py};
    const Int d = (fixed(static_cast<float>(a.x)) - fixed(px)) * (fixed(static_cast<float>(b.y)) - fixed(py)) -
                  (fixed(static_cast<float>(a.y)) - fixed(py)) * (fixed(static_cast<float>(b.x)) - fixed(px));
    const int expected = d > 0 ? 1 : d < 0 ? -1 : 0;
    collinear += expected == 0 ? 1 : 0;
    ASSERT_EQ(orientation(a, b, p), expected) << trial;
  }
  EXPECT_GT(collinear, 100u) << "points exactly in a line were tried";
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
