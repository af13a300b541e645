// Samples for bakers: grids of any width and height, texel centres, the
// coverage the rasteriser records, triangle and mesh ids, barycentric
// weights and centroid samples for small triangles, held to the plain
// per-texel sampler for every way of handing over the vertices.

#include <lumivex/lumivex.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "sampling/mesh_arrays.h"
#include "sampling/rasteriser.h"
#include "support/reference_rasteriser.h"

namespace lumivex {
namespace {

using testing::PlainMesh;

// Random triangles for a width x height grid: mostly small, with corners on
// texel corners and on texel centres (ties for either sample point), slivers,
// triangles far smaller than a texel, degenerate and huge ones, shared edges,
// mirrored twins and zero normals.
PlainMesh randomMesh(std::mt19937& random, int triangles, GridSize size) {
  // A huge triangle is a wedge from a point of the grid reaching far off it,
  // so that it covers much of the grid but not all.
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  PlainMesh mesh;
  const auto add = [&](float x, float y) {  // texel-space x, y
    Vertex v{};
    v.position = {unit(random) * 8 - 4, unit(random) * 8 - 4, unit(random) * 8 - 4};
    v.normal = unit(random) < 0.05f ? Vector3{0, 0, 0} : Vector3{unit(random) - 0.5f, unit(random) - 0.5f, unit(random)};
    v.lightmapU = x / static_cast<float>(size.width);
    v.lightmapV = y / static_cast<float>(size.height);
    mesh.vertices.push_back(v);
    return static_cast<std::uint32_t>(mesh.vertices.size() - 1);
  };
  for (int t = 0; t < triangles; ++t) {
    const float cx = unit(random) * (size.width + 2.0f) - 1, cy = unit(random) * (size.height + 2.0f) - 1;
    const float scale = std::exp(unit(random) * 5 - 3);  // 0.05 to 7 texels
    float x[3], y[3];
    for (int k = 0; k < 3; ++k) x[k] = cx + (unit(random) - 0.5f) * scale, y[k] = cy + (unit(random) - 0.5f) * scale;
    const int kind = static_cast<int>(unit(random) * 10);
    if (kind == 0 || kind == 1) {  // on texel corners, or on texel centres
      for (int k = 0; k < 3; ++k) x[k] = std::round(x[k]) + 0.5f * kind, y[k] = std::round(y[k]) + 0.5f * kind;
    } else if (kind == 2) {  // a sliver
      x[2] = (x[0] + x[1]) * 0.5f + scale * 1e-3f;
      y[2] = (y[0] + y[1]) * 0.5f;
    } else if (kind == 3) {  // far inside one texel
      for (int k = 0; k < 3; ++k) x[k] = cx + (unit(random) - 0.5f) * 0.02f, y[k] = cy + (unit(random) - 0.5f) * 0.02f;
    } else if (kind == 4) {  // degenerate
      x[2] = x[1], y[2] = y[1];
    } else if (kind == 5 && t % 50 == 0) {  // huge
      const float angle = unit(random) * 6.3f;
      x[1] = cx + 1e4f * std::cos(angle), y[1] = cy + 1e4f * std::sin(angle);
      x[2] = cx + 1e4f * std::cos(angle + 0.4f), y[2] = cy + 1e4f * std::sin(angle + 0.4f);
    }
    if (kind == 6 && mesh.indices.size() >= 3) {  // shares an edge with the last triangle
      const std::size_t last = mesh.indices.size() - 3;
      mesh.indices.insert(mesh.indices.end(), {mesh.indices[last + 1], mesh.indices[last], add(x[2], y[2])});
      continue;
    }
    const std::uint32_t a = add(x[0], y[0]), b = add(x[1], y[1]), c = add(x[2], y[2]);
    mesh.indices.insert(mesh.indices.end(), {a, b, c});
    if (kind == 8) mesh.indices.insert(mesh.indices.end(), {a, c, b});  // its mirrored twin, later
  }
  return mesh;
}

// The ways a caller hands over vertices: 40-byte records, separate packed
// arrays, and interleaved buffers of 32 and 44 bytes a vertex (attributes in
// other orders).
enum class Vertices { Records, Packed, Interleaved32, Interleaved44 };

struct CallerArrays {
  std::vector<float> positions, normals, uvs, interleaved;
  MeshArrays arrays;
};

void handOver(const PlainMesh& mesh, Vertices form, CallerArrays& out) {
  // Interleaved: the offsets (in floats) of position, normal and UV, and the stride.
  const auto interleave = [&](std::size_t p, std::size_t n, std::size_t uv, std::size_t stride) {
    out.interleaved.assign(mesh.vertices.size() * stride, -7.0f);  // gaps hold junk
    for (std::size_t k = 0; k < mesh.vertices.size(); ++k) {
      const Vertex& v = mesh.vertices[k];
      std::memcpy(&out.interleaved[k * stride + p], &v.position, 12);
      std::memcpy(&out.interleaved[k * stride + n], &v.normal, 12);
      out.interleaved[k * stride + uv] = v.lightmapU;
      out.interleaved[k * stride + uv + 1] = v.lightmapV;
    }
    // Each span runs from the first vertex's attribute to the end of the last one's.
    const std::span<const float> all(out.interleaved);
    const std::size_t last = (mesh.vertices.size() - 1) * stride;
    out.arrays.positions = all.subspan(p, last + 3);
    out.arrays.normals = all.subspan(n, last + 3);
    out.arrays.lightmapUvs = all.subspan(uv, last + 2);
    out.arrays.positionStride = out.arrays.normalStride = out.arrays.lightmapUvStride = 4 * stride;
  };
  out.arrays = {};
  if (form == Vertices::Records) {
    out.arrays.vertices = mesh.vertices;
  } else if (form == Vertices::Packed) {
    for (const Vertex& v : mesh.vertices) {
      out.positions.insert(out.positions.end(), {v.position.x, v.position.y, v.position.z});
      out.normals.insert(out.normals.end(), {v.normal.x, v.normal.y, v.normal.z});
      out.uvs.insert(out.uvs.end(), {v.lightmapU, v.lightmapV});
    }
    out.arrays.positions = out.positions;
    out.arrays.normals = out.normals;
    out.arrays.lightmapUvs = out.uvs;
  } else if (form == Vertices::Interleaved32) {
    interleave(0, 3, 6, 8);
  } else {
    interleave(8, 1, 4, 11);  // normal, gap, UV, gap, gap, position
  }
}

// Everything a grid holds must match: samples, coverage, ids, weights, stats.
void expectSameGrids(const SampleGrid& actual, const SampleGrid& expected, const std::string& label) {
  ASSERT_EQ(actual.width(), expected.width()) << label;
  ASSERT_EQ(actual.height(), expected.height()) << label;
  EXPECT_EQ(std::memcmp(actual.data(), expected.data(), actual.cellCount() * sizeof(Sample)), 0) << label << ": samples";
  std::vector<std::uint8_t> a(actual.cellCount()), e(expected.cellCount());
  actual.copyCoverage(a);
  expected.copyCoverage(e);
  EXPECT_EQ(a, e) << label << ": coverage";
  const auto same = [](auto x, auto y) {
    return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size_bytes()) == 0);
  };
  EXPECT_TRUE(same(actual.triangleIds(), expected.triangleIds())) << label << ": triangle ids";
  EXPECT_TRUE(same(actual.meshIds(), expected.meshIds())) << label << ": mesh ids";
  EXPECT_TRUE(same(actual.barycentrics(), expected.barycentrics())) << label << ": barycentrics";
  EXPECT_EQ(actual.stats().smallTrianglesPlaced, expected.stats().smallTrianglesPlaced) << label;
}

