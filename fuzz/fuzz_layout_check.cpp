// The layout check on any lightmap coordinates: raw float bit
// patterns (NaN, infinity, subnormals, huge values) must neither crash nor
// hang it and must give a self-consistent report; coordinates on a lattice of
// sixteenths of a texel (corners on edges, shared edges, stacked and mirrored
// twins) must give exactly the counts of a plain scan in integers.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include <lumivex/layout.h>

#include <bit>

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// Twice the signed area of (a, b, p), in sixteenths of a texel.
std::int64_t side(const std::int64_t* a, const std::int64_t* b, std::int64_t px, std::int64_t py) {
  return (a[0] - px) * (b[1] - py) - (a[1] - py) * (b[0] - px);
}

struct PlainCounts {
  std::size_t unsampled = 0;
  std::size_t overlapped = 0;
};

// Triangles as lattice points: six sixteenths each.
PlainCounts countPlainly(const std::vector<std::int64_t>& lattice, std::int32_t size) {
  PlainCounts counts;
  std::vector<int> inside(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), 0);
  for (std::size_t t = 0; t + 5 < lattice.size(); t += 6) {
    const std::int64_t* v = &lattice[t];
    const std::int64_t area = side(v, v + 2, v[4], v[5]);
    if (area == 0) continue;
    const int turn = area > 0 ? 1 : -1;
    bool any = false;
    for (std::int32_t row = 0; row < size; ++row) {
      for (std::int32_t col = 0; col < size; ++col) {
        const std::int64_t px = 16 * col, py = 16 * row;
        const std::int64_t s0 = turn * side(v, v + 2, px, py), s1 = turn * side(v + 2, v + 4, px, py),
                           s2 = turn * side(v + 4, v, px, py);
        if (s0 < 0 || s1 < 0 || s2 < 0) continue;
        any = true;
        if (s0 > 0 && s1 > 0 && s2 > 0) ++inside[static_cast<std::size_t>(row * size + col)];
      }
    }
    if (!any) ++counts.unsampled;
  }
  for (int count : inside) counts.overlapped += count >= 2 ? 1 : 0;
  return counts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const bool onLattice = (input.byte() & 1) != 0;
  // Powers of two on the lattice, so that size x u is exact; any size otherwise.
  const std::uint8_t sizeByte = input.byte();
  const std::int32_t gridSize = onLattice ? 1 << (sizeByte % 7) : 1 + sizeByte % 64;
  constexpr std::size_t kMeshes = 3;
  std::vector<lumivex::Vertex> vertices[kMeshes];
  std::vector<std::uint32_t> triangles[kMeshes];
  std::vector<std::int64_t> lattice;
  for (int count = 0; count < 64 && !input.empty(); ++count) {
    const std::size_t mesh = input.byte() % kMeshes;
    for (int k = 0; k < 3; ++k) {
      lumivex::Vertex vertex{};
      if (onLattice) {
        // Sixteenths of a texel from -2 to about size + 6 texels.
        const std::int64_t x = static_cast<std::int64_t>(input.byte()) * (gridSize + 8) / 16 - 32;
        const std::int64_t y = static_cast<std::int64_t>(input.byte()) * (gridSize + 8) / 16 - 32;
        lattice.insert(lattice.end(), {x, y});
        vertex.lightmapU = static_cast<float>(x) / static_cast<float>(16 * gridSize);
        vertex.lightmapV = static_cast<float>(y) / static_cast<float>(16 * gridSize);
      } else {
        vertex.lightmapU = input.rawFloat();
        vertex.lightmapV = input.rawFloat();
      }
      triangles[mesh].push_back(static_cast<std::uint32_t>(vertices[mesh].size()));
      vertices[mesh].push_back(vertex);
    }
  }
  std::vector<lumivex::MeshArrays> meshes(kMeshes);
  for (std::size_t m = 0; m < kMeshes; ++m) {
    meshes[m].vertices = vertices[m];
    meshes[m].indices32 = triangles[m];
  }
  lumivex::LayoutReport report;
  require(lumivex::checkLayout(meshes, gridSize, report).ok());

  std::size_t triangleCount = 0, unsampled = 0, zeroArea = 0;
  const lumivex::LayoutCounts& total = report.total;
  for (const lumivex::LayoutCounts& mesh : report.meshes) {
    require(mesh.overlappedTexels <= total.overlappedTexels);
    require(mesh.unsampled + mesh.zeroArea <= mesh.triangles && mesh.outside <= mesh.triangles);
    triangleCount += mesh.triangles;
    unsampled += mesh.unsampled;
    zeroArea += mesh.zeroArea;
  }
  require(triangleCount == total.triangles && unsampled == total.unsampled && zeroArea == total.zeroArea);
  require(total.overlappedTexels <= total.coveredTexels);
  require(total.coveredTexels <= static_cast<std::size_t>(gridSize) * static_cast<std::size_t>(gridSize));
  if (total.unsampled == 0) {
    require(report.sizeSamplingAll == gridSize);
  } else {
    require(report.sizeSamplingAll == 0 ||
            (std::has_single_bit(static_cast<std::uint32_t>(report.sizeSamplingAll)) &&
             report.sizeSamplingAll <= 16384));
  }
  if (onLattice) {
    const PlainCounts plain = countPlainly(lattice, gridSize);
    require(plain.unsampled == total.unsampled);
    require(plain.overlapped == total.overlappedTexels);
  }
  return 0;
}
