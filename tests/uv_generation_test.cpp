// Generated lightmap layouts judged three ways: by the layout check, by a
// plain count of every texel corner in 128-bit integers, and by the sampler
// itself. Named meshes built here get layouts with no overlap, nothing outside
// [0, 1], every face sampled, and the padding kept between charts and from
// the border, at every padding, the same for any number of threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <mutex>
#include <tuple>

#include <lumivex/layout.h>

#include <random>
#include <set>

#include "sampling/rasteriser.h"
#include "sampling/mesh_arrays.h"
#include "support/plain_layout_count.h"
#include "uv/chart_shapes.h"
#include "uv/charts.h"
#include "uv/faces.h"
#include "uv/packing.h"
#include "uv/small_charts.h"

namespace lumivex {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A mesh as records (positions, and lightmap UVs once laid out) and three
// vertex numbers per triangle.
struct TestMesh {
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> triangles;
  MeshArrays arrays() const {
    MeshArrays a;
    a.vertices = vertices;
    a.indices32 = triangles;
    return a;
  }
};

// Lays out the meshes and gives each its new vertices; the result of the call.
Result layOut(std::vector<TestMesh*> meshes, const LayoutOptions& options, GeneratedLayout& layout,
              const std::vector<const TestMesh*>& kept = {}) {
  std::vector<MeshArrays> arrays, keptArrays;
  for (const TestMesh* mesh : meshes) arrays.push_back(mesh->arrays());
  for (const TestMesh* mesh : kept) keptArrays.push_back(mesh->arrays());
  const Result result = generateLightmapUvs(arrays, options, layout, keptArrays);
  if (!result) return result;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    const MeshLayout& made = layout.meshes[m];
    std::vector<Vertex> vertices(made.xref.size());
    for (std::size_t v = 0; v < vertices.size(); ++v) {
      vertices[v] = meshes[m]->vertices[made.xref[v]];
      vertices[v].lightmapU = made.lightmapUvs[2 * v];
      vertices[v].lightmapV = made.lightmapUvs[2 * v + 1];
    }
    meshes[m]->vertices = std::move(vertices);
    meshes[m]->triangles = made.triangles;
  }
  return result;
}

LayoutReport checked(const std::vector<const TestMesh*>& meshes, std::int32_t size) {
  std::vector<MeshArrays> arrays;
  for (const TestMesh* mesh : meshes) arrays.push_back(mesh->arrays());
  LayoutReport report;
  EXPECT_TRUE(checkLayout(arrays, size, report));
  return report;
}

struct MeshBuilder {
  TestMesh mesh;
  std::uint32_t vertex(double x, double y, double z) {
    Vertex v{};
    v.position = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
    mesh.vertices.push_back(v);
    return static_cast<std::uint32_t>(mesh.vertices.size() - 1);
  }
  void triangle(std::uint32_t a, std::uint32_t b, std::uint32_t c) { mesh.triangles.insert(mesh.triangles.end(), {a, b, c}); }
  void quad(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) { triangle(a, b, c), triangle(a, c, d); }
};

// A grid of quads over (s, t) in [0, 1]^2 mapped through `at`; rows of
// `columns` vertices, closed around in s when `wrap`.
TestMesh grid(int columns, int rows, bool wrap, const std::function<std::array<double, 3>(double, double)>& at) {
  MeshBuilder b;
  const int across = wrap ? columns : columns + 1;
  for (int j = 0; j <= rows; ++j) {
    for (int i = 0; i < across; ++i) {
      const auto p = at(static_cast<double>(i) / columns, static_cast<double>(j) / rows);
      b.vertex(p[0], p[1], p[2]);
    }
  }
  for (int j = 0; j < rows; ++j) {
    for (int i = 0; i < columns; ++i) {
      auto index = [&](int x, int y) { return static_cast<std::uint32_t>(y * across + (wrap ? x % columns : x)); };
      b.quad(index(i, j), index(i + 1, j), index(i + 1, j + 1), index(i, j + 1));
    }
  }
  return b.mesh;
}

TestMesh cube() {
  MeshBuilder b;
  for (int k = 0; k < 8; ++k) b.vertex(k & 1, (k >> 1) & 1, (k >> 2) & 1);
  b.quad(0, 2, 3, 1), b.quad(4, 5, 7, 6), b.quad(0, 1, 5, 4), b.quad(2, 6, 7, 3), b.quad(0, 4, 6, 2), b.quad(1, 3, 7, 5);
  return b.mesh;
}

TestMesh cylinder() {
  return grid(24, 6, true, [](double s, double t) {
    return std::array<double, 3>{std::cos(2 * kPi * s), std::sin(2 * kPi * s), 3 * t};
  });
}

TestMesh sphere() {
  return grid(24, 12, true, [](double s, double t) {
    const double polar = kPi * (0.02 + 0.96 * t);  // no pole points: rings all round
    return std::array<double, 3>{std::sin(polar) * std::cos(2 * kPi * s), std::sin(polar) * std::sin(2 * kPi * s),
                                 std::cos(polar)};
  });
}

// A flat ring, a fifth of its radius wide: one chart leaves most of its
// square empty, in the hole.
TestMesh flatRing() {
  return grid(48, 2, true, [](double s, double t) {
    const double radius = 1 - 0.2 * t;
    return std::array<double, 3>{radius * std::cos(2 * kPi * s), radius * std::sin(2 * kPi * s), 0};
  });
}

// A roof: two slopes meeting at a ridge, each the mirror image of the other.
TestMesh mirroredHalves() {
  return grid(8, 4, false, [](double s, double t) { return std::array<double, 3>{2 * s - 1, 2 * t, 1 - std::fabs(2 * s - 1)}; });
}

// A strip with repeated corners and three points in a line among its faces.
TestMesh withDegenerateFaces() {
  TestMesh mesh = grid(4, 2, false, [](double s, double t) { return std::array<double, 3>{s, t, 0}; });
  mesh.triangles.insert(mesh.triangles.end(), {0, 0, 1, 0, 1, 2, 5, 5, 5});
  return mesh;
}

TestMesh longThinStrip() {
  return grid(40, 1, false, [](double s, double t) { return std::array<double, 3>{40 * s, 0.5 * t, 0}; });
}

// The sides of a finely divided tube: faces a fifth of a texel across and
// tens of texels long, which miss every texel corner when laid along a row.
TestMesh finelyDividedTube() {
  return grid(256, 1, true, [](double s, double t) {
    return std::array<double, 3>{60 * t, 3 * std::cos(2 * kPi * s), 3 * std::sin(2 * kPi * s)};
  });
}

// A chart under two texels across: a cube with a far smaller triangle apart.
TestMesh cubeAndSpeck() {
  TestMesh mesh = cube();
  MeshBuilder speck;
  speck.mesh = mesh;
  speck.triangle(speck.vertex(3, 3, 3), speck.vertex(3.002, 3, 3), speck.vertex(3, 3.002, 3));
  return speck.mesh;
}

// A plane with a cluster of points inside and one on its border: faces far
// under a texel, whose inner and outline vertices are moved onto corners.
TestMesh clusteredPoints() {
  MeshBuilder b;
  const int n = 6;
  for (int j = 0; j <= n; ++j) {
    for (int i = 0; i <= n; ++i) {
      // Column 3 of rows 2 and 3, and row 0 at column 5, crowd their neighbours.
      double x = i, y = j;
      if (i == 3 && (j == 2 || j == 3)) x = 2.02, y = j - 0.01 * (j - 2);
      if (j == 0 && i == 5) x = 4.03;
      b.vertex(x, y, 0);
    }
  }
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      const auto at = [&](int x, int y) { return static_cast<std::uint32_t>(y * (n + 1) + x); };
      b.quad(at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1));
    }
  }
  return b.mesh;
}

// A fan of slivers, each tens of times longer than wide, beside a large
// face: the chart's first face, its cells far larger than the slivers.
TestMesh sliverFan() {
  MeshBuilder b;
  const std::uint32_t centre = b.vertex(0, 0, 0);
  std::uint32_t previous = b.vertex(100, 0, 0);
  for (int k = 1; k <= 40; ++k) {
    const double angle = 0.02 * k;
    const std::uint32_t next = b.vertex(100 * std::cos(angle), 100 * std::sin(angle), 0);
    b.triangle(centre, previous, next);
    previous = next;
  }
  b.triangle(centre, b.vertex(0, -150, 0), b.vertex(150, -150, 0));
  b.triangle(centre, b.vertex(150, -150, 0), b.vertex(100, 0, 0));
  return b.mesh;
}

// A tube whose faces come out half a texel to a texel across and many
// texels long: they miss corners together unless the chart climbs.
TestMesh halfTexelTube() {
  return grid(48, 1, true, [](double s, double t) {
    return std::array<double, 3>{40 * t, 1.5 * std::cos(2 * kPi * s), 1.5 * std::sin(2 * kPi * s)};
  });
}

// Random height fields: bumps of every size on a grid of n x n quads.
TestMesh heightField(std::uint32_t seed, int n) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> bump(-0.4, 0.4);
  std::vector<double> heights(static_cast<std::size_t>((n + 1) * (n + 1)));
  for (double& h : heights) h = bump(random);
  return grid(n, n, false, [&](double s, double t) {
    const auto i = static_cast<std::size_t>(std::lround(n * s)), j = static_cast<std::size_t>(std::lround(n * t));
    return std::array<double, 3>{4 * s, 4 * t, heights[j * static_cast<std::size_t>(n + 1) + i]};
  });
}

struct GenerationCase {
  const char* label;
  std::function<TestMesh()> make;
  std::size_t zeroArea;  // faces of no area in the model
  double leastCoverage = 0.3;  // of the square, by the charts
  std::size_t leastSnapped = 0;  // vertices moved onto texel corners
  bool fine = false;  // every face is sampled at small odd sizes too
};

void PrintTo(const GenerationCase& c, std::ostream* os) { *os << c.label; }

// The faces of each chart: faces sharing a lightmap point.
std::vector<int> chartOfFaces(const TestMesh& mesh) {
  std::vector<int> parent(mesh.triangles.size() / 3);
  for (std::size_t f = 0; f < parent.size(); ++f) parent[f] = static_cast<int>(f);
  std::function<int(int)> root = [&](int f) { return parent[static_cast<std::size_t>(f)] == f ? f : parent[static_cast<std::size_t>(f)] = root(parent[static_cast<std::size_t>(f)]); };
  std::map<std::pair<float, float>, int> faceAt;
  for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
    const Vertex& v = mesh.vertices[mesh.triangles[i]];
    const auto [at, added] = faceAt.try_emplace({v.lightmapU, v.lightmapV}, static_cast<int>(i / 3));
    if (!added) parent[static_cast<std::size_t>(root(static_cast<int>(i / 3)))] = root(at->second);
  }
  std::vector<int> chart(parent.size());
  for (std::size_t f = 0; f < parent.size(); ++f) chart[f] = root(static_cast<int>(f));
  return chart;
}

