// The texel rasteriser: coverage, weights, write order, the guards against
// bad geometry, and a differential test against the plain per-texel algorithm.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "math/kernel.h"
#include "sampling/rasteriser.h"
#include "support/kernel_family.h"
#include "support/kvx_builder.h"
#include "support/reference_rasteriser.h"

namespace lumivex {
namespace {

using testing::Family;
using testing::TestVertex;

MeshRecord meshRecordOf(const std::vector<TestVertex>& vertices, const std::vector<std::uint16_t>& indices) {
  MeshRecord mesh;
  mesh.vertexSize = mesh.vertexStride = 40;
  mesh.formatKind = 2;
  mesh.vertexCount = static_cast<std::int32_t>(vertices.size());
  mesh.indexCount = static_cast<std::int32_t>(indices.size());
  for (const TestVertex& vertex : vertices) {
    const std::string bytes = testing::vertexRecordBytes(vertex);
    mesh.vertices.insert(mesh.vertices.end(), bytes.begin(), bytes.end());
  }
  mesh.indices.assign(indices.begin(), indices.end());
  return mesh;
}

RasteriseOptions onThreads(std::size_t threads) {
  RasteriseOptions options;
  options.exactThreads = threads;
  return options;
}

bool isZero(const Sample& sample) {
  static const Sample zero{};
  return std::memcmp(&sample, &zero, sizeof zero) == 0;
}

std::vector<std::pair<int, int>> writtenTexels(const SampleGrid& grid) {
  std::vector<std::pair<int, int>> texels;  // (col, row)
  for (int row = 0; row < grid.size(); ++row) {
    for (int col = 0; col < grid.size(); ++col) {
      if (!isZero(grid.at(col, row))) texels.emplace_back(col, row);
    }
  }
  return texels;
}

SampleGrid rasterised(const MeshRecord& mesh, LightmapSize size) {
  SampleGrid grid = makeSampleGrid(size);
  rasteriseMeshRecords({&mesh, 1}, size, grid);
  return grid;
}

// Positions chosen so that no written sample is all zero.
TestVertex vertexAt(float u, float v, float px, float py, float pz) {
  return {px, py, pz, 0.0f, 0.0f, 2.0f, 0.0f, 0.0f, u, v};
}

const std::vector<TestVertex> kCornerTriangle = {
    {1, 2, 3, 0, 0, 2, 0, 0, 0.0f, 0.0f},
    {5, 2, 3, 0, 3, 0, 0, 0, 0.03125f, 0.0f},
    {1, 10, 7, 4, 0, 0, 0, 0, 0.0f, 0.03125f},
};

class Rasteriser : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override { testing::useKernelFamily(GetParam()); }
  void TearDown() override { testing::useRealKernelProbes(); }
};

TEST_P(Rasteriser, SmallCornerTriangleCoversFifteenTexels) {
  const SampleGrid grid = rasterised(meshRecordOf(kCornerTriangle, {0, 1, 2}), 128);
  std::vector<std::pair<int, int>> expected;
  for (int row = 0; row <= 4; ++row) {
    for (int col = 0; col + row <= 4; ++col) expected.emplace_back(col, row);
  }
  EXPECT_EQ(writtenTexels(grid), expected);

  // Texel (1, 2): weights 0.25 and 0.5.
  const Sample& sample = grid.at(1, 2);
  EXPECT_NEAR(sample.position.x, 1 + 0.25 * 4 + 0.5 * 0, 1e-5);
  EXPECT_NEAR(sample.position.y, 2 + 0.25 * 0 + 0.5 * 8, 1e-5);
  EXPECT_NEAR(sample.position.z, 3 + 0.25 * 0 + 0.5 * 4, 1e-5);
  const Vector3 blend = {2.0f, 0.75f, 0.5f};  // n0 + 0.25 (n1 - n0) + 0.5 (n2 - n0)
  const double length = std::sqrt(blend.x * blend.x + blend.y * blend.y + blend.z * blend.z);
  EXPECT_NEAR(sample.normal.x, blend.x / length, 2e-6);
  EXPECT_NEAR(sample.normal.y, blend.y / length, 2e-6);
  EXPECT_NEAR(sample.normal.z, blend.z / length, 2e-6);

  // Corners carry the vertices' own positions and unit normals.
  const Sample& corner0 = grid.at(0, 0);
  EXPECT_EQ(corner0.position.x, 1.0f);
  EXPECT_NEAR(corner0.normal.z, 1.0f, 1e-6);
  const Sample& corner1 = grid.at(4, 0);
  EXPECT_NEAR(corner1.position.x, 5.0f, 1e-6);
  EXPECT_NEAR(corner1.normal.y, 1.0f, 1e-6);
  const Sample& corner2 = grid.at(0, 4);
  EXPECT_NEAR(corner2.position.y, 10.0f, 1e-6);
  EXPECT_NEAR(corner2.normal.x, 1.0f, 1e-6);
}

TEST_P(Rasteriser, MirroredTriangleCoversTheSameTexelsWithUnflippedNormals) {
  const SampleGrid forward = rasterised(meshRecordOf(kCornerTriangle, {0, 1, 2}), 128);
  const SampleGrid mirrored = rasterised(meshRecordOf(kCornerTriangle, {0, 2, 1}), 128);
  EXPECT_EQ(writtenTexels(forward), writtenTexels(mirrored));
  for (int i = 0; i < 128 * 128; ++i) {
    EXPECT_NEAR(forward.data()[i].normal.x, mirrored.data()[i].normal.x, 1e-6);
    EXPECT_NEAR(forward.data()[i].normal.z, mirrored.data()[i].normal.z, 1e-6);
  }
}

TEST_P(Rasteriser, TriangleInsideOneTexelWritesNothing) {
  const std::vector<TestVertex> vertices = {vertexAt(0.2f / 128, 0.2f / 128, 1, 1, 1),
                                            vertexAt(0.8f / 128, 0.2f / 128, 1, 1, 1),
                                            vertexAt(0.2f / 128, 0.8f / 128, 1, 1, 1)};
  EXPECT_TRUE(writtenTexels(rasterised(meshRecordOf(vertices, {0, 1, 2}), 128)).empty());
}

TEST_P(Rasteriser, LaterTriangleWinsOnASharedEdge) {
  // A square split along its diagonal, each half with vertices of its own
  // (position x = 1 below the diagonal, 2 above it): the texels on the
  // diagonal hold whichever half comes later.
  const float e = 8.0f / 128;
  const std::vector<TestVertex> vertices = {vertexAt(0, 0, 1, 0, 0), vertexAt(e, 0, 1, 0, 0), vertexAt(e, e, 1, 0, 0),
                                            vertexAt(0, 0, 2, 0, 0), vertexAt(e, e, 2, 0, 0), vertexAt(0, e, 2, 0, 0)};
  for (bool upperLast : {true, false}) {
    const std::vector<std::uint16_t> indices =
        upperLast ? std::vector<std::uint16_t>{0, 1, 2, 3, 4, 5} : std::vector<std::uint16_t>{3, 4, 5, 0, 1, 2};
    const SampleGrid grid = rasterised(meshRecordOf(vertices, indices), 128);
    for (int k = 0; k <= 8; ++k) {
      EXPECT_EQ(grid.at(k, k).position.x, upperLast ? 2.0f : 1.0f) << k;
    }
    EXPECT_EQ(grid.at(5, 2).position.x, 1.0f);
    EXPECT_EQ(grid.at(2, 5).position.x, 2.0f);
  }
}

TEST_P(Rasteriser, IndexCountsAndIndexRanges) {
  std::vector<TestVertex> vertices = kCornerTriangle;
  for (TestVertex v : kCornerTriangle) {
    v.u += 0.5f;
    vertices.push_back(v);
  }
  struct Case {
    std::vector<std::uint16_t> indices;
    std::size_t texels;
  };
  const Case cases[] = {
      {{0, 1, 2, 3, 4, 5, 0}, 30},  // seven entries: two triangles, the last ignored
      {{0, 1}, 0},
      {{0}, 0},
      {{}, 0},
      {{0, 1, 6, 3, 4, 5}, 15},      // 6 is past the last vertex: that triangle is skipped
      {{0, 1, 65535, 3, 4, 5}, 15},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(writtenTexels(rasterised(meshRecordOf(vertices, c.indices), 128)).size(), c.texels)
        << c.indices.size();
  }
  MeshRecord negative = meshRecordOf(vertices, {});
  negative.indexCount = -4;
  EXPECT_TRUE(writtenTexels(rasterised(negative, 128)).empty());

  // An index equal to the vertex count names no vertex, even where the array
  // happens to hold a further, well-formed slot.
  MeshRecord spare = meshRecordOf(vertices, {0, 1, 3});
  spare.vertexCount = 3;
  EXPECT_TRUE(writtenTexels(rasterised(spare, 128)).empty());
}

TEST_P(Rasteriser, SlotsThatAreNot40BytesWriteNothing) {
  MeshRecord mesh = meshRecordOf(kCornerTriangle, {0, 1, 2});
  mesh.vertexStride = mesh.vertexSize = 36;
  EXPECT_TRUE(writtenTexels(rasterised(mesh, 128)).empty());
}

TEST_P(Rasteriser, RowsFollowVWithoutFlipAndScaleWithSize) {
  // Small v values land in the first rows.
  const SampleGrid grid = rasterised(meshRecordOf(kCornerTriangle, {0, 1, 2}), 128);
  EXPECT_EQ(writtenTexels(grid).front(), (std::pair<int, int>{0, 0}));
  // A vertex at (0.5, 0.5) sits on texel (64, 64) at 128 and (256, 256) at 512.
  const std::vector<TestVertex> vertices = {vertexAt(0.5f, 0.5f, 7, 8, 9), vertexAt(0.75f, 0.5f, 1, 1, 1),
                                            vertexAt(0.5f, 0.75f, 2, 2, 2)};
  for (LightmapSize size : {128, 512}) {
    const SampleGrid scaled = rasterised(meshRecordOf(vertices, {0, 1, 2}), size);
    const Sample& sample = scaled.at(size / 2, size / 2);
    EXPECT_EQ(sample.position.x, 7.0f);
    EXPECT_EQ(sample.position.y, 8.0f);
    EXPECT_EQ(sample.position.z, 9.0f);
    EXPECT_EQ(writtenTexels(scaled).size(), std::size_t((size / 4 + 1) * (size / 4 + 2) / 2));
  }
}

TEST_P(Rasteriser, TexelsOffTheGridAreNeverAddressed) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* label;
    float u0, v0, u1, v1, u2, v2;
    std::size_t texels;
  };
  const Case cases[] = {
      // Columns 124..127 of rows 0..3 covered; column 128 (the right edge) must
      // not spill into the next row's first cell.
      {"RightEdge", 124.0f / 128, 0, 1.0f, 0, 1.0f, 4.0f / 128, 10},
      {"BottomEdge", 0, 124.0f / 128, 0, 1.0f, 4.0f / 128, 1.0f, 10},
      // Column -1 must not spill into the previous row's last cell.
      {"LeftOfGrid", -2.0f / 128, 0, 2.0f / 128, 0, -2.0f / 128, 4.0f / 128, 6},
      {"AboveGrid", 0, -2.0f / 128, 0, 2.0f / 128, 4.0f / 128, -2.0f / 128, 6},
      // Unclipped, the scan range would span 10^17 texels per side.
      {"Huge", -1e15f, -1e15f, 1e15f, -1e15f, 0.0f, 1e15f, 128 * 128},
      {"Infinite", 0, 0, inf, 0, 0, 0.5f, 0},
      {"NaN", 0, 0, nan, 0, 0, 0.5f, 0},
  };
  for (const Case& c : cases) {
    const std::vector<TestVertex> vertices = {vertexAt(c.u0, c.v0, 1, 1, 1), vertexAt(c.u1, c.v1, 2, 2, 2),
                                              vertexAt(c.u2, c.v2, 3, 3, 3)};
    const SampleGrid grid = rasterised(meshRecordOf(vertices, {0, 1, 2}), 128);
    const auto texels = writtenTexels(grid);
    EXPECT_EQ(texels.size(), c.texels) << c.label;
    for (const Sample& sample : grid.samples()) {
      ASSERT_TRUE(std::isfinite(sample.position.x) && std::isfinite(sample.normal.x)) << c.label;
    }
  }
  // A cell next to the right edge's spill target stays untouched.
  const std::vector<TestVertex> edge = {vertexAt(124.0f / 128, 0, 1, 1, 1), vertexAt(1.0f, 0, 2, 2, 2),
                                        vertexAt(1.0f, 4.0f / 128, 3, 3, 3)};
  const SampleGrid grid = rasterised(meshRecordOf(edge, {0, 1, 2}), 128);
  EXPECT_TRUE(isZero(grid.at(0, 1)));
}

