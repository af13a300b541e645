// Differential check of the rasteriser: a mesh built from the input is
// sampled by the fast path (last triangle first, settled texels skipped, one
// to three threads) and by the plain per-texel algorithm, under either kernel
// family, at texel corners or centres, on square and other grids, with or
// without centroid samples for small triangles; the two grids must agree
// byte for byte in the samples, the coverage, the ids and the weights; the
// samples must also survive encoding and decoding as a samples file.
//
// The input drives the shapes: triangles near the lattice of texel corners,
// slivers, tiny and huge coordinates, raw float bit patterns (NaN, infinity,
// subnormals), shared edges, mirrored twins and indices past the vertices.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "output/sample_grid.h"
#include "sampling/rasteriser.h"
#include "support/kernel_family.h"
#include "support/reference_rasteriser.h"

namespace {

struct Builder {
  std::vector<std::uint8_t> vertexBytes;
  std::vector<std::uint16_t> indices;
  std::uint16_t add(FuzzInput& in, float u, float v) {
    float record[10];
    for (int k = 0; k < 8; ++k) record[k] = static_cast<float>(static_cast<int>(in.byte()) - 128) / 16.0f;
    record[8] = u;
    record[9] = v;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record);
    vertexBytes.insert(vertexBytes.end(), bytes, bytes + sizeof record);
    return static_cast<std::uint16_t>(vertexBytes.size() / 40 - 1);
  }
};