double segmentDistance(std::array<double, 2> p, std::array<double, 2> a, std::array<double, 2> b) {
  const double dx = b[0] - a[0], dy = b[1] - a[1];
  const double length2 = dx * dx + dy * dy;
  const double t = length2 > 0 ? std::clamp(((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / length2, 0.0, 1.0) : 0.0;
  return std::hypot(p[0] - a[0] - t * dx, p[1] - a[1] - t * dy);
}

// The smallest gap, in texels, between faces of different charts (charts a
// padding apart never cross, so corner-to-edge distances give it).
double smallestGapBetweenCharts(const TestMesh& mesh, std::int32_t size) {
  const std::vector<int> chart = chartOfFaces(mesh);
  auto corner = [&](std::size_t f, std::size_t k) {
    const Vertex& v = mesh.vertices[mesh.triangles[3 * f + k]];
    return std::array<double, 2>{double{v.lightmapU} * size, double{v.lightmapV} * size};
  };
  double gap = INFINITY;
  for (std::size_t f = 0; f < chart.size(); ++f) {
    for (std::size_t g = 0; g < chart.size(); ++g) {
      if (chart[f] == chart[g]) continue;
      for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t e = 0; e < 3; ++e) gap = std::min(gap, segmentDistance(corner(f, k), corner(g, e), corner(g, (e + 1) % 3)));
      }
    }
  }
  return gap;
}

class GeneratedLayouts : public ::testing::TestWithParam<GenerationCase> {};

// Every face the plain count finds a corner in gets one from the sampler's
// own test, and no other face does.
void expectTheSamplerAgrees(const TestMesh& mesh, const std::vector<char>& holdsCorner, std::int32_t size) {
  for (std::size_t t = 0; t < holdsCorner.size(); ++t) {
    const Vertex* v[3] = {&mesh.vertices[mesh.triangles[3 * t]], &mesh.vertices[mesh.triangles[3 * t + 1]],
                          &mesh.vertices[mesh.triangles[3 * t + 2]]};
    bool visited = false;
    forEachCoveredTexel(*v[0], *v[1], *v[2], size, [&](std::int32_t, std::int32_t) { visited = true; });
    EXPECT_EQ(visited, holdsCorner[t] != 0) << "face " << t;
  }
}