TEST_P(Rasteriser, ZeroAreaTrianglesLeaveEarlierSamplesAlone) {
  const std::vector<TestVertex> vertices = {
      vertexAt(0, 0, 1, 1, 1), vertexAt(8.0f / 128, 0, 1, 1, 1), vertexAt(0, 8.0f / 128, 1, 1, 1),
      // collinear on a slanted line: (0, 0), (3, 1), (6, 2) in texel space
      vertexAt(0, 0, 9, 9, 9), vertexAt(3.0f / 128, 1.0f / 128, 9, 9, 9), vertexAt(6.0f / 128, 2.0f / 128, 9, 9, 9),
  };
  const SampleGrid valid = rasterised(meshRecordOf(vertices, {0, 1, 2}), 128);
  const std::vector<std::vector<std::uint16_t>> degenerate = {
      {0, 1, 2, 3, 4, 5},  // collinear, slanted
      {0, 1, 2, 3, 3, 5},  // two coincident corners
      {0, 1, 2, 3, 3, 3},  // all three coincident
  };
  for (const auto& indices : degenerate) {
    const SampleGrid grid = rasterised(meshRecordOf(vertices, indices), 128);
    EXPECT_EQ(std::memcmp(grid.data(), valid.data(), grid.cellCount() * sizeof(Sample)), 0);
  }
}