// A lightmap coordinate for a grid of `size`: on or near a texel corner, or
// anywhere, or tiny, huge, or any float at all.
float coordinate(FuzzInput& in, int size) {
  const std::uint8_t kind = in.byte() % 8;
  const float corner = static_cast<float>(static_cast<int>(in.byte()) - 16) / static_cast<float>(size);
  switch (kind) {
    case 0: return corner;                                                                     // exactly on a corner
    case 1: return std::nextafter(corner, in.byte() & 1 ? 2.0f : -2.0f);                       // one ulp off
    case 2: return corner + static_cast<float>(static_cast<int>(in.byte()) - 128) * 1e-7f;    // near
    case 3: return std::bit_cast<float>(in.word());                                            // any bits
    case 4: return static_cast<float>(static_cast<int>(in.word() % 2000001) - 1000000) * 1e-3f;  // huge
    case 5: return corner + static_cast<float>(in.byte()) * 1e-30f;                            // tiny offset
    default: return static_cast<float>(in.word() % 65536) / 65536.0f;                          // anywhere
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  static constexpr lumivex::LightmapSize kSizes[] = {1, 2, 3, 16, 64, 128};
  const lumivex::LightmapSize gridSize = kSizes[in.byte() % 6];
  const std::uint8_t shapeByte = in.byte();
  // Mostly square grids at corners, as the command samples them.
  const lumivex::GridSize grid{gridSize, shapeByte & 4 ? kSizes[(shapeByte >> 4) % 6] : gridSize};
  const auto point = shapeByte & 1 ? lumivex::SamplePoint::Centre : lumivex::SamplePoint::Corner;
  const bool coverSmallTriangles = (shapeByte & 2) != 0;
  const std::size_t threads = 1 + in.byte() % 3;
  const auto family = in.byte() & 1 ? lumivex::testing::Family::Simd : lumivex::testing::Family::Baseline;

  Builder mesh;
  while (!in.empty() && mesh.indices.size() < 3 * 2000) {
    const std::uint8_t shape = in.byte() % 6;
    if (shape == 0 && mesh.indices.size() >= 3) {  // shares an edge with the last triangle
      const std::size_t last = mesh.indices.size() - 3;
      const std::uint16_t a = mesh.indices[last], b = mesh.indices[last + 1];
      mesh.indices.insert(mesh.indices.end(), {b, a, mesh.add(in, coordinate(in, gridSize), coordinate(in, gridSize))});
      continue;
    }
    if (shape == 1 && mesh.indices.size() >= 3) {  // its mirrored twin, later
      const std::size_t last = mesh.indices.size() - 3;
      mesh.indices.insert(mesh.indices.end(), {mesh.indices[last], mesh.indices[last + 2], mesh.indices[last + 1]});
      continue;
    }
    const float u0 = coordinate(in, gridSize), v0 = coordinate(in, gridSize);
    float u1 = coordinate(in, gridSize), v1 = coordinate(in, gridSize);
    float u2 = coordinate(in, gridSize), v2 = coordinate(in, gridSize);
    if (shape == 2) {  // a sliver along the first edge
      const float t = static_cast<float>(in.byte()) / 255.0f;
      u2 = u0 + (u1 - u0) * t + static_cast<float>(in.byte()) * 1e-9f;
      v2 = v0 + (v1 - v0) * t;
    }
    const std::uint16_t a = mesh.add(in, u0, v0), b = mesh.add(in, u1, v1), c = mesh.add(in, u2, v2);
    const std::uint16_t past = static_cast<std::uint16_t>(mesh.vertexBytes.size() / 40 + in.byte() % 2);
    mesh.indices.insert(mesh.indices.end(), {a, b, shape == 3 ? past : c});
  }

  // As a loaded mesh: 40-byte records, or format-1041 records cut short
  // (the sampler reads zeros past them) or kept to their first 40 bytes.
  static constexpr std::int32_t kRecordBytes[] = {40, 40, 39, 36, 33, 20};
  const std::int32_t recordBytes = kRecordBytes[size > 0 ? data[size - 1] % 6 : 0];
  lumivex::MeshRecord record;
  record.vertexSize = recordBytes;
  record.vertexStride = 40;
  record.formatKind = 2;
  record.vertexCount = static_cast<std::int32_t>(mesh.vertexBytes.size() / 40);
  record.indexCount = static_cast<std::int32_t>(mesh.indices.size());
  for (std::size_t v = 0; v < mesh.vertexBytes.size(); v += 40) {
    record.vertices.insert(record.vertices.end(), mesh.vertexBytes.begin() + static_cast<std::ptrdiff_t>(v),
                           mesh.vertexBytes.begin() + static_cast<std::ptrdiff_t>(v) + recordBytes);
  }
  record.indices.assign(mesh.indices.begin(), mesh.indices.end());
  // Two meshes, so that the later one must win over the earlier.
  const std::vector<lumivex::MeshRecord> meshes = {record, record};

  lumivex::testing::useKernelFamily(family);
  const lumivex::GridShape shape(grid, point);
  const lumivex::testing::PlainMesh plain = lumivex::testing::plainMeshOf(record);
  const lumivex::testing::PlainMesh plainMeshes[] = {plain, plain};
  lumivex::SampleGrid expected = lumivex::makeSampleGrid(grid, {true, true});
  lumivex::testing::referenceSample(plainMeshes, shape, coverSmallTriangles, expected);
  lumivex::SampleGrid actual = lumivex::makeSampleGrid(grid, {true, true});
  lumivex::RasteriseOptions options;
  options.exactThreads = threads;
  options.coverSmallTriangles = coverSmallTriangles;
  lumivex::rasteriseMeshRecords(meshes, shape, actual, options);
  std::vector<std::uint8_t> actualCoverage(actual.cellCount()), expectedCoverage(expected.cellCount());
  actual.copyCoverage(actualCoverage);
  expected.copyCoverage(expectedCoverage);
  const auto same = [](auto a, auto b) { return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0); };
  if (!same(actual.samples(), expected.samples()) || actualCoverage != expectedCoverage ||
      !same(actual.triangleIds(), expected.triangleIds()) || !same(actual.meshIds(), expected.meshIds()) ||
      !same(actual.barycentrics(), expected.barycentrics()) ||
      actual.stats().smallTrianglesPlaced != expected.stats().smallTrianglesPlaced) {
    std::fprintf(stderr, "fast and plain rasterisers differ (%d x %d, %s, %zu threads)\n", grid.width, grid.height,
                 point == lumivex::SamplePoint::Centre ? "centres" : "corners", threads);
    std::abort();
  }

  const std::vector<std::uint8_t> encoded = lumivex::encodeSamplesFile(actual);
  lumivex::SampleGrid decoded;
  if (!lumivex::decodeSamplesFile(encoded.data(), encoded.size(), decoded) || decoded.width() != grid.width ||
      decoded.height() != grid.height ||
      std::memcmp(decoded.data(), actual.data(), actual.cellCount() * sizeof(lumivex::Sample)) != 0) {
    std::fprintf(stderr, "samples file does not round-trip\n");
    std::abort();
  }
  return 0;
}
