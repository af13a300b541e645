// Generated layouts of any positions: raw float bit patterns (NaN,
// infinity, subnormals, huge values) or points of a small lattice (shared
// edges, rings, folds, repeated and aligned corners), at any small size,
// padding, density and chart angle. The call must neither crash nor hang,
// must fail only with the statuses it names, and a layout it makes must hold
// together: a new vertex per corner that copies an input vertex, points
// within [0, 1], a chart per face that has one and, for finite positions,
// no texel shared by two charts and nothing outside.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include <lumivex/layout.h>

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

struct FuzzMesh {
  std::vector<lumivex::Vertex> vertices;
  std::vector<std::uint32_t> triangles;
};

// Up to 48 triangles over up to 32 vertices: lattice points a unit apart
// (bytes read as coordinates from -8 to 7), or raw floats.
FuzzMesh meshFrom(FuzzInput& input, bool onLattice) {
  FuzzMesh mesh;
  const std::size_t vertexCount = 3 + input.byte() % 30;
  for (std::size_t v = 0; v < vertexCount; ++v) {
    lumivex::Vertex vertex{};
    for (float* coordinate : {&vertex.position.x, &vertex.position.y, &vertex.position.z}) {
      *coordinate = onLattice ? static_cast<float>(static_cast<int>(input.byte() % 16) - 8) : input.rawFloat();
    }
    mesh.vertices.push_back(vertex);
  }
  const std::size_t triangleCount = 1 + input.byte() % 48;
  for (std::size_t k = 0; k < 3 * triangleCount; ++k) mesh.triangles.push_back(input.byte() % vertexCount);
  return mesh;
}

void requireSound(const FuzzMesh& mesh, const lumivex::MeshLayout& made, std::size_t charts) {
  const std::size_t triangleCount = mesh.triangles.size() / 3;
  require(made.triangles.size() == mesh.triangles.size());
  require(made.chartIds.size() == triangleCount);
  require(made.lightmapUvs.size() == 2 * made.xref.size());
  for (std::size_t i = 0; i < made.triangles.size(); ++i) {
    require(made.triangles[i] < made.xref.size());
    require(made.xref[made.triangles[i]] == mesh.triangles[i]);
  }
  for (const float coordinate : made.lightmapUvs) require(coordinate >= 0.0f && coordinate <= 1.0f);
  for (const std::uint32_t chart : made.chartIds) require(chart == lumivex::kNoChart || chart < charts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const bool onLattice = (input.byte() & 1) != 0;
  lumivex::LayoutOptions options;
  options.size = 1 + input.byte() % 96;
  options.padding = input.byte() % 6;
  options.maxChartAngle = 1 + input.byte() % 90;
  const std::uint8_t density = input.byte();
  options.texelsPerUnit = density < 192 ? 0.0 : (density - 191) / 4.0;
  options.threads = 1;
  std::vector<FuzzMesh> meshes;
  const std::size_t meshCount = 1 + input.byte() % 2;
  for (std::size_t m = 0; m < meshCount; ++m) meshes.push_back(meshFrom(input, onLattice));
  std::vector<lumivex::MeshArrays> arrays(meshCount);
  for (std::size_t m = 0; m < meshCount; ++m) {
    arrays[m].vertices = meshes[m].vertices;
    arrays[m].indices32 = meshes[m].triangles;
  }
  lumivex::GeneratedLayout layout;
  const lumivex::Result result = lumivex::generateLightmapUvs(arrays, options, layout);
  if (!result) {
    require(result.status == lumivex::Status::DoesNotFit || result.status == lumivex::Status::OutOfMemory);
    return 0;
  }
  require(layout.meshes.size() == meshCount);
  for (std::size_t m = 0; m < meshCount; ++m) requireSound(meshes[m], layout.meshes[m], layout.charts);
  if (!onLattice) return 0;
  // The layout as the sampler sees it: no texel corner inside two faces,
  // nothing outside.
  std::vector<std::vector<lumivex::Vertex>> laid(meshCount);
  for (std::size_t m = 0; m < meshCount; ++m) {
    const lumivex::MeshLayout& made = layout.meshes[m];
    for (std::size_t v = 0; v < made.xref.size(); ++v) {
      lumivex::Vertex vertex = meshes[m].vertices[made.xref[v]];
      vertex.lightmapU = made.lightmapUvs[2 * v];
      vertex.lightmapV = made.lightmapUvs[2 * v + 1];
      laid[m].push_back(vertex);
    }
    arrays[m].vertices = laid[m];
    arrays[m].indices32 = made.triangles;
  }
  lumivex::LayoutReport report;
  require(lumivex::checkLayout(arrays, options.size, report).status == lumivex::Status::Ok);
  require(report.total.outside == 0);
  require(report.total.overlappedTexels == 0);
  return 0;
}