TEST_P(GeneratedLayouts, PassTheLayoutCheckWithThePaddingKept) {
  const GenerationCase& c = GetParam();
  std::vector<std::pair<std::int32_t, std::int32_t>> runs = {{128, 0}, {200, 2}, {128, 1}, {200, 5}};
  if (c.fine) runs.insert(runs.end(), {{41, 1}, {97, 2}});
  for (const auto& [size, padding] : runs) {
    SCOPED_TRACE("size " + std::to_string(size) + ", padding " + std::to_string(padding));
    TestMesh mesh = c.make();
    const std::size_t faces = mesh.triangles.size() / 3;
    LayoutOptions options;
    options.size = size;
    options.padding = padding;
    GeneratedLayout result;
    ASSERT_TRUE(layOut({&mesh}, options, result));
    ASSERT_EQ(mesh.triangles.size(), 3 * faces);

    const LayoutReport report = checked({&mesh}, size);
    EXPECT_EQ(report.total.overlappedTexels, 0u);
    EXPECT_EQ(report.total.outside, 0u);
    EXPECT_EQ(report.total.zeroArea, c.zeroArea);
    EXPECT_EQ(report.total.unsampled, 0u);
    EXPECT_EQ(result.unsampledTriangles, report.total.unsampled);
    // The plain count agrees, and the sampler with it (coordinates from the
    // padding up are exact in the plain count's fixed point).
    if (padding > 0) {
      testing::fixedShift = 40;
      const testing::PlainReport plain = testing::countPlainly({{"m", &mesh.vertices, &mesh.triangles}}, size, size);
      testing::fixedShift = 54;
      EXPECT_EQ(plain.total.overlappedTexels, 0u);
      EXPECT_EQ(plain.total.unsampled, 0u);
      EXPECT_EQ(plain.total.coveredTexels, report.total.coveredTexels);
      expectTheSamplerAgrees(mesh, plain.holdsCorner[0], size);
    }
    // Nothing within the padding of the border, nor of another chart.
    for (const Vertex& v : mesh.vertices) {
      EXPECT_GE(v.lightmapU * size, padding - 1e-4f);
      EXPECT_LE(v.lightmapU * size, size - padding + 1e-4f);
      EXPECT_GE(v.lightmapV * size, padding - 1e-4f);
      EXPECT_LE(v.lightmapV * size, size - padding + 1e-4f);
    }
    EXPECT_GE(smallestGapBetweenCharts(mesh, size), padding - 1e-3);
    // The charts fill the square reasonably.
    if (size >= 128 && padding <= 2) {
      EXPECT_GT(result.coveredShare, c.leastCoverage) << result.charts << " charts";
    }
    EXPECT_GE(result.snappedVertices, c.leastSnapped);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GeneratedLayouts,
    ::testing::Values(GenerationCase{"Cube", cube, 0, 0.3, 0, true}, GenerationCase{"Cylinder", cylinder, 0},
                      GenerationCase{"Sphere", sphere, 0}, GenerationCase{"FlatRing", flatRing, 0, 0.45},
                      GenerationCase{"MirroredHalves", mirroredHalves, 0},
                      GenerationCase{"DegenerateFaces", withDegenerateFaces, 3},
                      GenerationCase{"LongThinStrip", longThinStrip, 0},
                      GenerationCase{"FinelyDividedTube", finelyDividedTube, 0, 0.2},
                      GenerationCase{"CubeAndSpeck", cubeAndSpeck, 0, 0.3, 0, true},
                      GenerationCase{"ClusteredPoints", clusteredPoints, 0, 0.3, 1},
                      GenerationCase{"SliverFan", sliverFan, 0, 0.2},
                      GenerationCase{"HalfTexelTube", halfTexelTube, 0, 0.15},
                      GenerationCase{"HeightField", [] { return heightField(1, 8); }, 0, 0.3, 0, true},
                      GenerationCase{"FinerHeightField", [] { return heightField(2, 16); }, 0}),
    [](const auto& info) { return std::string(info.param.label); });

// A tube or a cone rolls out along its edges into one chart (but for the
// column of faces at its seam), each face keeping its shape: every side of
// the chart at one density, within the 2 % a face may stretch each way. Laid
// flat on a plane instead, a chart takes at most a third of the tube, and
// its faces at the side shrink to half their width. At a density the caller
// fixes: left to find its own, a lone tube is laid flat, its thirds covering
// more of the square than one strip twice as long as wide.
TEST(GeneratedLayouts, TubesAndConesRollOutWholeKeepingTheirSides) {
  const std::pair<const char*, std::function<TestMesh()>> cases[] = {
      {"tube", cylinder},
      {"cone", [] {
         return grid(24, 6, true, [](double s, double t) {
           const double radius = 1 - 0.6 * t;
           return std::array<double, 3>{radius * std::cos(2 * kPi * s), radius * std::sin(2 * kPi * s), 2 * t};
         });
       }},
  };
  for (const auto& [label, make] : cases) {
    SCOPED_TRACE(label);
    TestMesh mesh = make();
    GeneratedLayout result;
    LayoutOptions options;
    options.texelsPerUnit = 40;  // the tube 250 texels round, 120 long
    ASSERT_TRUE(layOut({&mesh}, options, result));
    const std::vector<std::uint32_t>& chartOf = result.meshes[0].chartIds;
    std::map<std::uint32_t, std::size_t> facesIn;
    for (const std::uint32_t c : chartOf) ++facesIn[c];
    const auto largest = std::max_element(facesIn.begin(), facesIn.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_GE(largest->second, chartOf.size() * 3 / 4) << result.charts << " charts";
    double least = INFINITY, most = 0;  // texels per unit along each side
    for (std::size_t f = 0; f < chartOf.size(); ++f) {
      if (chartOf[f] != largest->first) continue;
      for (std::size_t k = 0; k < 3; ++k) {
        const Vertex& a = mesh.vertices[mesh.triangles[3 * f + k]];
        const Vertex& b = mesh.vertices[mesh.triangles[3 * f + (k + 1) % 3]];
        const double texels = 512.0 * std::hypot(b.lightmapU - a.lightmapU, b.lightmapV - a.lightmapV);
        const double units = std::hypot(b.position.x - a.position.x, b.position.y - a.position.y, b.position.z - a.position.z);
        least = std::min(least, texels / units), most = std::max(most, texels / units);
      }
    }
    EXPECT_LE(most / least, 1.045);
  }
}

// At a density the caller fixes, a tube rolled out whole (6.3 units round,
// 132 texels at 21 per unit) is longer than the square leaves (124): laid
// flat in three charts it fits, and the layout says so instead of refusing.
// A finely divided tube with its two caps: rolled out whole, its side is one
// chart three times as long as wide, which leaves much of the square empty;
// laid flat, its thirds fit around the caps and cover more.
TEST(GeneratedLayouts, ACappedTubeIsLaidFlatWhereThatCoversMore) {
  TestMesh mesh = grid(256, 1, true, [](double s, double t) {
    return std::array<double, 3>{std::cos(2 * kPi * s), std::sin(2 * kPi * s), 2 * t - 1};
  });
  MeshBuilder caps;
  caps.mesh = mesh;
  const std::uint32_t bottom = caps.vertex(0, 0, -1), top = caps.vertex(0, 0, 1);
  for (std::uint32_t i = 0; i < 256; ++i) {
    caps.triangle(bottom, (i + 1) % 256, i);
    caps.triangle(top, 256 + i, 256 + (i + 1) % 256);
  }
  mesh = caps.mesh;
  GeneratedLayout result;
  ASSERT_TRUE(layOut({&mesh}, LayoutOptions{}, result));
  // Rolled out: 0.47 of the square in 4 charts; laid flat: 0.72 in 6.
  EXPECT_GT(result.coveredShare, 0.6) << result.charts << " charts";
}

// Ways of laying out beyond the lowest place and the first cuts: separate
// faces (twelve tall tetrahedra, no corner shared) nested against each
// other and the edges (0.687 of the square; each at the lowest place
// 0.642); a sphere of 32 x 16 quads whose caps fill over 0.8 of their
// hulls cut where they fill under 0.85 or 0.9 (0.741 in 19 charts; cut
// below 0.8 only, 0.687 in 9); a long quad kept whole, as its two
// triangles are each as long as it (0.109; cut into them it would take two
// charts of the same length), and a strip of 16 such quads cut across its
// length into four (0.953).
TEST(GeneratedLayouts, ChartsNestedCutOrKeptWholeCoverMore) {
  MeshBuilder tetrahedra;
  const std::array<std::array<double, 3>, 4> corners = {{{0, -0.5, 0}, {0, 0.5, 0}, {1.5, 0, 0}, {0.5, 0, 4}}};
  for (int copy = 0; copy < 12; ++copy) {
    for (const auto& side : {std::array{0, 1, 2}, std::array{0, 3, 1}, std::array{1, 3, 2}, std::array{0, 2, 3}}) {
      std::array<std::uint32_t, 3> corner{};
      for (std::size_t k = 0; k < 3; ++k) {
        const auto& p = corners[static_cast<std::size_t>(side[k])];
        corner[k] = tetrahedra.vertex(p[0] + 10.0 * copy, p[1], p[2]);
      }
      tetrahedra.triangle(corner[0], corner[1], corner[2]);
    }
  }
  TestMesh sphere = grid(32, 16, true, [](double s, double t) {
    const double polar = kPi * (0.02 + 0.96 * t);
    return std::array<double, 3>{std::sin(polar) * std::cos(2 * kPi * s), std::sin(polar) * std::sin(2 * kPi * s),
                                 std::cos(polar)};
  });
  const auto strip = [](int quads) {
    return grid(quads, 1, false, [](double s, double t) { return std::array<double, 3>{16 * s, t, 0}; });
  };
  TestMesh longQuad = strip(1), longStrip = strip(16);
  // Per case: the charts expected (0: any) and the least share covered.
  const std::tuple<const char*, TestMesh*, std::size_t, double> cases[] = {{"tetrahedra", &tetrahedra.mesh, 48, 0.665},
                                                                           {"sphere", &sphere, 0, 0.72},
                                                                           {"long quad", &longQuad, 1, 0.1},
                                                                           {"strip of quads", &longStrip, 4, 0.9}};
  for (const auto& [label, mesh, charts, least] : cases) {
    GeneratedLayout result;
    ASSERT_TRUE(layOut({mesh}, LayoutOptions{}, result)) << label;
    if (charts > 0) {
      EXPECT_EQ(result.charts, charts) << label;
    }
    EXPECT_GT(result.coveredShare, least) << label << ", " << result.charts << " charts";
  }
}

// The charts grown on the mesh's faces, all laid flat on planes, at an
// expected density of `density` texels per unit.
uv::Charts grownFlat(const TestMesh& mesh, double density) {
  const MeshArrays arrays = mesh.arrays();
  std::vector<SampledMesh> sampled;
  EXPECT_TRUE(describeMeshes({&arrays, 1}, sampled, {false, false}));
  return uv::growCharts(uv::collectFaces(sampled, 1), 60, {density, false}, nullptr);
}

TEST(ChartShapes, HollowChartsAreCutIntoPiecesThatFillTheirHullsOrAreSmall) {
  // A flat ring at 128 texels per unit: 16 arcs as cut, where neighbours
  // across the first cuts fill their hull together and join again.
  constexpr double kFill = 0.8, kPadding = 2, kDensity = 128;
  const uv::Charts grown = grownFlat(flatRing(), kDensity);
  ASSERT_EQ(grown.faceStart.size(), 2u);
  // Pieces are not cut below 16 paddings (and a texel) across: twice the
  // area of that square, as hull areas are doubled.
  const double smallest = 2 * std::pow(16 * (kPadding + 1) / kDensity, 2);
  const uv::Charts asCut = uv::splitHollowCharts(grown, kDensity, kPadding, kFill);
  const uv::Charts joined = uv::rejoinFilledNeighbours(grown, asCut, kFill);
  ASSERT_FALSE(asCut.faceStart.empty());
  ASSERT_FALSE(joined.faceStart.empty());
  EXPECT_LT(joined.faceStart.size(), asCut.faceStart.size());
  for (const uv::Charts* cut : {&asCut, &joined}) {
    SCOPED_TRACE(cut == &joined ? "joined again" : "as cut");
    std::vector<int> seen(grown.faces.size(), 0);
    for (std::size_t c = 0; c + 1 < cut->faceStart.size(); ++c) {
      std::vector<uv::Vec2> corners;
      double area = 0;
      for (std::uint32_t i = cut->faceStart[c]; i < cut->faceStart[c + 1]; ++i) {
        const std::uint32_t f = cut->faces[i];
        ++seen[f];
        const uv::Triangle2& t = cut->flat[f];
        corners.insert(corners.end(), t.begin(), t.end());
        area += std::abs(uv::cross2(t[0], t[1], t[2]));
      }
      const double hull = uv::doubledArea(uv::convexHull(corners));
      EXPECT_NEAR(uv::doubledArea(cut->hulls[c]), hull, 1e-9 * hull) << "piece " << c;
      EXPECT_TRUE(area >= kFill * hull || hull < smallest) << "piece " << c << " fills " << area / hull;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(seen.size()));
  }
}

// A unit cube (or none) and `count` boxes 1/500 to 3/500 of its size
// apart, each side of a box at right angles to the next.
TestMesh cubeAndSmallBoxes(int count, bool withCube = true) {
  MeshBuilder b;
  if (withCube) b.mesh = cube();
  for (int box = 0; box < count; ++box) {
    const double at = 3 + 2 * box, side = 0.002 * (1 + box % 3);
    const auto first = static_cast<std::uint32_t>(b.mesh.vertices.size());
    for (int k = 0; k < 8; ++k) b.vertex(at + side * (k & 1), 3 + side * ((k >> 1) & 1), at + side * ((k >> 2) & 1));
    const auto q = [&](std::uint32_t i, std::uint32_t j, std::uint32_t k, std::uint32_t l) {
      b.quad(first + i, first + j, first + k, first + l);
    };
    q(0, 2, 3, 1), q(4, 5, 7, 6), q(0, 1, 5, 4), q(2, 6, 7, 3), q(0, 4, 6, 2), q(1, 3, 7, 5);
  }
  return b.mesh;
}

// A mesh's faces, the charts grown on them laid flat at `density` texels
// per unit, and those charts with the small ones joined.
struct JoinedGrowth {
  uv::Faces faces;
  uv::Charts grown, fewer;
  uv::JoinedCharts joined;
};

JoinedGrowth joinedGrowth(const TestMesh& mesh, const std::vector<std::size_t>& firstFace, double density) {
  const MeshArrays arrays = mesh.arrays();
  std::vector<SampledMesh> sampled;
  EXPECT_TRUE(describeMeshes({&arrays, 1}, sampled, {false, false}));
  JoinedGrowth out{uv::collectFaces(sampled, 1), {}, {}, {}};
  out.grown = uv::growCharts(out.faces, 60, {density, false}, nullptr);
  out.fewer = uv::joinSmallCharts(out.faces, firstFace, out.grown, density, 2, out.joined);
  return out;
}

// Every face turned its chart's way and clear of the chart's others, and
// two faces of a chart along an edge of the model either meet along it
// exactly (the same corners, to the bit) or lie apart (a seam).
void expectSoundCharts(const uv::Faces& faces, const uv::Charts& charts) {
  for (std::size_t c = 0; c + 1 < charts.faceStart.size(); ++c) {
    for (std::uint32_t i = charts.faceStart[c]; i < charts.faceStart[c + 1]; ++i) {
      const std::uint32_t f = charts.faces[i];
      const uv::Triangle2& t = charts.flat[f];
      EXPECT_EQ(charts.chartOf[f], static_cast<std::int32_t>(c));
      EXPECT_GT(uv::cross2(t[0], t[1], t[2]), 0);
      for (std::uint32_t j = charts.faceStart[c]; j < i; ++j) {
        const std::uint32_t g = charts.faces[j];
        EXPECT_FALSE(uv::interiorsOverlap(t, charts.flat[g], 1e-9)) << "chart " << c;
        for (std::size_t k = 0; k < 3; ++k) {
          for (std::size_t l = 0; l < 3; ++l) {
            if (faces.corners[f][k] != faces.corners[g][(l + 1) % 3] ||
                faces.corners[f][(k + 1) % 3] != faces.corners[g][l]) {
              continue;
            }
            const uv::Vec2 a = t[k], b = t[(k + 1) % 3], u = charts.flat[g][(l + 1) % 3], v = charts.flat[g][l];
            const bool exact = std::memcmp(&a, &u, sizeof a) == 0 && std::memcmp(&b, &v, sizeof b) == 0;
            const bool apart = std::hypot(a.x - u.x, a.y - u.y) + std::hypot(b.x - v.x, b.y - v.y) > 1e-9;
            EXPECT_TRUE(exact || apart) << "faces " << f << " and " << g;
          }
        }
      }
    }
  }
}

// A cube with two small boxes apart: each side of a box, at right angles
// to the next, grows a chart of its own, under a texel across at 64 texels
// per unit. The sides unfold onto each other, and come apart
// again as grown.
TEST(SmallCharts, SidesUnderATexelUnfoldOntoEachOtherAndComeApartAsGrown) {
  // The second box is a mesh of its own: it joins no chart of the first.
  const std::vector<std::size_t> firstFace = {0, 24, 36};
  const JoinedGrowth joining = joinedGrowth(cubeAndSmallBoxes(2), firstFace, 64);
  const uv::Charts &grown = joining.grown, &fewer = joining.fewer;
  ASSERT_EQ(grown.faceStart.size() - 1, 18u);
  ASSERT_EQ(fewer.faceStart.size() - 1, 8u);  // the cube's six sides and a chart per box
  expectSoundCharts(joining.faces, fewer);
  const uv::JoinedCharts& joined = joining.joined;
  // Apart again: each mesh's box as grown, the other's still joined.
  const std::pair<std::vector<char>, std::size_t> apartCases[] = {{{0, 1}, 13}, {{1, 1}, 18}};
  for (const auto& [apart, charts] : apartCases) {
    uv::JoinedCharts left = joined;
    const uv::Charts taken = uv::takeApart(fewer, left, firstFace, apart);
    ASSERT_EQ(taken.faceStart.size() - 1, charts);
    for (std::size_t c = 0; c + 1 < taken.faceStart.size(); ++c) {
      const std::uint32_t seed = taken.faces[taken.faceStart[c]];
      const uv::Charts& like = apart[seed < 24 ? 0 : 1] != 0 ? grown : fewer;
      const std::int32_t as = like.chartOf[seed];
      ASSERT_EQ(taken.faceStart[c + 1] - taken.faceStart[c],
                like.faceStart[static_cast<std::size_t>(as) + 1] - like.faceStart[static_cast<std::size_t>(as)]);
      for (std::uint32_t i = taken.faceStart[c]; i < taken.faceStart[c + 1]; ++i) {
        const std::uint32_t f = taken.faces[i];
        EXPECT_EQ(like.chartOf[f], as);
        EXPECT_EQ(taken.chartOf[f], static_cast<std::int32_t>(c));
        EXPECT_EQ(std::memcmp(&taken.flat[f], &like.flat[f], sizeof(uv::Triangle2)), 0) << "face " << f;
      }
    }
    EXPECT_EQ(left.faceStart.size() - 1, charts == 18 ? 0u : 5u);
  }
}

// Laid out whole, the small boxes' sides take a chart per box and keep
// clear of each other where corners a chart lays in two places (a box
// unfolded opens along its edges) are moved onto texel corners.
// A flap standing on the inner side of a U's arm, a gap narrower than the
// flap apart from the other arm: turned onto the U, it would lie over the
// other arm, so it stays a chart of its own.
TEST(SmallCharts, AFlapThatWouldLieOverItsNeighbourStaysApart) {
  // The other arm in one quad, and in 12 x 12 (the U then has faces enough
  // to be searched through a grid).
  for (const int split : {1, 12}) {
    MeshBuilder b;
    const auto quad = [&](std::array<double, 3> p, std::array<double, 3> q, std::array<double, 3> r,
                          std::array<double, 3> s) {
      b.quad(b.vertex(p[0], p[1], p[2]), b.vertex(q[0], q[1], q[2]), b.vertex(r[0], r[1], r[2]),
             b.vertex(s[0], s[1], s[2]));
    };
    const double left = 0.4995, right = 0.5005;  // the gap between the arms
    const auto column = [&](int i) { return right + (1 - right) * i / split; };  // of the other arm
    for (const auto& [x0, x1] : {std::pair{0.0, left}, std::pair{left, right}}) {
      quad({x0, 0, 0}, {x1, 0, 0}, {x1, 0.2, 0}, {x0, 0.2, 0});  // the U's foot
    }
    for (int i = 0; i < split; ++i) quad({column(i), 0, 0}, {column(i + 1), 0, 0}, {column(i + 1), 0.2, 0}, {column(i), 0.2, 0});
    for (const auto& [y0, y1] : {std::pair{0.2, 0.5}, std::pair{0.5, 0.505}, std::pair{0.505, 1.0}}) {
      quad({0, y0, 0}, {left, y0, 0}, {left, y1, 0}, {0, y1, 0});  // the left arm
    }
    const std::uint32_t first = static_cast<std::uint32_t>(b.mesh.vertices.size());
    for (int j = 0; j <= split; ++j) {
      for (int i = 0; i <= split; ++i) b.vertex(column(i), 0.2 + 0.8 * j / split, 0);
    }
    const auto at = [&](int i, int j) { return first + static_cast<std::uint32_t>(j * (split + 1) + i); };
    for (int j = 0; j < split; ++j) {
      for (int i = 0; i < split; ++i) b.quad(at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1));
    }
    quad({left, 0.505, 0}, {left, 0.5, 0}, {left, 0.5, 0.002}, {left, 0.505, 0.002});  // the flap
    const JoinedGrowth joining = joinedGrowth(b.mesh, {0, b.mesh.triangles.size() / 3}, 64);
    ASSERT_EQ(joining.grown.faceStart.size() - 1, 2u) << split;
    EXPECT_TRUE(joining.fewer.faceStart.empty()) << split;
  }
}

TEST(SmallCharts, BoxesUnderATexelTakeAChartEachAndStaySound) {
  for (const auto& [size, padding] : {std::pair{128, 1}, std::pair{200, 2}, std::pair{97, 0}}) {
    TestMesh mesh = cubeAndSmallBoxes(24);
    LayoutOptions options;
    options.size = size;
    options.padding = padding;
    GeneratedLayout result;
    ASSERT_TRUE(layOut({&mesh}, options, result));
    EXPECT_EQ(result.charts, 6u + 24u) << size;
    const LayoutReport report = checked({&mesh}, size);
    EXPECT_EQ(report.total.overlappedTexels + report.total.outside, 0u) << size;
    EXPECT_GE(smallestGapBetweenCharts(mesh, size), padding - 1e-3) << size;
  }
}

TEST(GeneratedLayouts, AFixedDensityAtWhichARolledOutTubeIsTooLongStillFits) {
  TestMesh mesh = cylinder();
  LayoutOptions options;
  options.size = 128;
  options.texelsPerUnit = 21;
  GeneratedLayout result;
  ASSERT_TRUE(layOut({&mesh}, options, result));
  EXPECT_EQ(result.texelsPerUnit, 21);
  EXPECT_GE(result.charts, 3u);
  const LayoutReport report = checked({&mesh}, options.size);
  EXPECT_EQ(report.total.overlappedTexels, 0u);
  EXPECT_EQ(report.total.outside, 0u);
}

// Faces under a texel across, of uneven shapes: snapping moves vertices up
// to a texel and a half, the layout stays sound (nothing overlaps, the
// padding holds, the plain count and the sampler agree), and little of the
// surface is left unsampled (with only the two nearest corners of each
// vertex tried: 0.16 % and 1.2 %).
TEST(GeneratedLayouts, FacesUnderATexelMostlyGetACornerAndStaySound) {
  // A waved sheet of quads, each jittered by up to 0.35 of its width.
  const auto sheet = [](int quads) {
    // grid() visits each vertex once, in order: one random jitter each.
    std::mt19937 random(static_cast<std::uint32_t>(quads));
    const auto jitter = [&] { return (static_cast<double>(random() % 1000) / 1000 - 0.5) * 0.7 / quads; };
    return grid(quads, quads, false, [&](double s, double t) {
      const bool edge = s == 0 || t == 0 || s == 1 || t == 1;
      const double dx = jitter(), dy = jitter();
      const double x = s + (edge ? 0 : dx), y = t + (edge ? 0 : dy);
      return std::array<double, 3>{4 * x, 4 * y, 0.3 * std::sin(5 * x) * std::cos(4 * y)};
    });
  };
  // The side of a finely divided tube: strips a third of a texel wide and
  // about nine long, which along the rows or columns miss every corner
  // (5 % of the surface unsampled unless their charts are turned to climb).
  const auto tube = [] {
    return grid(200, 1, true, [](double s, double t) {
      return std::array<double, 3>{std::cos(2 * kPi * s), std::sin(2 * kPi * s), 2 * t};
    });
  };
  const struct {
    std::function<TestMesh()> make;
    double mostUnsampled;  // share of the surface
  } cases[] = {{[&] { return sheet(60); }, 0.001}, {[&] { return sheet(70); }, 0.01}, {tube, 0.001}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    TestMesh mesh = cases[i].make();
    LayoutOptions options;
    options.size = 64;
    GeneratedLayout result;
    ASSERT_TRUE(layOut({&mesh}, options, result));
    const LayoutReport report = checked({&mesh}, options.size);
    EXPECT_EQ(report.total.overlappedTexels + report.total.outside, 0u) << i;
    EXPECT_LT(report.total.unsampledArea / report.total.surfaceArea, cases[i].mostUnsampled) << i;
    testing::fixedShift = 40;
    const testing::PlainReport plain = testing::countPlainly({{"m", &mesh.vertices, &mesh.triangles}}, 64, 64);
    testing::fixedShift = 54;
    EXPECT_EQ(plain.total.overlappedTexels, 0u) << i;
    EXPECT_EQ(plain.total.unsampled, report.total.unsampled) << i;
    expectTheSamplerAgrees(mesh, plain.holdsCorner[0], options.size);
    EXPECT_GE(smallestGapBetweenCharts(mesh, options.size), options.padding - 1e-3) << i;
  }
}

// For every texel corner of every size up to 2048 that some float
// coordinate reaches exactly (size x u rounded to float is the texel), the
// coordinate given is one of them; 1,491 of them are the float just above
// texel / size rather than the nearest.
TEST(GeneratedLayouts, TexelCornersGetExactCoordinatesWhereThereAreAny) {
  std::size_t aboveTheNearest = 0, none = 0;
  for (std::int32_t size = 1; size <= 2048; ++size) {
    const float s = static_cast<float>(size);
    for (std::int32_t texel = 0; texel <= size; ++texel) {
      const float nearest = static_cast<float>(double(texel) / size);
      bool exists = false;
      float candidate = nearest;
      for (int step = 0; step < 4; ++step) candidate = std::nextafter(candidate, 0.0f);
      for (int step = 0; step < 9; ++step, candidate = std::nextafter(candidate, 2.0f)) {
        exists = exists || (s * candidate == static_cast<float>(texel) && candidate >= 0 && candidate <= 1);
      }
      const float u = uv::lightmapCoordinate(texel, size);
      if (!exists) {
        ++none;
        continue;
      }
      ASSERT_EQ(s * u, static_cast<float>(texel)) << size << " " << texel;
      aboveTheNearest += u > nearest ? 1 : 0;
    }
  }
  EXPECT_EQ(aboveTheNearest, 1491u);
  EXPECT_GT(none, 0u) << "some corners no float reaches";
}

// The same meshes give the same bytes with one thread or several.
TEST(GeneratedLayouts, AreTheSameForAnyNumberOfThreads) {
  TestMesh meshes[] = {heightField(3, 16), cylinder(), sphere()};
  std::vector<MeshArrays> arrays;
  for (const TestMesh& mesh : meshes) arrays.push_back(mesh.arrays());
  const std::size_t threads[] = {1, 2, 5};
  GeneratedLayout layouts[3];
  for (std::size_t k = 0; k < 3; ++k) {
    LayoutOptions options;
    options.threads = threads[k];
    options.size = 256;
    ASSERT_TRUE(generateLightmapUvs(arrays, options, layouts[k]));
  }
  for (std::size_t m = 0; m < arrays.size(); ++m) {
    for (std::size_t k = 1; k < 3; ++k) {
      EXPECT_EQ(layouts[0].meshes[m].lightmapUvs, layouts[k].meshes[m].lightmapUvs) << threads[k];
      EXPECT_EQ(layouts[0].meshes[m].xref, layouts[k].meshes[m].xref) << threads[k];
      EXPECT_EQ(layouts[0].meshes[m].triangles, layouts[k].meshes[m].triangles) << threads[k];
    }
  }
}

TEST(GeneratedLayouts, AreTheSameBytesEveryTimeAndKeepClearOfKeptLayouts) {
  TestMesh first = sphere(), second = sphere();
  TestMesh kept = cube();
  for (std::size_t i = 0; i < kept.vertices.size(); ++i) {  // a layout of its own in the lower left quarter
    kept.vertices[i].lightmapU = 0.05f + 0.4f * static_cast<float>(i & 1);
    kept.vertices[i].lightmapV = 0.05f + 0.4f * static_cast<float>((i >> 1) & 1);
  }
  kept.triangles = {0, 1, 3, 0, 3, 2};
  LayoutOptions options;
  options.size = 128;
  GeneratedLayout layout;
  ASSERT_TRUE(layOut({&first}, options, layout, {&kept}));
  ASSERT_TRUE(layOut({&second}, options, layout, {&kept}));
  ASSERT_EQ(first.vertices.size(), second.vertices.size());
  EXPECT_EQ(std::memcmp(first.vertices.data(), second.vertices.data(), first.vertices.size() * sizeof(Vertex)), 0);

  const LayoutReport report = checked({&kept, &first}, 128);
  EXPECT_EQ(report.total.overlappedTexels, 0u);
  EXPECT_EQ(report.total.outside, 0u);
}


// Finely divided parts beside large plain ones (as an engine's lifters and
// springs beside its block): at one density most of their surface is in
// faces that hold no texel corner. Their density is raised, so that each
// loses under a quarter, and the plain parts keep the layout's. The tubes
// lose more than a quarter when first raised, and under it once the raises
// are set again from what they lost.
TEST(GeneratedLayouts, AMeshOfFacesTooSmallForTheDensityGetsAMultipleOfIt) {
  const auto plane = [] {
    return grid(4, 4, false, [](double s, double t) { return std::array<double, 3>{40 * s, 40 * t, 0}; });
  };
  const auto smallSphere = [&] {
    std::vector<TestMesh> parts = {plane(), sphere()};
    for (Vertex& v : parts[1].vertices) {
      v.position = {30 + 0.4f * v.position.x, 30 + 0.4f * v.position.y, 0.4f * v.position.z};  // about two texels across
    }
    return parts;
  };
  const auto thinTubes = [&] {
    std::vector<TestMesh> parts = {plane(), grid(48, 1, true, [](double s, double t) {
                                     return std::array<double, 3>{50 + 2 * std::cos(2 * kPi * s), 2 * std::sin(2 * kPi * s), 6 * t};
                                   })};
    for (int k = 0; k < 4; ++k) {
      parts.push_back(grid(12, 100, true, [&](double s, double t) {
        return std::array<double, 3>{60 + 5 * k + 0.15 * std::cos(2 * kPi * s), 20 + 0.15 * std::sin(2 * kPi * s), 6 * t};
      }));
    }
    return parts;
  };
  // Boxes far under a texel, each unfolded into one chart at one density:
  // raised, each side is a chart of its own again.
  const auto smallBoxes = [&] {
    std::vector<TestMesh> parts = {plane(), cubeAndSmallBoxes(12, false)};
    for (Vertex& v : parts[1].vertices) v.position = {8 * v.position.x, 8 * v.position.y, 8 * v.position.z};
    return parts;
  };
  const struct {
    std::function<std::vector<TestMesh>()> scene;
    std::size_t plainParts;  // the first parts, not raised; the others are
    double evenLoss = 0.5;  // the least a raised part loses at one density
    std::size_t raisedCharts = 0, evenCharts = 0;  // charts of the last part raised and at one density (0: any)
  } cases[] = {{smallSphere, 1}, {thinTubes, 2}, {smallBoxes, 1, 0.2, 12 * 6, 12}};
  for (const auto& c : cases) {
    const auto laidOut = [&](double texelsPerUnit, GeneratedLayout& layout) {
      std::vector<TestMesh> parts = c.scene();
      std::vector<TestMesh*> laid;
      std::vector<const TestMesh*> judged;
      for (TestMesh& part : parts) laid.push_back(&part), judged.push_back(&part);
      LayoutOptions options;
      options.size = 128;
      options.texelsPerUnit = texelsPerUnit;
      EXPECT_TRUE(layOut(laid, options, layout));
      return checked(judged, options.size);
    };
    GeneratedLayout fair, even;
    const LayoutReport fairReport = laidOut(0, fair);
    const LayoutReport evenReport = laidOut(fair.texelsPerUnit, even);  // one density for all, as asked
    const auto lost = [](const LayoutCounts& counts) { return counts.unsampledArea / counts.surfaceArea; };
    for (std::size_t m = 0; m < fair.meshes.size(); ++m) {
      EXPECT_LT(lost(fairReport.meshes[m]), 0.25) << m;
      EXPECT_EQ(even.meshes[m].texelsPerUnit, even.texelsPerUnit) << m;
      if (m < c.plainParts) {
        EXPECT_EQ(fair.meshes[m].texelsPerUnit, fair.texelsPerUnit) << m;
      } else {
        EXPECT_GT(lost(evenReport.meshes[m]), c.evenLoss) << m;
        EXPECT_GT(fair.meshes[m].texelsPerUnit, 1.5 * fair.texelsPerUnit) << m;
        EXPECT_LE(fair.meshes[m].texelsPerUnit, 8 * fair.texelsPerUnit) << m;  // the most a mesh is raised
      }
    }
    EXPECT_EQ(fairReport.total.overlappedTexels + fairReport.total.outside, 0u);
    const auto chartsOf = [](const MeshLayout& mesh) {
      return std::set(mesh.chartIds.begin(), mesh.chartIds.end()).size();
    };
    if (c.raisedCharts > 0) {
      EXPECT_EQ(chartsOf(fair.meshes.back()), c.raisedCharts);
      EXPECT_EQ(chartsOf(even.meshes.back()), c.evenCharts);
    }
  }
  // The second layout is as thread-blind as the first.
  std::vector<TestMesh> parts = thinTubes();
  std::vector<MeshArrays> arrays;
  for (const TestMesh& part : parts) arrays.push_back(part.arrays());
  GeneratedLayout first;
  for (const std::size_t threads : {1, 3}) {
    LayoutOptions options;
    options.size = 128;
    options.threads = threads;
    GeneratedLayout again;
    ASSERT_TRUE(generateLightmapUvs(arrays, options, again));
    if (threads == 1) first = again;
    for (std::size_t m = 0; m < arrays.size(); ++m) EXPECT_EQ(again.meshes[m].lightmapUvs, first.meshes[m].lightmapUvs) << m;
  }
}

// Inputs found by fuzzing: a face of no area in a square narrower than the
// padding got a point outside [0, 1]; a face of huge coordinates at a fixed
// density made cells of more rows than an int holds. Each now gives a sound
// layout or a clear refusal.
TEST(GeneratedLayouts, EdgeInputsGiveASoundLayoutOrARefusal) {
  struct Case {
    const char* label;
    float extent;  // of the one face
    std::int32_t size, padding;
    double texelsPerUnit;
    Status status;
  };
  const Case cases[] = {{"no area, square narrower than the padding", 0, 1, 4, 0, Status::Ok},
                        {"huge, fixed density", 1e38f, 64, 2, 4.75, Status::DoesNotFit}};
  for (const Case& c : cases) {
    MeshBuilder b;
    b.triangle(b.vertex(0, 0, 0), b.vertex(c.extent, 0, 0), b.vertex(0, c.extent, 0));
    LayoutOptions options;
    options.size = c.size;
    options.padding = c.padding;
    options.texelsPerUnit = c.texelsPerUnit;
    GeneratedLayout layout;
    EXPECT_EQ(layOut({&b.mesh}, options, layout).status, c.status) << c.label;
    if (c.status != Status::Ok) continue;
    for (const float coordinate : layout.meshes[0].lightmapUvs) {
      EXPECT_TRUE(coordinate >= 0 && coordinate <= 1) << c.label << ": " << coordinate;
    }
  }
}

// A cancel flag raised at any progress report ends the layout as Cancelled,
// never as another failure (such as "does not fit"), whether the density
// is searched or given; raised at the last report, the layout is done.
TEST(GeneratedLayouts, ACancelAtAnyPointIsReportedAsCancelled) {
  MeshBuilder scattered;  // 300 charts apart: chart growing reports its progress
  for (int k = 0; k < 300; ++k) {
    const double x = 5 + (k % 20) * 0.2, y = (k / 20) * 0.2;
    scattered.triangle(scattered.vertex(x, y, 0), scattered.vertex(x + 0.05, y, 0), scattered.vertex(x, y + 0.05, 0));
  }
  const TestMesh meshes[] = {cylinder(), cube(), scattered.mesh};
  std::vector<MeshArrays> arrays;
  for (const TestMesh& mesh : meshes) arrays.push_back(mesh.arrays());
  for (const double density : {0.0, 20.0}) {
    LayoutOptions options;
    options.size = 128;
    options.texelsPerUnit = density;
    std::size_t reports = 0;
    options.progress = [&](double) { ++reports; };
    GeneratedLayout layout;
    ASSERT_TRUE(generateLightmapUvs(arrays, options, layout)) << density;
    const std::size_t all = reports;
    for (std::size_t at = 1; at <= all; ++at) {
      std::atomic<bool> cancel{false};
      options.cancel = &cancel;
      reports = 0;
      options.progress = [&](double) { cancel = ++reports >= at; };
      const Result result = generateLightmapUvs(arrays, options, layout);
      if (at < all) {
        EXPECT_EQ(result.status, Status::Cancelled) << density << " at report " << at << " of " << all;
      }
    }
  }
}

// A chart 2 cells wide and 6 tall, in its two distinct turns, placed in an
// empty 16-cell square and over a low block that leaves a two-cell gap at
// its end: the lowest place takes the upright turn (on a tie, the fewer
// turns), the lowest top lies it down, over the block if need be.
// The charts as grown, laid flat on planes only and rolled out where that
// gives fewer: every face of area in exactly one chart, turned counter-
// clockwise, no two faces of a chart overlapping, and each position of a
// chart at one point of it (so that the chart's vertices are shared, not
// torn). Rolled out, a surface takes no more charts than laid flat, a tube
// or a cone fewer, and a sphere (curved everywhere) the same.
// Each triangle with vertices of its own, in shuffled order, and vertices
// no face uses (one at a position no face has).
TestMesh asSoup(const TestMesh& mesh) {
  TestMesh soup;
  std::mt19937 random(7);
  for (std::size_t i = 0; i < mesh.triangles.size(); ++i) soup.triangles.push_back(static_cast<std::uint32_t>(i));
  std::shuffle(soup.triangles.begin(), soup.triangles.end(), random);
  soup.vertices.resize(mesh.triangles.size() + 2);
  for (std::size_t i = 0; i < mesh.triangles.size(); ++i) soup.vertices[soup.triangles[i]] = mesh.vertices[mesh.triangles[i]];
  soup.vertices[mesh.triangles.size()].position = {9, 9, 9};
  soup.vertices[mesh.triangles.size() + 1] = mesh.vertices[0];
  return soup;
}

TEST(Faces, WeldedByPositionBitsAndLinkedAcrossSharedEdges) {
  const auto signedZeros = [] {  // -0 and 0 are one place: one position, linked
    MeshBuilder b;
    b.triangle(b.vertex(0, 0, 0), b.vertex(1, 0, 0), b.vertex(0, 1, 0));
    b.triangle(b.vertex(-0.0, 0, 0), b.vertex(0, 1, 0), b.vertex(1, 0, 0));
    return b.mesh;
  };
  const auto fin = [] {  // three faces on one edge
    MeshBuilder b;
    const std::uint32_t a = b.vertex(0, 0, 0), c = b.vertex(0, 0, 1);
    b.triangle(a, c, b.vertex(1, 0, 0)), b.triangle(c, a, b.vertex(0, 1, 0)), b.triangle(a, c, b.vertex(-1, -1, 0));
    return b.mesh;
  };
  const std::vector<std::pair<const char*, std::vector<TestMesh>>> cases = {
      {"cube", {cube()}},
      {"cube as a soup", {asSoup(cube())}},
      {"two meshes sharing positions", {cube(), asSoup(cube())}},
      {"signed zeros", {signedZeros()}},
      {"fin", {fin()}},
      {"degenerate faces", {withDegenerateFaces()}},
      {"height field as a soup, and a sphere", {asSoup(heightField(3, 12)), sphere()}}};
  for (const auto& [label, meshes] : cases) {
    SCOPED_TRACE(label);
    std::vector<MeshArrays> arrays;
    for (const TestMesh& mesh : meshes) arrays.push_back(mesh.arrays());
    std::vector<SampledMesh> sampled;
    ASSERT_TRUE(describeMeshes(arrays, sampled, {false, false}));
    // Plainly: the distinct bits of the corners' positions, in order (-0 as +0); faces
    // linked where both hold an edge of two positions.
    using Bits = std::array<std::uint32_t, 3>;
    std::vector<Bits> cornerBits;
    for (const TestMesh& mesh : meshes) {
      for (const std::uint32_t v : mesh.triangles) {
        Bits bits;
        Vector3 p = mesh.vertices[v].position;
        p = {p.x + 0.0f, p.y + 0.0f, p.z + 0.0f};  // -0 as +0
        std::memcpy(bits.data(), &p, sizeof bits);
        cornerBits.push_back(bits);
      }
    }
    std::map<Bits, std::uint32_t> number;
    for (const Bits& bits : cornerBits) number[bits] = 0;
    std::uint32_t next = 0;
    for (auto& entry : number) entry.second = next++;
    for (const std::size_t threads : {1, 3}) {
      const uv::Faces faces = uv::collectFaces(sampled, threads);
      ASSERT_EQ(faces.positions.size(), number.size());
      ASSERT_EQ(faces.corners.size(), cornerBits.size() / 3);
      for (const auto& [bits, n] : number) {
        const uv::Vec3 at = faces.positions[n];
        const Vector3 p{static_cast<float>(at.x), static_cast<float>(at.y), static_cast<float>(at.z)};
        EXPECT_EQ(std::memcmp(&p, bits.data(), sizeof p), 0) << "position " << n;
      }
      for (std::size_t c = 0; c < cornerBits.size(); ++c) EXPECT_EQ(faces.corners[c / 3][c % 3], number[cornerBits[c]]);
      const auto hasEdge = [&](std::size_t f, std::uint32_t p, std::uint32_t q) {
        for (std::size_t k = 0; k < 3; ++k) {
          const std::uint32_t a = faces.corners[f][k], b = faces.corners[f][(k + 1) % 3];
          if ((a == p && b == q) || (a == q && b == p)) return true;
        }
        return false;
      };
      for (std::size_t f = 0; f < faces.corners.size(); ++f) {
        std::vector<std::uint32_t> linked;
        bool crowded = false;
        for (std::size_t k = 0; k < 3; ++k) {
          const std::uint32_t p = faces.corners[f][k], q = faces.corners[f][(k + 1) % 3];
          if (p == q) continue;
          std::size_t withArea = 0;
          for (std::size_t g = 0; g < faces.corners.size(); ++g) {
            if (!hasEdge(g, p, q)) continue;
            withArea += faces.areas[g] > 0 ? 1 : 0;
            if (g != f) linked.push_back(static_cast<std::uint32_t>(g));
          }
          crowded = crowded || withArea > 2;
        }
        std::sort(linked.begin(), linked.end());
        linked.erase(std::unique(linked.begin(), linked.end()), linked.end());
        const std::vector<std::uint32_t> found(faces.neighbours.begin() + faces.neighbourStart[f],
                                               faces.neighbours.begin() + faces.neighbourStart[f + 1]);
        EXPECT_EQ(found, linked) << "face " << f;
        EXPECT_EQ(faces.onCrowdedEdge[f] != 0, crowded) << "face " << f;
      }
    }
  }
}

TEST(Charts, RolledOutOrLaidFlatEachChartIsOnePieceWithoutOverlaps) {
  const auto bentTube = [] {  // half a torus
    return grid(24, 12, true, [](double s, double t) {
      const double ring = 2 + 0.5 * std::cos(2 * kPi * s);
      return std::array<double, 3>{ring * std::cos(kPi * t), ring * std::sin(kPi * t), 0.5 * std::sin(2 * kPi * s)};
    });
  };
  const auto cone = [] {
    return grid(24, 6, true, [](double s, double t) {
      return std::array<double, 3>{(1 - 0.6 * t) * std::cos(2 * kPi * s), (1 - 0.6 * t) * std::sin(2 * kPi * s), 2 * t};
    });
  };
  enum class Rolled { Fewer, Same, NoMore };
  const std::tuple<const char*, std::function<TestMesh()>, Rolled> cases[] = {
      {"tube", cylinder, Rolled::Fewer}, {"cone", cone, Rolled::Fewer}, {"sphere", sphere, Rolled::Same},
      {"bent tube", bentTube, Rolled::NoMore}, {"height field", [] { return heightField(3, 16); }, Rolled::NoMore},
      {"rough height field", [] { return heightField(5, 40); }, Rolled::NoMore},
      {"cube", cube, Rolled::Same}, {"degenerate faces", withDegenerateFaces, Rolled::NoMore}};
  for (const auto& [label, make, rolled] : cases) {
    SCOPED_TRACE(label);
    const TestMesh mesh = make();
    const MeshArrays arrays = mesh.arrays();
    std::vector<SampledMesh> sampled;
    ASSERT_TRUE(describeMeshes({&arrays, 1}, sampled, {false, false}));
    const uv::Faces faces = uv::collectFaces(sampled, 1);
    std::size_t counts[2] = {};
    std::vector<std::int32_t> chartsOf[2];
    for (const bool unfold : {false, true}) {
      // 32 texels per unit: every surface here is thousands of texels, far above
      // the least rolled out, and none of its faces is long and thin.
      const uv::Charts charts = uv::growCharts(faces, 60, {32.0, unfold}, nullptr);
      counts[unfold] = charts.faceStart.size() - 1;
      chartsOf[unfold] = charts.chartOf;
      std::vector<int> seen(faces.corners.size(), 0);
      for (std::size_t c = 0; c + 1 < charts.faceStart.size(); ++c) {
        std::map<std::uint32_t, std::pair<double, double>> pointOf;
        for (std::uint32_t i = charts.faceStart[c]; i < charts.faceStart[c + 1]; ++i) {
          const std::uint32_t f = charts.faces[i];
          ++seen[f];
          const uv::Triangle2& t = charts.flat[f];
          EXPECT_GT(uv::cross2(t[0], t[1], t[2]), 0.0) << "face " << f;
          // Laid flat on planes, within 60 degrees of the chart's first face
          // (its cone's axis), also where faces moved between charts.
          const uv::Vec3 axis = faces.normals[charts.faces[charts.faceStart[c]]], n = faces.normals[f];
          if (!unfold) {
            EXPECT_GE(axis.x * n.x + axis.y * n.y + axis.z * n.z, 0.5 - 1e-12) << "face " << f;
          }
          for (std::size_t k = 0; k < 3; ++k) {
            const auto [at, added] = pointOf.try_emplace(faces.corners[f][k], t[k].x, t[k].y);
            EXPECT_TRUE(added || (at->second.first == t[k].x && at->second.second == t[k].y)) << "face " << f;
          }
          for (std::uint32_t j = charts.faceStart[c]; j < i; ++j) {
            EXPECT_FALSE(uv::interiorsOverlap(t, charts.flat[charts.faces[j]], 1e-9)) << f << " and " << charts.faces[j];
          }
        }
      }
      for (std::size_t f = 0; f < seen.size(); ++f) EXPECT_EQ(seen[f], faces.areas[f] > 0 ? 1 : 0) << "face " << f;
    }
    if (rolled == Rolled::Fewer) {
      EXPECT_LT(counts[1], counts[0]);
    } else if (rolled == Rolled::Same) {
      EXPECT_EQ(chartsOf[1], chartsOf[0]);
    }
    EXPECT_LE(counts[1], counts[0]);
  }
}

TEST(Packing, EachPlaceRuleTakesThePlaceItNames) {
  std::vector<uv::CellImage> images(2);
  images[0] = uv::cellsOf({{uv::Vec2{0, 0}, uv::Vec2{1.5, 0}, uv::Vec2{1.5, 5.5}}, {uv::Vec2{0, 0}, uv::Vec2{1.5, 5.5}, uv::Vec2{0, 5.5}}});
  images[1] = uv::turned(images[0]);
  ASSERT_EQ(images[0].height, 6);
  ASSERT_EQ(images[1].height, 2);
  struct Case {
    const char* what;
    bool blockTaken;  // cells 0-13 of rows 0-1 taken
    uv::PlaceRule rule;
    uv::Placement expected;
  };
  const Case cases[] = {
      {"empty, lowest", false, uv::PlaceRule::Lowest, {0, 0, 0}},
      {"empty, lowest top", false, uv::PlaceRule::LowestTop, {0, 0, 1}},
      {"over a block, lowest", true, uv::PlaceRule::Lowest, {14, 0, 0}},
      {"over a block, lowest top", true, uv::PlaceRule::LowestTop, {0, 2, 1}},
  };
  for (const Case& c : cases) {
    uv::Atlas atlas(16);
    for (std::int32_t row = 0; row < 2 && c.blockTaken; ++row) atlas.take(row, 0, 13);
    std::vector<uv::PlaceCandidate> candidates;
    for (std::int32_t k = 0; k < 2; ++k) candidates.push_back({&images[k], &images[k], k, 0});
    uv::Placement placed;
    ASSERT_TRUE(uv::place(atlas, candidates, 16, 0, c.rule, placed)) << c.what;
    EXPECT_EQ(placed.x, c.expected.x) << c.what;
    EXPECT_EQ(placed.y, c.expected.y) << c.what;
    EXPECT_EQ(placed.turns, c.expected.turns) << c.what;
  }
}

// The place that touches most against a plain search: every free place of
// each turn on the lowest row where any fits and the rows above within
// reach, its ring's taken or outside cells counted one by one.
TEST(Packing, TheMostTouchingPlaceMatchesAPlainSearch) {
  std::mt19937 random(5);
  const auto below = [&](std::int32_t n) { return static_cast<std::int32_t>(random() % static_cast<std::uint32_t>(n)); };
  const std::int32_t size = 24, padding = 1;
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE(trial);
    std::vector<char> taken(static_cast<std::size_t>(size * size), 0);
    uv::Atlas atlas(size);
    for (int b = 0, blocks = 2 + below(6); b < blocks; ++b) {
      const std::int32_t x = below(size), y = below(size), w = 1 + below(8), h = 1 + below(8);
      for (std::int32_t row = y; row < std::min(size, y + h); ++row) {
        atlas.take(row, x, std::min(size, x + w) - 1);
        for (std::int32_t c = x; c < std::min(size, x + w); ++c) taken[static_cast<std::size_t>(row * size + c)] = 1;
      }
    }
    const auto takenAt = [&](std::int32_t x, std::int32_t y) {
      return x < 0 || y < 0 || x >= size || y >= size || taken[static_cast<std::size_t>(y * size + x)] != 0;
    };
    std::vector<uv::Triangle2> marks;
    for (int m = 0, count = 1 + below(4); m < count; ++m) {
      const uv::Vec2 centre{below(5) + 0.5, below(4) + 0.5};
      marks.push_back({centre, centre, centre});
    }
    std::array<uv::CellImage, 4> cells, wide, rings;
    cells[0] = uv::cellsOf(marks);
    for (std::size_t k = 1; k < 4; ++k) cells[k] = uv::turned(cells[k - 1]);
    std::vector<uv::PlaceCandidate> candidates;
    for (std::size_t k = 0; k < 4; ++k) {
      wide[k] = uv::widened(cells[k], padding);
      rings[k] = uv::widened(wide[k], 1);
      candidates.push_back({&cells[k], &wide[k], static_cast<std::int32_t>(k), 0, &rings[k]});
    }
    const auto count = [&](const uv::CellImage& image, std::int32_t x0, std::int32_t y0) {
      std::int32_t n = 0;
      for (std::int32_t r = 0; r < image.height; ++r) {
        for (const uv::Span& span : image.row(r)) {
          for (std::int32_t c = span.first; c <= span.last; ++c) n += takenAt(x0 + c, y0 + r);
        }
      }
      return n;
    };
    const auto fits = [&](std::size_t k, std::int32_t x, std::int32_t y) {
      return x >= padding && y >= padding && x + cells[k].width <= size - padding &&
             y + cells[k].height <= size - padding && count(wide[k], x - padding, y - padding) == 0;
    };
    std::int32_t lowest = size;
    for (std::size_t k = 0; k < 4; ++k) {
      for (std::int32_t y = 0; y < size; ++y) {
        for (std::int32_t x = 0; x < size; ++x) lowest = fits(k, x, y) ? std::min(lowest, y) : lowest;
      }
    }
    uv::Placement placed;
    const bool found = uv::place(atlas, candidates, size, padding, uv::PlaceRule::MostContact, placed);
    ASSERT_EQ(found, lowest < size);
    if (!found) continue;
    std::int64_t bestContact = -1, bestRing = 1, bestPlace = 0;
    uv::Placement expected;
    for (std::size_t k = 0; k < 4; ++k) {
      std::int64_t ring = 0;
      for (const uv::Span& span : rings[k].spans) ring += span.last - span.first + 1;
      for (std::int32_t y = lowest; y <= lowest + uv::kContactRows; ++y) {
        std::int32_t x = 0;
        while (x < size && !fits(k, x, y)) ++x;
        if (x == size) continue;
        const std::int64_t contact = count(rings[k], x - padding - 1, y - padding - 1), place = y * (size + 1) + x;
        if (contact * bestRing > bestContact * ring || (contact * bestRing == bestContact * ring && place < bestPlace)) {
          bestContact = contact, bestRing = ring, bestPlace = place;
          expected = {x, y, static_cast<std::int32_t>(k)};
        }
      }
    }
    EXPECT_EQ(placed.x, expected.x);
    EXPECT_EQ(placed.y, expected.y);
    EXPECT_EQ(placed.turns, expected.turns);
  }
}

