// layout_example [SIZE]
// An engine's own mesh without lightmap UVs, laid out and sampled in memory:
// generateLightmapUvs gives each new vertex the input vertex it copies and
// its lightmap coordinates, and sampleMesh samples the result. No file is
// read or written.

#include <lumivex/layout.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A torus of 48 x 24 quads, as an engine might hold it: positions, normals
// and 32-bit triangle indices.
struct EngineMesh {
  std::vector<float> positions, normals;
  std::vector<std::uint32_t> indices;
};

EngineMesh torus() {
  constexpr int kAround = 48, kTube = 24;
  constexpr double kPi = 3.14159265358979323846;
  EngineMesh mesh;
  for (int i = 0; i < kAround; ++i) {
    for (int j = 0; j < kTube; ++j) {
      const double a = 2 * kPi * i / kAround, b = 2 * kPi * j / kTube;
      const double nx = std::cos(a) * std::cos(b), ny = std::sin(a) * std::cos(b), nz = std::sin(b);
      mesh.positions.insert(mesh.positions.end(), {static_cast<float>(2 * std::cos(a) + 0.6 * nx),
                                                   static_cast<float>(2 * std::sin(a) + 0.6 * ny),
                                                   static_cast<float>(0.6 * nz)});
      mesh.normals.insert(mesh.normals.end(), {static_cast<float>(nx), static_cast<float>(ny), static_cast<float>(nz)});
    }
  }
  const auto at = [](int i, int j) { return static_cast<std::uint32_t>((i % kAround) * kTube + j % kTube); };
  for (int i = 0; i < kAround; ++i) {
    for (int j = 0; j < kTube; ++j) {
      mesh.indices.insert(mesh.indices.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
  return mesh;
}

}  // namespace

int main(int argc, char** argv) {
  const long size = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 512;
  const EngineMesh mesh = torus();

  lumivex::MeshArrays input;
  input.positions = mesh.positions;
  input.indices32 = mesh.indices;
  lumivex::LayoutOptions options;
  options.size = static_cast<std::int32_t>(size);
  lumivex::GeneratedLayout layout;
  if (const lumivex::Result made = lumivex::generateLightmapUvs({&input, 1}, options, layout); !made) {
    std::fprintf(stderr, "cannot lay out: %s\n", lumivex::reason(made).c_str());
    return 1;
  }

  // The engine's vertices split where charts meet: each new vertex copies the
  // input vertex xref names.
  const lumivex::MeshLayout& laid = layout.meshes.front();
  std::vector<float> positions, normals;
  for (const std::uint32_t from : laid.xref) {
    positions.insert(positions.end(), mesh.positions.begin() + 3 * from, mesh.positions.begin() + 3 * from + 3);
    normals.insert(normals.end(), mesh.normals.begin() + 3 * from, mesh.normals.begin() + 3 * from + 3);
  }
  lumivex::MeshArrays sampled;
  sampled.positions = positions;
  sampled.normals = normals;
  sampled.lightmapUvs = laid.lightmapUvs;
  sampled.indices32 = laid.triangles;
  lumivex::SampleGrid grid;
  if (const lumivex::Result done = lumivex::sampleMesh(sampled, options.size, grid); !done) {
    std::fprintf(stderr, "cannot sample: %s\n", lumivex::reason(done).c_str());
    return 2;
  }
  std::size_t covered = 0;
  for (std::int32_t row = 0; row < grid.size(); ++row) {
    for (std::int32_t col = 0; col < grid.size(); ++col) covered += grid.covered(col, row) ? 1 : 0;
  }
  std::printf("%zu charts, %.1f texels per unit, %zu of %zu texels sampled, %zu faces unsampled\n", layout.charts,
              layout.texelsPerUnit, covered, grid.cellCount(), layout.unsampledTriangles);
  return layout.unsampledTriangles == 0 && covered > 0 ? 0 : 3;
}