struct DifferentialCase {
  const char* label;
  GridSize size;
  SamplePoint point;
  bool coverSmallTriangles;
  int triangles;  // per mesh; many against few texels makes the workers split the triangles
};

class SamplesForBakers : public ::testing::TestWithParam<DifferentialCase> {};

// Random meshes sampled by the public call (every vertex form) and by the
// rasteriser on exactly 1, 2 and 3 workers must give what the plain per-texel
// sampler gives, to the bit, in every channel.
TEST_P(SamplesForBakers, EqualThePlainPerTexelSampler) {
  const DifferentialCase& c = GetParam();
  std::mt19937 random(static_cast<std::uint32_t>(c.size.width * 977 + c.size.height));
  const std::vector<PlainMesh> meshes = {randomMesh(random, c.triangles, c.size), randomMesh(random, c.triangles / 3, c.size)};
  const GridShape shape(c.size, c.point);
  SampleGrid expected = makeSampleGrid(c.size, {true, true});
  testing::referenceSample(meshes, shape, c.coverSmallTriangles, expected);
  const SampleStats stats = expected.stats();
  ASSERT_LT(stats.coveredTexels, expected.cellCount()) << "some texels must stay uncovered";
  if (c.coverSmallTriangles) {
    ASSERT_GT(stats.smallTrianglesPlaced, 0u);
  }

  SampleOptions options;
  options.samplePoint = c.point;
  options.ids = options.barycentrics = true;
  options.coverSmallTriangles = c.coverSmallTriangles;
  for (Vertices form : {Vertices::Records, Vertices::Packed, Vertices::Interleaved32, Vertices::Interleaved44}) {
    const std::string label = std::string(c.label) + " vertex form " + std::to_string(static_cast<int>(form));
    std::vector<CallerArrays> held(meshes.size());
    std::vector<MeshArrays> arrays;
    for (std::size_t m = 0; m < meshes.size(); ++m) {
      handOver(meshes[m], form, held[m]);
      held[m].arrays.indices32 = meshes[m].indices;
      arrays.push_back(held[m].arrays);
    }
    SampleGrid sampled;
    ASSERT_TRUE(sampleMeshes(arrays, c.size, sampled, options)) << label;
    expectSameGrids(sampled, expected, label);

    std::vector<SampledMesh> described;
    ASSERT_TRUE(describeMeshes(arrays, described));
    for (std::size_t threads : {1u, 2u, 3u}) {
      SampleGrid actual = makeSampleGrid(c.size, {true, true});
      RasteriseOptions rasterise = rasteriseOptionsOf(options);
      rasterise.exactThreads = threads;
      ASSERT_TRUE(rasteriseMeshes(described, shape, actual, rasterise));
      expectSameGrids(actual, expected, label + " threads " + std::to_string(threads));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SamplesForBakers,
    ::testing::Values(DifferentialCase{"SquareCorners", {96, 96}, SamplePoint::Corner, false, 700},
                      DifferentialCase{"SquareCentres", {96, 96}, SamplePoint::Centre, false, 700},
                      DifferentialCase{"WideCentresSmallTriangles", {160, 37}, SamplePoint::Centre, true, 700},
                      DifferentialCase{"TallCornersSmallTriangles", {23, 130}, SamplePoint::Corner, true, 700},
                      DifferentialCase{"FewTexelsManyTriangles", {29, 17}, SamplePoint::Centre, true, 1500},
                      DifferentialCase{"OneRow", {300, 1}, SamplePoint::Centre, true, 200},
                      DifferentialCase{"OneColumn", {1, 300}, SamplePoint::Corner, false, 200}),
    [](const auto& info) { return std::string(info.param.label); });

// What a baker does with the channels: any vertex attribute interpolated
// through a texel's ids and weights lands where the sampler put the texel's
// position, to within float rounding of the coordinates (about 1e-6 of 8).
TEST(SamplesForBakers, IdsAndWeightsReinterpolateThePositions) {
  std::mt19937 random(5);
  const GridSize size{200, 120};
  const std::vector<PlainMesh> meshes = {randomMesh(random, 900, size), randomMesh(random, 300, size)};
  std::vector<MeshArrays> arrays(meshes.size());
  for (std::size_t m = 0; m < meshes.size(); ++m) arrays[m].vertices = meshes[m].vertices, arrays[m].indices32 = meshes[m].indices;
  for (SamplePoint point : {SamplePoint::Corner, SamplePoint::Centre}) {
    SampleOptions options;
    options.samplePoint = point;
    options.ids = options.barycentrics = options.coverSmallTriangles = true;
    SampleGrid grid;
    ASSERT_TRUE(sampleMeshes(arrays, size, grid, options));
    std::size_t checked = 0;
    for (std::int32_t row = 0; row < size.height; ++row) {
      for (std::int32_t col = 0; col < size.width; ++col) {
        const std::size_t cell = static_cast<std::size_t>(row) * size.width + static_cast<std::size_t>(col);
        const std::uint32_t mesh = grid.meshIds()[cell], triangle = grid.triangleIds()[cell];
        ASSERT_EQ(grid.covered(col, row), mesh != kNoTriangle);
        if (mesh == kNoTriangle) continue;
        const double w1 = grid.barycentrics()[2 * cell], w2 = grid.barycentrics()[2 * cell + 1];
        const Vertex* v[3];
        for (int k = 0; k < 3; ++k) v[k] = &meshes[mesh].vertices[meshes[mesh].indices[3 * triangle + k]];
        const double x = (1 - w1 - w2) * v[0]->position.x + w1 * v[1]->position.x + w2 * v[2]->position.x;
        const double y = (1 - w1 - w2) * v[0]->position.y + w1 * v[1]->position.y + w2 * v[2]->position.y;
        const double z = (1 - w1 - w2) * v[0]->position.z + w1 * v[1]->position.z + w2 * v[2]->position.z;
        const Vector3& sampled = grid.at(col, row).position;
        ASSERT_NEAR(x, sampled.x, 2e-5) << col << ", " << row;
        ASSERT_NEAR(y, sampled.y, 2e-5) << col << ", " << row;
        ASSERT_NEAR(z, sampled.z, 2e-5) << col << ", " << row;
        ++checked;
      }
    }
    EXPECT_GT(checked, std::size_t{5000});
    EXPECT_GT(grid.stats().smallTrianglesPlaced, 0u);
  }
}

// A texel is covered because a triangle wrote it, whatever it wrote: a
// triangle at the origin with zero normals is covered, counted and reported
// as zero normals; a NaN normal is reported too. A samples file keeps no
// coverage, so read back such a texel looks empty.
TEST(SamplesForBakers, CoverageIsWhatTheRasteriserWrote) {
  const auto sheet = [](Vector3 normal) {
    std::vector<Vertex> vertices(4);
    const float uv[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    for (int k = 0; k < 4; ++k) vertices[k].normal = normal, vertices[k].lightmapU = uv[k][0], vertices[k].lightmapV = uv[k][1];
    return vertices;
  };
  const std::vector<std::uint16_t> quad = {0, 1, 2, 1, 3, 2};
  const float nan = std::nanf("");
  struct Case {
    const char* label;
    std::vector<Vertex> vertices;
    std::uint64_t zeroNormals, nonFiniteNormals;
  } cases[] = {{"AllZero", sheet({0, 0, 0}), 12, 0}, {"NanNormal", sheet({nan, 0, 1}), 0, 12}, {"Upright", sheet({0, 0, 3}), 0, 0}};
  for (const Case& c : cases) {
    MeshArrays mesh;
    mesh.vertices = c.vertices;
    mesh.indices16 = quad;
    SampleGrid grid;
    ASSERT_TRUE(sampleMesh(mesh, GridSize{4, 3}, grid)) << c.label;
    const SampleStats stats = grid.stats();
    EXPECT_EQ(stats.coveredTexels, 12u) << c.label;  // corners 0..3 x 0..2 all inside the unit square
    EXPECT_EQ(stats.zeroNormals, c.zeroNormals) << c.label;
    EXPECT_EQ(stats.nonFiniteNormals, c.nonFiniteNormals) << c.label;
    EXPECT_TRUE(grid.covered(3, 2)) << c.label;

    const std::string path = ::testing::TempDir() + "/coverage.samples";
    ASSERT_TRUE(writeSamplesFile(path.c_str(), grid));
    SampleGrid read;
    ASSERT_TRUE(readSamplesFile(path.c_str(), read));
    EXPECT_EQ(read.width(), 4);
    EXPECT_EQ(read.height(), 3);
    EXPECT_EQ(read.size(), 0) << "not square";
    EXPECT_EQ(std::memcmp(read.data(), grid.data(), grid.cellCount() * sizeof(Sample)), 0) << c.label;
    EXPECT_EQ(read.stats().coveredTexels, c.zeroNormals == 12 ? 0u : 12u) << c.label;
    std::remove(path.c_str());
  }
}

// Small triangles, each far inside one texel: placed in the texel whose
// sample point is nearest their centroid, unless a triangle covers that
// texel; of two landing on one texel, the later wins; none is placed unless
// asked for.
TEST(SamplesForBakers, SmallTrianglesLandOnTheNearestUncoveredTexel) {
  // Centroids in texel space: (3.7, 1.2), (6.2, 6.2) twice, (1.4, 6.6) (beside a large triangle's texels).
  const float centroids[][2] = {{3.7f, 1.2f}, {6.2f, 6.2f}, {6.2f, 6.2f}, {1.4f, 6.6f}};
  std::vector<Vertex> vertices;
  std::vector<std::uint16_t> indices;
  for (int t = 0; t < 4; ++t) {
    for (const std::array<float, 2> offset : {std::array{-0.02f, -0.01f}, std::array{0.03f, -0.01f}, std::array{-0.01f, 0.02f}}) {
      Vertex v{};
      v.position = {static_cast<float>(t), 0, 0};
      v.normal = {0, 0, 1};
      v.lightmapU = (centroids[t][0] + offset[0]) / 8;
      v.lightmapV = (centroids[t][1] + offset[1]) / 8;
      vertices.push_back(v);
      indices.push_back(static_cast<std::uint16_t>(vertices.size() - 1));
    }
  }
  // A large triangle over the texel nearest the fourth centroid, at either sample point.
  for (const std::array<float, 2> corner : {std::array{-0.5f, 5.5f}, std::array{3.0f, 5.5f}, std::array{-0.5f, 9.5f}}) {
    Vertex v{};
    v.position = {9, 9, 9};
    v.lightmapU = corner[0] / 8, v.lightmapV = corner[1] / 8;
    vertices.push_back(v);
    indices.push_back(static_cast<std::uint16_t>(vertices.size() - 1));
  }
  MeshArrays mesh;
  mesh.vertices = vertices;
  mesh.indices16 = indices;
  struct Case {
    SamplePoint point;
    // Where triangles 0, 1 and 2 land (2 replaces 1), and the fourth's
    // nearest texel, which the large triangle keeps.
    std::array<std::array<int, 2>, 4> texels;
  } cases[] = {{SamplePoint::Corner, {{{4, 1}, {6, 6}, {6, 6}, {1, 7}}}},
               {SamplePoint::Centre, {{{3, 1}, {6, 6}, {6, 6}, {1, 6}}}}};
  for (const Case& c : cases) {
    SampleOptions options;
    options.samplePoint = c.point;
    options.ids = true;
    SampleGrid plain, covered;
    ASSERT_TRUE(sampleMesh(mesh, 8, plain, options));
    options.coverSmallTriangles = true;
    ASSERT_TRUE(sampleMesh(mesh, 8, covered, options));
    EXPECT_EQ(covered.stats().coveredTexels, plain.stats().coveredTexels + 2);
    EXPECT_EQ(covered.stats().smallTrianglesPlaced, 2u);
    EXPECT_EQ(plain.stats().smallTrianglesPlaced, 0u);
    const auto idAt = [&](std::array<int, 2> texel) { return covered.triangleIds()[static_cast<std::size_t>(texel[1] * 8 + texel[0])]; };
    EXPECT_EQ(idAt(c.texels[0]), 0u);
    EXPECT_EQ(idAt(c.texels[1]), 2u) << "the later small triangle wins";
    EXPECT_NEAR(covered.at(c.texels[0][0], c.texels[0][1]).position.x, 0.0f, 1e-6f);
    EXPECT_EQ(idAt(c.texels[3]), 4u) << "the large triangle keeps its texel";
  }
}

// Sizes and sample points outside what the options allow are refused by name.
TEST(SamplesForBakers, SizesAndSamplePointsOutsideTheRulesAreRefused) {
  MeshArrays mesh;
  const std::vector<Vertex> vertices(3);
  const std::vector<std::uint16_t> indices = {0, 1, 2};
  mesh.vertices = vertices;
  mesh.indices16 = indices;
  struct Case {
    GridSize size;
    int point;
    const char* problem;
  } cases[] = {{{0, 4}, 0, "size: outside 1 to 16384"}, {{4, 16385}, 0, "size: outside 1 to 16384"},
               {{-1, -1}, 1, "size: outside 1 to 16384"}, {{4, 4}, 2, "samplePoint: neither Corner nor Centre"}};
  for (const Case& c : cases) {
    SampleOptions options;
    options.samplePoint = static_cast<SamplePoint>(c.point);
    SampleGrid grid;
    const Result result = sampleMesh(mesh, c.size, grid, options);
    EXPECT_EQ(result.status, Status::InvalidArgument);
    EXPECT_STREQ(result.problem, c.problem);
    EXPECT_EQ(SampleGrid::make(c.size, grid).ok(), c.point == 2);
  }
}

}  // namespace
}  // namespace lumivex
