// Micro-benchmarks: the kernel variants and the dispatched calls, the triangle
// tests, the rasteriser on one large triangle, and the loader on a real file
// (LUMIVEX_BENCH_KVX names it; the benchmark is skipped without it).

#include <benchmark/benchmark.h>

#include <filesystem>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "math/kernel.h"
#include "math/kernel_dispatch.h"
#include "math/kernel_variants.h"
#include "sampling/rasteriser.h"
#include "sampling/triangle_tests.h"

namespace {

using namespace lumivex;

std::vector<Vector3> randomVectors(std::size_t count) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> component(-10.0f, 10.0f);
  std::vector<Vector3> vectors(count);
  for (Vector3& v : vectors) v = {component(random), component(random), component(random)};
  return vectors;
}

template <Vector3* (*Normalise)(Vector3*, const Vector3*)>
void BM_Normalise(benchmark::State& state) {
  const std::vector<Vector3> inputs = randomVectors(1024);
  std::size_t k = 0;
  Vector3 out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(Normalise(&out, &inputs[k++ & 1023]));
    benchmark::ClobberMemory();
  }
}

template <Vector3* (*Combine)(Vector3*, const Vector3*, const Vector3*, const Vector3*, float, float)>
void BM_Combine(benchmark::State& state) {
  const std::vector<Vector3> inputs = randomVectors(1024 + 2);
  std::size_t k = 0;
  Vector3 out{};
  for (auto _ : state) {
    const std::size_t i = k++ & 1023;
    benchmark::DoNotOptimize(Combine(&out, &inputs[i], &inputs[i + 1], &inputs[i + 2], 0.25f, 0.5f));
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_Normalise<normaliseVector3Baseline>)->Name("normalise/baseline");
BENCHMARK(BM_Combine<barycentricCombineDouble>)->Name("combine/double");
BENCHMARK(BM_Combine<barycentricCombineSingle>)->Name("combine/single");
#if LUMIVEX_HAS_SSE_KERNEL
BENCHMARK(BM_Normalise<normaliseVector3Sse>)->Name("normalise/sse");
BENCHMARK(BM_Normalise<normaliseVector3Sse2>)->Name("normalise/sse2");
#endif
BENCHMARK(BM_Normalise<normaliseVector3>)->Name("normalise/dispatched");
BENCHMARK(BM_Combine<barycentricCombine>)->Name("combine/dispatched");

void BM_PointInTriangle(benchmark::State& state) {
  const Vector3 v0 = {3.5f, 2.25f, 0}, v1 = {90.0f, 10.5f, 0}, v2 = {20.0f, 70.75f, 0};
  int col = 0;
  for (auto _ : state) {
    const Vector3 p = {static_cast<float>(col++ & 63), 17.0f, 0};
    benchmark::DoNotOptimize(pointInTriangle(p, v0, v1, v2));
  }
}
BENCHMARK(BM_PointInTriangle);

void BM_BarycentricWeights(benchmark::State& state) {
  const Vector3 v0 = {3.5f, 2.25f, 0}, v1 = {90.0f, 10.5f, 0}, v2 = {20.0f, 70.75f, 0};
  int col = 0;
  float w1 = 0, w2 = 0;
  for (auto _ : state) {
    const Vector3 p = {static_cast<float>(20 + (col++ & 15)), 17.0f, 0};
    barycentricWeights(p, v0, v1, v2, w1, w2);
    benchmark::DoNotOptimize(w1);
    benchmark::DoNotOptimize(w2);
  }
}
BENCHMARK(BM_BarycentricWeights);

Vertex vertex(float u, float v, float x) {
  Vertex record{};
  record.position = {x, u * 2, v * 3};
  record.normal = {u, v, 1.0f};
  record.lightmapU = u;
  record.lightmapV = v;
  return record;
}

// One triangle covering about half of a 512 x 512 map.
void BM_RasteriseLargeTriangle(benchmark::State& state) {
  SampleGrid grid = makeSampleGrid(512);
  const Vertex a = vertex(0.01f, 0.02f, 1), b = vertex(0.99f, 0.03f, 2), c = vertex(0.02f, 0.98f, 3);
  for (auto _ : state) {
    rasteriseTriangle(a, b, c, 512, grid);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 512 * 512 / 2);  // texels covered
}
BENCHMARK(BM_RasteriseLargeTriangle)->Unit(benchmark::kMillisecond);

// A 256 x 256 grid of quads (131,072 triangles) filling the lightmap, as
// packed layouts do, for the public sampler with and without its extras.
struct QuadSheet {
  std::vector<float> positions, normals, uvs;
  std::vector<std::uint32_t> indices;
  QuadSheet() {
    constexpr std::uint32_t kSide = 257;  // vertices on a side
    for (std::uint32_t j = 0; j < kSide; ++j) {
      for (std::uint32_t i = 0; i < kSide; ++i) {
        const float u = static_cast<float>(i) / (kSide - 1), v = static_cast<float>(j) / (kSide - 1);
        positions.insert(positions.end(), {u * 4, v * 4, u * v});
        normals.insert(normals.end(), {-v, -u, 1.0f});
        uvs.insert(uvs.end(), {u, v});
        if (i + 1 < kSide && j + 1 < kSide) {
          const std::uint32_t k = j * kSide + i;
          indices.insert(indices.end(), {k, k + 1, k + kSide, k + 1, k + kSide + 1, k + kSide});
        }
      }
    }
  }
};

// Arguments: ids and barycentrics (0 or 1), texel centres (0 or 1).
void BM_SampleMesh(benchmark::State& state) {
  static const QuadSheet sheet;
  MeshArrays mesh;
  mesh.positions = sheet.positions;
  mesh.normals = sheet.normals;
  mesh.lightmapUvs = sheet.uvs;
  mesh.indices32 = sheet.indices;
  SampleOptions options;
  options.threads = 1;
  options.ids = options.barycentrics = state.range(0) != 0;
  options.samplePoint = state.range(1) != 0 ? SamplePoint::Centre : SamplePoint::Corner;
  for (auto _ : state) {
    SampleGrid grid;
    if (!sampleMesh(mesh, 1024, grid, options)) state.SkipWithError("sampling failed");
    benchmark::DoNotOptimize(grid.data());
  }
  state.SetItemsProcessed(state.iterations() * 1024 * 1024);  // texels
}
BENCHMARK(BM_SampleMesh)->ArgNames({"ids+weights", "centres"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})->Unit(benchmark::kMillisecond);

void BM_LoadMeshFile(benchmark::State& state) {
  const char* path = std::getenv("LUMIVEX_BENCH_KVX");
  if (path == nullptr) {
    state.SkipWithError("set LUMIVEX_BENCH_KVX to a mesh file");
    return;
  }
  std::uint64_t size = 0;
  for (auto _ : state) {
    MeshFile file;
    if (!loadMeshFile(path, file)) {
      state.SkipWithError("cannot load LUMIVEX_BENCH_KVX");
      return;
    }
    size = std::filesystem::file_size(path);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_LoadMeshFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