// The cells a face touches, row by row, its border included: faces within
// one row (taken by their own extent) and faces across rows or ending on a
// row's line (taken slab by slab) alike.
TEST(Packing, CellsOfAFaceAreTheCellsItTouchesRowByRow) {
  struct Case {
    uv::Triangle2 face;
    std::vector<std::vector<uv::Span>> rows;  // expected spans, row 0 up
  };
  const Case cases[] = {
      {{uv::Vec2{1.2, 2.1}, uv::Vec2{4.7, 2.3}, uv::Vec2{2.0, 2.9}}, {{}, {}, {{1, 4}}}},
      {{uv::Vec2{3.5, 0.5}, uv::Vec2{3.5, 0.5}, uv::Vec2{3.5, 0.5}}, {{{3, 3}}}},
      {{uv::Vec2{0.5, 1.0}, uv::Vec2{2.5, 1.0}, uv::Vec2{1.5, 2.0}}, {{}, {{0, 2}}, {{1, 1}}}},
      {{uv::Vec2{0.2, 0.2}, uv::Vec2{5.8, 0.5}, uv::Vec2{0.4, 2.5}}, {{{0, 5}}, {{0, 4}}, {{0, 1}}}},
  };
  for (const Case& c : cases) {
    const uv::CellImage image = uv::cellsOf({c.face});
    ASSERT_EQ(image.height, static_cast<std::int32_t>(c.rows.size())) << c.face[0].x;
    for (std::int32_t r = 0; r < image.height; ++r) {
      const std::span<const uv::Span> row = image.row(r);
      const std::vector<uv::Span>& expected = c.rows[static_cast<std::size_t>(r)];
      ASSERT_EQ(row.size(), expected.size()) << c.face[0].x << " row " << r;
      for (std::size_t k = 0; k < row.size(); ++k) {
        EXPECT_EQ(row[k].first, expected[k].first) << c.face[0].x << " row " << r;
        EXPECT_EQ(row[k].last, expected[k].last) << c.face[0].x << " row " << r;
      }
    }
  }
}