// A triangle of non-zero area whose heights round to zero: its corner texel
// passes the inside test but gets weights of 0 / 0, and must keep the sample
// it held.
TEST_P(Rasteriser, TexelsWithNonFiniteWeightsKeepTheirSample) {
  const float subnormal = 1e-40f / 128;  // both heights round to zero: 0 / 0 twice
  const float small = 1e-25f / 128;      // its edge normalises to zero: one height is zero, the other not
  const std::vector<TestVertex> vertices = {
      vertexAt(0, 0, 1, 1, 1),         vertexAt(4.0f / 128, 0, 1, 1, 1), vertexAt(0, 4.0f / 128, 1, 1, 1),
      vertexAt(0, 0, 9, 9, 9),         vertexAt(subnormal, 0, 9, 9, 9),  vertexAt(0, subnormal, 9, 9, 9),
      vertexAt(small, 0, 9, 9, 9),     vertexAt(0, 4.0f / 128, 9, 9, 9)};
  const SampleGrid valid = rasterised(meshRecordOf(vertices, {0, 1, 2}), 128);
  for (const std::vector<std::uint16_t>& later : {std::vector<std::uint16_t>{3, 4, 5},  // w1 and w2 NaN
                                                  std::vector<std::uint16_t>{3, 6, 7},  // w2 alone NaN
                                                  std::vector<std::uint16_t>{3, 7, 6}}) {  // w1 alone NaN
    std::vector<std::uint16_t> indices = {0, 1, 2};
    indices.insert(indices.end(), later.begin(), later.end());
    const SampleGrid both = rasterised(meshRecordOf(vertices, indices), 128);
    EXPECT_EQ(both.data()[0].position.x, 1.0f) << later[1];
    EXPECT_EQ(std::memcmp(both.data(), valid.data(), both.cellCount() * sizeof(Sample)), 0) << later[1];
  }
}

// Random meshes, compared byte for byte with the plain per-texel algorithm.
// Mostly small triangles, with shared edges, slivers, mirrored twins, huge,
// degenerate and off-grid ones mixed in, and corners snapped onto texel corners.
MeshRecord randomMesh(std::mt19937& random, int triangleCount) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_real_distribution<float> signedUnit(-1.0f, 1.0f);
  std::vector<TestVertex> vertices;
  std::vector<std::uint16_t> indices;
  const auto addVertex = [&](float u, float v) {
    vertices.push_back({signedUnit(random) * 10, signedUnit(random) * 10, signedUnit(random) * 10,
                        signedUnit(random), signedUnit(random), signedUnit(random), 0, 0, u, v});
    return static_cast<std::uint16_t>(vertices.size() - 1);
  };
  const auto snap = [](float c) { return std::round(c * 128) / 128; };
  for (int t = 0; t < triangleCount; ++t) {
    const float cu = unit(random) * 1.2f - 0.1f, cv = unit(random) * 1.2f - 0.1f;
    const float scale = std::exp(unit(random) * 4.0f - 6.5f);  // 0.0015 to 0.08 of the map
    float u[3], v[3];
    for (int k = 0; k < 3; ++k) {
      u[k] = cu + signedUnit(random) * scale;
      v[k] = cv + signedUnit(random) * scale;
    }
    // One huge triangle per mesh: it covers the whole grid, so more would only cost time.
    int kind = static_cast<int>(unit(random) * 8);
    if (kind == 3) kind = 7;  // plain
    if (t == triangleCount / 2) kind = 3;
    if (kind == 0) {  // snapped onto texel corners
      for (int k = 0; k < 3; ++k) u[k] = snap(u[k]), v[k] = snap(v[k]);
    } else if (kind == 1) {  // sliver
      u[2] = u[0] + (u[1] - u[0]) * 0.5f + scale * 1e-3f;
      v[2] = v[0] + (v[1] - v[0]) * 0.5f;
    } else if (kind == 2) {  // degenerate: coincident or collinear corners
      u[2] = u[0] + (u[1] - u[0]) * 2.0f;
      v[2] = v[0] + (v[1] - v[0]) * 2.0f;
      if (unit(random) < 0.5f) u[1] = u[0], v[1] = v[0];
    } else if (kind == 3) {  // huge, reaching far off the grid
      for (int k = 0; k < 3; ++k) u[k] = signedUnit(random) * 1e4f, v[k] = signedUnit(random) * 1e4f;
    }
    if (kind == 4 && indices.size() >= 3) {  // shares an edge with the previous triangle
      const std::size_t last = indices.size() - 3;
      const std::uint16_t a = indices[last], b = indices[last + 1];
      indices.insert(indices.end(), {b, a, addVertex(u[2], v[2])});
      continue;
    }
    const std::uint16_t a = addVertex(u[0], v[0]), b = addVertex(u[1], v[1]), c = addVertex(u[2], v[2]);
    indices.insert(indices.end(), {a, b, c});
    if (kind == 5) indices.insert(indices.end(), {a, c, b});  // its mirrored twin, later
  }
  return meshRecordOf(vertices, indices);
}