// A chart's cells from its outline alone are its faces' cells, cell for
// cell: triangulated grids of faces smaller and larger than a cell, their
// inner corners moved at random, holes punched out, on cell lines or off.
TEST(Packing, CellsFromTheOutlineAreTheFacesCells) {
  struct Case {
    int across, up;        // grid squares
    double side, x0, y0;   // a square's side and the grid's corner, in cells
    double jitter;         // inner corners move up to this share of a side
    int holes;             // squares left out (inner ones, so the grid stays one piece)
  };
  const Case cases[] = {
      {40, 30, 0.23, 0.37, 0.81, 0.3, 12},  // many faces to a cell
      {12, 9, 1.0, 0.0, 0.0, 0.0, 0},       // every corner on cell lines
      {12, 9, 1.0, 2.0, 1.0, 0.0, 7},       // the same with holes
      {9, 7, 2.7, 0.5, 0.25, 0.25, 5},      // faces across several rows
      {60, 2, 0.5, 0.1, 0.0, 0.2, 0},       // a long strip on a row line
      {25, 25, 0.5, 0.0, 0.5, 0.0, 40},     // half-cell corners, holes
  };
  std::mt19937 random(11);
  const auto unit = [&] { return static_cast<double>(random() % 2001) / 1000.0 - 1.0; };
  for (const Case& c : cases) {
    const auto at = [&](int i, int j) { return static_cast<std::size_t>(j * (c.across + 1) + i); };
    std::vector<uv::Vec2> corners(static_cast<std::size_t>((c.across + 1) * (c.up + 1)));
    for (int j = 0; j <= c.up; ++j) {
      for (int i = 0; i <= c.across; ++i) {
        const bool inner = i > 0 && j > 0 && i < c.across && j < c.up;
        const double dx = inner ? c.jitter * unit() : 0, dy = inner ? c.jitter * unit() : 0;
        corners[at(i, j)] = {c.x0 + (i + dx) * c.side, c.y0 + (j + dy) * c.side};
      }
    }
    std::vector<char> left(static_cast<std::size_t>(c.across * c.up), 0);
    for (int h = 0; h < c.holes; ++h) {
      left[static_cast<std::size_t>((1 + static_cast<int>(random() % static_cast<unsigned>(c.up - 2))) * c.across + 1 +
                                    static_cast<int>(random() % static_cast<unsigned>(c.across - 2)))] = 1;
    }
    std::vector<uv::Triangle2> faces;
    std::map<std::pair<std::size_t, std::size_t>, int> sides;  // (from, to) corners: how many faces run along it
    for (int j = 0; j < c.up; ++j) {
      for (int i = 0; i < c.across; ++i) {
        if (left[static_cast<std::size_t>(j * c.across + i)] != 0) continue;
        const std::size_t a = at(i, j), b = at(i + 1, j), d = at(i + 1, j + 1), e = at(i, j + 1);
        for (const auto& face : {std::array<std::size_t, 3>{a, b, d}, std::array<std::size_t, 3>{a, d, e}}) {
          faces.push_back({corners[face[0]], corners[face[1]], corners[face[2]]});
          for (std::size_t k = 0; k < 3; ++k) ++sides[{face[k], face[(k + 1) % 3]}];
        }
      }
    }
    std::vector<std::array<uv::Vec2, 2>> outline;
    for (const auto& [side, count] : sides) {
      if (sides.count({side.second, side.first}) == 0) outline.push_back({corners[side.first], corners[side.second]});
    }
    const uv::CellImage fromFaces = uv::cellsOf(faces), fromOutline = uv::outlineCellsOf(outline);
    ASSERT_EQ(fromOutline.width, fromFaces.width) << c.side;
    ASSERT_EQ(fromOutline.height, fromFaces.height) << c.side;
    for (std::int32_t r = 0; r < fromFaces.height; ++r) {
      const std::span<const uv::Span> want = fromFaces.row(r), got = fromOutline.row(r);
      ASSERT_EQ(got.size(), want.size()) << c.side << " row " << r;
      for (std::size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(got[k].first, want[k].first) << c.side << " row " << r;
        EXPECT_EQ(got[k].last, want[k].last) << c.side << " row " << r;
      }
    }
  }
}