TEST_P(Rasteriser, MatchesThePlainPerTexelAlgorithm) {
  std::mt19937 random(2024);
  for (int trial = 0; trial < 4; ++trial) {
    // Several meshes, so that later meshes must win over earlier ones, split
    // across one, two and three threads.
    const std::vector<MeshRecord> meshes = {randomMesh(random, 400), randomMesh(random, 50), randomMesh(random, 300)};
    for (LightmapSize size : {128, 256}) {
      SampleGrid expected = makeSampleGrid(size);
      for (const MeshRecord& mesh : meshes) testing::referenceRasteriseMesh(mesh, size, expected);
      for (std::size_t threads : {1u, 2u, 3u}) {
        SampleGrid actual = makeSampleGrid(size);
        rasteriseMeshRecords(meshes, size, actual, onThreads(threads));
        ASSERT_EQ(
            std::memcmp(actual.data(), expected.data(), actual.cellCount() * sizeof(Sample)), 0)
            << "trial " << trial << " size " << size << " threads " << threads;
      }
    }
  }
}

// Callers on several threads at once, each with a grid of its own, from a
// kernel table that no call has filled yet: the family is chosen once, and
// every grid equals what one caller alone gets. (Run under the thread
// sanitizer in CI.)
TEST(ConcurrentCallers, ChooseTheKernelOnceAndGetTheSameSamples) {
  std::mt19937 random(77);
  const std::vector<MeshRecord> meshes = {randomMesh(random, 300), randomMesh(random, 300)};
  testing::useRealKernelProbes();
  SampleGrid alone = makeSampleGrid(256);
  rasteriseMeshRecords(meshes, 256, alone, onThreads(1));
  for (int round = 0; round < 3; ++round) {
    testing::useRealKernelProbes();  // back to the first-call routines
    std::vector<SampleGrid> grids;
    for (int c = 0; c < 4; ++c) grids.push_back(makeSampleGrid(256));
    {
      std::vector<std::jthread> callers;
      for (std::size_t c = 0; c < grids.size(); ++c) {
        callers.emplace_back([&, c] { rasteriseMeshRecords(meshes, 256, grids[c], onThreads(1 + c % 2)); });
      }
    }
    for (const SampleGrid& grid : grids) {
      EXPECT_EQ(std::memcmp(grid.data(), alone.data(), grid.cellCount() * sizeof(Sample)), 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Families, Rasteriser, ::testing::Values(Family::Baseline, Family::Simd),
                         [](const auto& info) { return std::string(testing::familyName(info.param)); });

}  // namespace
}  // namespace lumivex

namespace lumivex {
namespace {

// Triangles built to sit on the edge of the corner rule: vertices on or a
// hair off texel corners, slivers whose third vertex lies a hair off the line
// of the other two, tiny and huge ones, and plain random ones.
class EdgeCaseTriangles {
 public:
  explicit EdgeCaseTriangles(std::uint32_t seed) : random_(seed) {}

  std::array<Vertex, 3> next(LightmapSize size) {
    std::array<float, 6> t{};  // texel-space x0, y0, x1, y1, x2, y2
    const int kind = static_cast<int>(random_() % 5);
    const auto nearCorner = [&](float range) {
      const float offsets[] = {0.0f, 1e-7f, -1e-7f, 1e-4f, -1e-4f, 0x1p-9f, -0x1p-9f, 0x1p-7f, 0.3f};
      return std::round(uniform(-range, range)) + offsets[random_() % 9];
    };
    if (kind == 0) {  // every vertex on or near a corner
      for (float& c : t) c = nearCorner(20);
    } else if (kind == 1) {  // a sliver
      for (int k = 0; k < 4; ++k) t[k] = nearCorner(20);
      const float along = uniform(-0.5f, 1.5f), off = std::ldexp(uniform(-1, 1), -static_cast<int>(random_() % 30));
      t[4] = t[0] + (t[2] - t[0]) * along - (t[3] - t[1]) * off;
      t[5] = t[1] + (t[3] - t[1]) * along + (t[2] - t[0]) * off;
    } else if (kind == 2) {  // tiny, near a corner
      const float cx = nearCorner(20), cy = nearCorner(20), scale = std::ldexp(1.0f, -static_cast<int>(random_() % 24));
      for (int k = 0; k < 3; ++k) t[2 * k] = cx + uniform(-1, 1) * scale, t[2 * k + 1] = cy + uniform(-1, 1) * scale;
    } else if (kind == 3) {  // around the coordinate limit
      const float cx = uniform(32700, 32800) * (random_() % 2 ? 1 : -1);
      for (int k = 0; k < 3; ++k) t[2 * k] = cx + uniform(-3, 3), t[2 * k + 1] = uniform(-3, 3);
    } else {
      for (float& c : t) c = uniform(-3, 9);
    }
    std::array<Vertex, 3> vertices{};
    for (int k = 0; k < 3; ++k) {
      vertices[k].lightmapU = t[2 * k] / static_cast<float>(size);
      vertices[k].lightmapV = t[2 * k + 1] / static_cast<float>(size);
    }
    return vertices;
  }

 private:
  float uniform(float low, float high) { return std::uniform_real_distribution<float>(low, high)(random_); }
  std::mt19937 random_;
};

// How many of `count` triangles get other covered corners with `rule` than
// with the full scan.
int disagreements(const CornerRule& rule, int count, std::uint32_t seed) {
  EdgeCaseTriangles triangles(seed);
  int differing = 0;
  for (int i = 0; i < count; ++i) {
    // Size 2^16 keeps the lightmap coordinates exact multiples of the texel-space ones.
    const std::array<Vertex, 3> v = triangles.next(65536);
    std::vector<std::pair<int, int>> full, narrowed;
    forEachCoveredTexel(v[0], v[1], v[2], 65536, [&](int col, int row) { full.emplace_back(col, row); }, nullptr);
    forEachCoveredTexel(v[0], v[1], v[2], 65536, [&](int col, int row) { narrowed.emplace_back(col, row); }, &rule);
    if (full != narrowed) ++differing;
  }
  return differing;
}

// (The differential fuzz target runs the same comparison, against the plain
// per-texel rasteriser, over many millions of triangles.)
TEST(CornerRule, VisitsEveryCornerThatCanPass) {
  EXPECT_EQ(disagreements(kCornerRule, 150000, 1), 0);
}

// The check above can tell: a rule that lets slivers through finds corners
// outside the bounding box that do pass, and misses them.
TEST(CornerRule, AWeakenedRuleIsCaught) {
  CornerRule anyShape = kCornerRule;
  anyShape.smallestAreaShare = 0;
  anyShape.margin = 0x1p-20;
  EXPECT_GT(disagreements(anyShape, 150000, 3), 0);
}

}  // namespace
}  // namespace lumivex