// Charts that start looking where one alike went find the very places they
// find looking from the bottom, with either rule, when "alike" means that
// their widened cells hold the last one's: random charts of a few boxes (some
// copies, some holding others, most neither) packed both ways into a square
// with padding.
TEST(Packing, StartingWhereAChartAlikeWentMissesNoLowerPlace) {
  std::mt19937 random(7);
  const auto below = [&](std::uint32_t n) { return static_cast<std::int32_t>(random() % n); };
  std::vector<uv::CellImage> cells, wide;
  for (int k = 0; k < 120; ++k) {
    const std::int32_t width = 6 + 3 * below(3), height = 5 + 4 * below(2);
    // Corner cells fix the box; a few random cells fill it (a quarter are
    // bare corners: held by the others).
    const auto cell = [](std::int32_t x, std::int32_t y) {
      const uv::Vec2 centre{x + 0.5, y + 0.5};
      return uv::Triangle2{centre, centre, centre};
    };
    std::vector<uv::Triangle2> marks = {cell(0, 0), cell(width - 1, height - 1)};
    for (int m = 0, filled = k % 4 == 0 ? 0 : 2 + below(25); m < filled; ++m) {
      marks.push_back(cell(below(static_cast<std::uint32_t>(width)), below(static_cast<std::uint32_t>(height))));
    }
    cells.push_back(uv::cellsOf(marks));
    wide.push_back(uv::widened(cells.back(), 2));
    if (k % 5 == 0) cells.push_back(cells.back()), wide.push_back(wide.back());  // a copy
  }
  std::vector<uv::CellImage> rings;
  for (const uv::CellImage& image : wide) rings.push_back(uv::widened(image, 1));
  const auto pack = [&](uv::PlaceRule rule, bool remember, int& startedHigher) {
    uv::Atlas atlas(120);
    uv::StartRows starts(0);
    std::vector<uv::Placement> places;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      uv::PlaceCandidate candidate{&cells[c], &wide[c], 0, remember ? starts.startFor(cells[c], wide[c], 0) : 0,
                                   &rings[c]};
      startedHigher += candidate.firstY > 0;
      uv::Placement placed;
      if (!uv::place(atlas, std::span(&candidate, 1), 120, 2, rule, placed)) break;
      starts.placed(std::span(&candidate, 1));
      uv::take(atlas, cells[c], placed);
      places.push_back(placed);
    }
    return places;
  };
  for (const uv::PlaceRule rule : {uv::PlaceRule::Lowest, uv::PlaceRule::LowestTop, uv::PlaceRule::MostContact}) {
    int higher = 0, unused = 0;
    const std::vector<uv::Placement> fromBottom = pack(rule, false, unused);
    const std::vector<uv::Placement> remembered = pack(rule, true, higher);
    ASSERT_EQ(fromBottom.size(), remembered.size());
    EXPECT_GT(fromBottom.size(), 100u);
    EXPECT_GT(higher, 20);
    for (std::size_t c = 0; c < fromBottom.size(); ++c) {
      EXPECT_EQ(fromBottom[c].x, remembered[c].x) << c;
      EXPECT_EQ(fromBottom[c].y, remembered[c].y) << c;
    }
  }
}

// The square's rows against a plain array of cells: after each run of
// cells taken, the longest free run of the row and the last taken cell of
// ranges agree, for sizes that end within a word and on its last cell.
TEST(Packing, TakenCellsAndFreeRunsMatchAPlainCount) {
  std::mt19937 random(11);
  for (const std::int32_t size : {1, 63, 64, 65, 130, 512}) {
    SCOPED_TRACE(size);
    uv::Atlas atlas(size);
    std::vector<char> taken(static_cast<std::size_t>(size), 0);
    std::uniform_int_distribution<std::int32_t> cell(0, size - 1), length(1, std::max(1, size / 6));
    for (int run = 0; run < 40; ++run) {
      const std::int32_t first = cell(random), last = std::min(size - 1, first + length(random) - 1);
      atlas.take(2 % size, first, last);
      std::fill(taken.begin() + first, taken.begin() + last + 1, 1);
      std::int32_t longest = 0, free = 0;
      for (const char t : taken) longest = std::max(longest, free = t != 0 ? 0 : free + 1);
      ASSERT_EQ(atlas.longestFree(2 % size), longest) << "after " << first << " to " << last;
      const std::int32_t a = cell(random), b = cell(random);
      std::int32_t lastTaken = -1;
      for (std::int32_t x = std::min(a, b); x <= std::max(a, b); ++x) {
        if (taken[static_cast<std::size_t>(x)] != 0) lastTaken = x;
      }
      ASSERT_EQ(atlas.lastTaken(2 % size, std::min(a, b), std::max(a, b)), lastTaken);
    }
  }
}

// With a density tried ahead on a second thread, the search asks every
// density it asked alone, in the same steps, and finds the same one, for
// answers that hold below a threshold or (as a packing may) come and go.
TEST(Packing, TheSearchTryingADensityAheadFindsTheSameOne) {
  const std::pair<const char*, std::function<bool(double)>> answers[] = {
      {"below 1", [](double at) { return at <= 1.0; }},
      {"below 0.3", [](double at) { return at <= 0.3; }},
      {"never", [](double) { return false; }},
      {"always", [](double) { return true; }},
      {"in bands", [](double at) { return at <= 1.0 && std::fmod(at * 97.0, 1.0) < 0.6; }},
      {"scattered", [](double at) { return std::hash<double>{}(at) % 3 != 0 && at < 2.0; }}};
  for (const auto& [label, fits] : answers) {
    for (const double start : {0.2, 0.99, 1.0, 1.7}) {
      SCOPED_TRACE(std::string(label) + " from " + std::to_string(start));
      std::vector<double> asked[2];
      std::vector<int> steps[2];
      double found[2];
      std::mutex lock;
      for (const std::size_t threads : {1, 2}) {
        found[threads - 1] = uv::largestFittingDensity(
            start, 0.5, 1.15, 1.002,
            [&](double at) {
              const std::lock_guard<std::mutex> hold(lock);
              asked[threads - 1].push_back(at);
              return fits(at);
            },
            [&](int step) { steps[threads - 1].push_back(step); }, threads);
      }
      EXPECT_EQ(found[0], found[1]);
      EXPECT_EQ(steps[0], steps[1]);
      for (const double at : asked[0]) EXPECT_NE(std::count(asked[1].begin(), asked[1].end(), at), 0) << at;
      EXPECT_LE(asked[1].size(), 2 * asked[0].size());
    }
  }
  // What a density tried ahead throws reaches the caller.
  EXPECT_THROW(uv::largestFittingDensity(
                   1.0, 0.5, 1.15, 1.002, [](double at) { return at < 1.1 ? true : throw std::bad_alloc(); },
                   [](int) {}, 2),
               std::bad_alloc);
}

// Raising a density another way found: never asked at or below it, the
// threshold found to within the tolerance where it lies above, and the
// density kept where nothing higher fits.
TEST(Packing, RaisedDensityOnlyLooksAboveAndFindsTheThreshold) {
  struct Case {
    double threshold;  // fits at and below
    double expected;
  };
  const Case cases[] = {{0.5, 1.0}, {1.0005, 1.0}, {1.0137, 1.0137}, {1.3, 1.3}};
  for (const Case& c : cases) {
    double lowestAsked = INFINITY;
    const double raised = uv::raisedDensity(1.0, 1.01, 1.002, [&](double at) {
      lowestAsked = std::min(lowestAsked, at);
      return at <= c.threshold;
    });
    EXPECT_GT(lowestAsked, 1.0) << c.threshold;
    EXPECT_LE(raised, c.expected) << c.threshold;
    EXPECT_GE(raised * 1.002, c.expected) << c.threshold;
  }
}

// The search from a density known to be near, as after shaping charts again
// or raising some meshes: the threshold found from above or below, to the
// tolerance, in a few trials each way (halving or growing by 15 % would take
// many more at this tolerance).
TEST(Packing, TheSearchFromANearDensityFindsTheThresholdInAFewTrials) {
  for (const double start : {0.85, 0.97, 1.0, 1.03, 1.2}) {
    int trials = 0;
    const double found = uv::largestFittingDensity(
        start, 1 / 1.04, 1.04, 1.002, [&](double at) { return ++trials, at <= 1.0; }, [](int) {});
    EXPECT_LE(found, 1.0) << start;
    EXPECT_GE(found * 1.002, 1.0) << start;
    EXPECT_LE(trials, 11) << start;
  }
}



}  // namespace
}  // namespace lumivex